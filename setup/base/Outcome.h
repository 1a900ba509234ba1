#pragma once
#include <string>
#include <utility>

// How an operation that can fail ended: success, or a failure with the reason in words the
// user can read. Every such operation returns one; a failure is never reported as success.
struct [[nodiscard]] Outcome {
    bool succeeded = true;
    std::wstring error;  // why it failed; empty after success

    explicit operator bool() const { return succeeded; }
};

// The outcome of an operation that went as asked.
inline Outcome Success()
{
    return {};
}

// The outcome of an operation that did not, with its reason.
inline Outcome Failure(std::wstring why)
{
    return {false, std::move(why)};
}
