// Stands in for npm where tests and the demo need one on the PATH: prints a few lines the way
// `npm install` does (CR LF, from the C runtime's text mode), records the install in node_modules\.package-lock.json of the
// current folder, and exits 0 — or 1 when the folder holds "npm-fails". STUB_NPM_SLOW_MS
// makes it print a progress line every 100 ms for that long first (for cancellation).
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main()
{
    if (const char* slow = std::getenv("STUB_NPM_SLOW_MS")) {
        for (int waited = 0; waited < std::atoi(slow); waited += 100) {
            std::printf("npm http fetch GET 200 https://registry.example/pkg-%d\n", waited / 100);
            std::fflush(stdout);
            Sleep(100);
        }
    }
    if (GetFileAttributesW(L"npm-fails") != INVALID_FILE_ATTRIBUTES) {
        std::printf("npm error code E404\n");
        return 1;
    }
    CreateDirectoryW(L"node_modules", nullptr);
    if (FILE* lock = _wfopen(L"node_modules\\.package-lock.json", L"wb")) {
        std::fputs("{\"lockfileVersion\": 3}\n", lock);
        std::fclose(lock);
    }
    std::printf("\nadded 3 packages, and audited 4 packages in 1s\n\nfound 0 vulnerabilities\n");
    return 0;
}
