// download_bench URL FILE: one DownloadToFile of URL into FILE, timed around the call alone so
// that Wine's process start-up is not counted; prints "bytes N seconds S callbacks C".
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "net/Http.h"
#include "base/Text.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: download_bench URL FILE\n");
        return 2;
    }
    // A counting callback rather than none: the installer always passes one, so its cost belongs
    // in the measurement.
    int64_t lastDone = 0;
    int64_t callbacks = 0;
    DownloadProgressFn progress = [&](int64_t bytesDone, int64_t) {
        lastDone = bytesDone;
        ++callbacks;
    };
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    const std::atomic<bool> neverCancelled{false};
    // Never resumed: every run measures a whole transfer.
    PartialDownload partial;
    QueryPerformanceCounter(&start);
    const Outcome downloaded = DownloadToFile(argv[1], argv[2], progress, neverCancelled, partial);
    QueryPerformanceCounter(&end);
    if (!downloaded) {
        std::fprintf(stderr, "download failed: %s\n", WideToUtf8(downloaded.error).c_str());
        return 1;
    }
    const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    std::printf("bytes %lld seconds %.6f callbacks %lld\n", static_cast<long long>(lastDone), seconds,
                static_cast<long long>(callbacks));
    return 0;
}
