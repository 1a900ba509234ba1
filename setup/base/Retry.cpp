#include "Retry.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr unsigned kFirstPauseMs = 50;
constexpr unsigned kLongestPauseMs = 500;  // short enough that a cancel is seen within a second
constexpr unsigned kTotalPauseMs = 10000;

void Pause(const RetryPacing& pacing, unsigned milliseconds)
{
    if (pacing.sleep)
        pacing.sleep(milliseconds);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Virus scanners and indexers open a new file for well under a second; a copy program or a
// backup may hold it for seconds, so the pauses double up to a ceiling.
std::vector<unsigned> RetryPauses()
{
    std::vector<unsigned> pauses;
    unsigned total = 0;
    for (unsigned pause = kFirstPauseMs; total < kTotalPauseMs; pause = std::min(pause * 2, kLongestPauseMs)) {
        pauses.push_back(pause);
        total += pause;
    }
    return pauses;
}

}  // namespace

// Only refusals that another program's handle explains are tried again; a missing folder or a
// full disk stays as it is however long one waits.
FileResult Retried(const std::function<FileResult()>& call, const RetryPacing& pacing)
{
    FileResult result = call();
    for (const unsigned pause : RetryPauses()) {
        if (result || !result.transient) break;
        if (pacing.cancel && pacing.cancel->load()) break;
        Pause(pacing, pause);
        result = call();
    }
    return result;
}
