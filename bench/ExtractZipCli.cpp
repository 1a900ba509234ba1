// extract_zip ARCHIVE FOLDER: ExtractZip from the command line, so that scripts can time it against unzip.
#include <cstdio>
#include <string>

#include "archive/Zip.h"
#include "base/Text.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: extract_zip ARCHIVE FOLDER\n");
        return 2;
    }
    return ExtractZip(Utf8ToWide(argv[1]), Utf8ToWide(argv[2])) ? 0 : 1;
}
