#include "Progress.h"

#include <windows.h>

#include "shell/Messages.h"

namespace {

using LineFormatter = std::wstring (*)(int64_t, int64_t, uint32_t);

// Without a Content-Length there is nothing to show, and the detail line keeps its text.
DownloadProgressFn DetailLinePoster(const uint32_t& attemptStartTick, LineFormatter format)
{
    return [&attemptStartTick, format](int64_t bytesDone, int64_t bytesTotal) {
        if (bytesTotal <= 0) return;
        const uint32_t elapsed = GetTickCount() - attemptStartTick;
        PostDetail(format(bytesDone, bytesTotal, elapsed));
    };
}

}  // namespace

DownloadProgressFn PackageDownloadProgress(const uint32_t& attemptStartTick)
{
    return DetailLinePoster(attemptStartTick, PackageProgressLine);
}

DownloadProgressFn SkillDownloadProgress(const uint32_t& attemptStartTick)
{
    return DetailLinePoster(attemptStartTick, SkillProgressLine);
}
