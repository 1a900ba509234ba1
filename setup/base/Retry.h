#pragma once
#include <atomic>
#include <functional>

#include "Files.h"

// How a refused file operation waits before its next try: the pause, and the flag that stops it.
struct RetryPacing {
    std::function<void(unsigned milliseconds)> sleep{};  // empty: the thread sleeps
    const std::atomic<bool>* cancel = nullptr;
};

// Runs the call, and again after a growing pause while its refusals are transient, for about
// ten seconds in all or until cancelled; the last answer counts.
FileResult Retried(const std::function<FileResult()>& call, const RetryPacing& pacing);
