#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "base/Outcome.h"

// Told the bytes in the file so far, the announced total (0 when none was announced), and how many
// of them were kept from an earlier attempt rather than received by this one.
using DownloadProgressFn = std::function<void(int64_t bytesDone, int64_t bytesTotal, int64_t bytesKept)>;

// What an attempt that broke off left in the file, so that the next attempt asks only for the rest,
// and which way the attempt went, for the log.
struct PartialDownload {
    int64_t bytes = 0;       // already in the file
    std::wstring validator;  // the ETag, else the Last-Modified, of the response they came from
    std::wstring proxy;      // HOST:PORT of the proxy the attempt went through; empty when it went direct
    bool localFileFailed = false;  // the file itself could not be made or written: another try fares no better
};

// How long and how large a fetch into memory may grow.
struct FetchLimits {
    int64_t maxBytes = 4 * 1024 * 1024;
    uint32_t deadlineMs = 60000;  // for the whole fetch, headers and body
};

// Both go the way the user's proxy settings say (Proxy.h); a proxy from them that cannot be reached
// is passed by once, straight to the server, and one that asks who the user is gets the Windows
// logon once.

// Windows only: the whole body of a 200 answer within the limits; a body cut short or over the
// limits is a failure, never a part.
Outcome HttpGetToMemory(const std::wstring& url, std::string& body, const FetchLimits& limits = {});
// Windows only: a 200 answer's body into destPath, or after an earlier broken attempt the rest of it
// (a 206 answer to a ranged request appends; a 200 starts over). Progress after every chunk; once
// cancel is set the transfer ends within two seconds, even inside a stalled read. A transfer that
// breaks off after some bytes of a response with a validator leaves them for the next attempt and
// says so in partial; any other failure leaves no file. With declaredBytes above 0 a file of any
// other length is a failure ("大小不符"), found as soon as more arrives than was declared.
Outcome DownloadToFile(const std::wstring& url, const std::wstring& destPath, const DownloadProgressFn& progress,
                       const std::atomic<bool>& cancel, PartialDownload& partial, int64_t declaredBytes = 0);
