// Stands in for Node.js where tests need a "node" on the PATH: prints a version line the
// way `node --version` does, taken from STUB_NODE_VERSION (default v22.0.0), and exits 0.
#include <cstdio>
#include <cstdlib>

int main()
{
    const char* version = std::getenv("STUB_NODE_VERSION");
    std::printf("%s\n", version ? version : "v22.0.0");
    return 0;
}
