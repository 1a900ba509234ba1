// extract_zip ARCHIVE FOLDER: ExtractZip from the command line, so that scripts can time it against unzip.
// Each entry that did not become a file goes to stderr as "NAME: REASON"; the exit status is 1 when the
// archive could not be read or any entry failed. On success stdout says "THREADS PEAK_KIB": the threads
// that wrote the files and the process's peak resident memory (VmHWM).
#include <cstdio>
#include <fstream>
#include <string>

#include "archive/Zip.h"
#include "base/Text.h"

namespace {

// The kernel's high-water mark of resident memory, in KiB; 0 where it does not say.
long PeakResidentKib()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: extract_zip ARCHIVE FOLDER\n");
        return 2;
    }
    const ExtractReport report = ExtractZip(Utf8ToWide(argv[1]), Utf8ToWide(argv[2]));
    if (!report.archive) {
        std::fprintf(stderr, "%s: %s\n", argv[1], WideToUtf8(report.archive.error).c_str());
        return 1;
    }
    for (const EntryFailure& failure : report.failures)
        std::fprintf(stderr, "%s: %s\n", failure.name.c_str(), WideToUtf8(EntryProblemText(failure.problem)).c_str());
    if (!report.failures.empty())
        return 1;
    std::printf("%d %ld\n", report.threads, PeakResidentKib());
    return 0;
}
