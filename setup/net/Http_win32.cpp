// Every exchange runs on a thread of its own while the calling thread watches the cancel flag and
// the deadline. Closing a request handle wakes a synchronous WinHTTP call blocked on a silent
// server on Windows, but not under Wine; so a caller who stops waiting closes the request and
// leaves the thread to end once its call returns, and the handles close when the last of the two
// lets go of them.
#include "Http.h"

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>

#include "base/LongPath.h"
#include "base/Scoped_win32.h"
#include "base/SystemError.h"
#include "net/Proxy.h"
#include "net/SecureProtocols.h"

static_assert(kAuthSchemeBasic == WINHTTP_AUTH_SCHEME_BASIC && kAuthSchemeNtlm == WINHTTP_AUTH_SCHEME_NTLM &&
              kAuthSchemeNegotiate == WINHTTP_AUTH_SCHEME_NEGOTIATE);
static_assert(kErrorWinHttpTimeout == ERROR_WINHTTP_TIMEOUT && kErrorWinHttpNameNotResolved == ERROR_WINHTTP_NAME_NOT_RESOLVED &&
              kErrorWinHttpCannotConnect == ERROR_WINHTTP_CANNOT_CONNECT);

namespace {

constexpr wchar_t kUserAgent[] = L"Quillmere-Setup/1.0";
constexpr DWORD kMemoryChunkBytes = 8192;
constexpr DWORD kFileChunkBytes = 16384;
constexpr DWORD kHostChars = 256;
constexpr DWORD kPathChars = 2048;
constexpr size_t kMaxValidatorChars = 1024;
// Name resolution without a limit of WinHTTP's own, connect and send 30 s, each receive 120 s.
constexpr int kResolveTimeoutMs = 0;
constexpr int kConnectTimeoutMs = 30000;
constexpr int kSendTimeoutMs = 30000;
constexpr int kReceiveTimeoutMs = 120000;
constexpr wchar_t kSizeMismatch[] = L"大小不符";
static_assert(kProtocolTls12 == WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2);
static_assert(kProtocolTls13 == WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3);
constexpr auto kWatchInterval = std::chrono::milliseconds(50);

using Clock = std::chrono::steady_clock;

struct ParsedUrl {
    std::wstring text;  // the whole URL, for a PAC script to judge
    bool secure = false;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring path;
};

// Destroyed in reverse order of the members: request, then connection, then session.
struct OpenExchange {
    ScopedInternet session;
    ScopedInternet connection;
    ScopedInternet request;
};

// A failure: its text, and the last-error code read right after the failing call
// (0 appends nothing).
struct CallFailure {
    std::wstring text;
    DWORD lastError = 0;
};

CallFailure FailWithLastError(const wchar_t* text)
{
    const DWORD lastError = GetLastError();
    return {text, lastError};
}

Outcome AsOutcome(const CallFailure& failure)
{
    std::wstring text = failure.text;
    if (failure.lastError != 0) text += L" (err=" + std::to_wstring(failure.lastError) + L")";
    return Failure(text);
}

// Host and path buffers are fixed; a longer host or path makes the parse fail.
bool ParseUrl(const std::wstring& url, ParsedUrl& parsed)
{
    wchar_t host[kHostChars] = {};
    wchar_t path[kPathChars] = {};
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.lpszHostName = host;
    parts.dwHostNameLength = kHostChars;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = kPathChars;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return false;
    parsed.text = url;
    parsed.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    parsed.host.assign(host, parts.dwHostNameLength);
    parsed.port = parts.nPort;
    parsed.path.assign(path, parts.dwUrlPathLength);
    return true;
}

// Manifests and packages alike: only current TLS, and no call waits for ever on its own.
bool RestrictSession(HINTERNET session, CallFailure& failure)
{
    const uint32_t protocols = ChooseSecureProtocols([session](uint32_t offered) {
        DWORD value = offered;
        return WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &value, sizeof value) != FALSE;
    });
    if (protocols == 0) return failure = FailWithLastError(L"无法启用TLS 1.2安全连接"), false;
    if (!WinHttpSetTimeouts(session, kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs))
        return failure = FailWithLastError(L"WinHTTP初始化失败"), false;
    return true;
}

// What the calling thread and the exchange thread share; on the heap, as the thread may
// outlive the call.
struct ExchangeThread {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;       // the thread has returned
    bool abandoned = false;  // the caller has stopped waiting: its own state is out of reach
    OpenExchange handles;
    std::wstring proxy;  // HOST:PORT of the proxy the handles go through; empty when direct
    std::exception_ptr thrown;

    // Runs `step` under the lock unless the caller has stopped waiting; false when it has.
    // Everything the caller owns is touched only in such steps.
    template <typename Step>
    bool WhileWatched(Step&& step)
    {
        std::lock_guard<std::mutex> held(lock);
        if (abandoned) return false;
        step();
        return true;
    }

    // Looked at after every call that may block: a closed handle's value can be reused by another
    // exchange, so no call may follow on it once the caller has closed it.
    bool StillWatched()
    {
        return WhileWatched([] {});
    }
};

enum class WaitEnd { Done, Cancelled, DeadlinePassed };

// Runs `work` on its own thread and waits for it, looking at the cancel flag and the deadline
// every 50 ms. When either ends the wait, the request is closed here (exactly once: the record
// no longer holds it) and the thread ends by itself.
WaitEnd RunWatched(const std::shared_ptr<ExchangeThread>& exchange, std::function<void()> work,
                   const std::atomic<bool>* cancel, Clock::time_point deadline)
{
    std::thread thread([exchange, work = std::move(work)] {
        try {
            work();
        } catch (...) {
            exchange->thrown = std::current_exception();
        }
        std::lock_guard<std::mutex> held(exchange->lock);
        exchange->done = true;
        exchange->finished.notify_all();
    });
    std::unique_lock<std::mutex> held(exchange->lock);
    WaitEnd end = WaitEnd::Done;
    while (!exchange->done && end == WaitEnd::Done) {
        if (cancel && cancel->load())
            end = WaitEnd::Cancelled;
        else if (Clock::now() >= deadline)
            end = WaitEnd::DeadlinePassed;
        else
            exchange->finished.wait_for(held, kWatchInterval);
    }
    if (end == WaitEnd::Done) {
        held.unlock();
        thread.join();
        return end;
    }
    exchange->abandoned = true;
    exchange->handles.request.reset();
    held.unlock();
    thread.detach();
    return end;
}

DWORD QueryStatusCode(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status;
}

HINTERNET OpenSession(const ProxyRoute& route)
{
    switch (route.kind) {
    case ProxyRouteKind::Proxy:
        return WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, route.proxy.c_str(), WINHTTP_NO_PROXY_BYPASS, 0);
    case ProxyRouteKind::Direct:
        return WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    case ProxyRouteKind::MachineDefault:
        break;
    }
    return WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
}

bool SendAndReceive(ExchangeThread& exchange, HINTERNET request, const std::wstring& headers, CallFailure& failure)
{
    const wchar_t* extra = headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str();
    if (!WinHttpSendRequest(request, extra, static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        return failure = FailWithLastError(L"发送请求失败"), false;
    if (!exchange.StillWatched()) return false;
    if (!WinHttpReceiveResponse(request, nullptr)) return failure = FailWithLastError(L"接收响应失败"), false;
    return exchange.StillWatched();
}

// Sets the user's Windows logon for the proxy's challenge; false when the proxy wants a password,
// which nobody is asked for. The low logon policy lets the default credentials go to any proxy.
bool AnswerWithWindowsLogon(HINTERNET request)
{
    DWORD supported = 0, first = 0, target = 0;
    if (!WinHttpQueryAuthSchemes(request, &supported, &first, &target) || target != WINHTTP_AUTH_TARGET_PROXY)
        return false;
    const DWORD scheme = ChooseProxyAuthScheme(supported);
    if (scheme == 0) return false;
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    if (!WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof policy)) return false;
    return WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr) != FALSE;
}

// One way to the server: opens session, connection and request, hands them to `exchange` so that
// a caller who stops waiting can close the request, and waits for the response headers. On
// failure the handles opened so far close as `opened` goes out of scope.
bool TryRoute(ExchangeThread& exchange, const ParsedUrl& url, const ProxyRoute& route, const std::wstring& headers,
              HINTERNET& request, CallFailure& failure)
{
    OpenExchange opened;
    opened.session.reset(OpenSession(route));
    if (!opened.session) return failure = FailWithLastError(L"WinHTTP初始化失败"), false;
    if (!RestrictSession(opened.session.get(), failure)) return false;

    opened.connection.reset(WinHttpConnect(opened.session.get(), url.host.c_str(), url.port, 0));
    if (!opened.connection) return failure = FailWithLastError(L"连接服务器失败"), false;

    opened.request.reset(WinHttpOpenRequest(opened.connection.get(), L"GET", url.path.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                            url.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!opened.request) return failure = FailWithLastError(L"创建请求失败"), false;
    request = opened.request.get();
    const std::wstring proxy = route.kind == ProxyRouteKind::Proxy ? route.proxy : std::wstring();
    // The handles of a route tried before close here, request first.
    if (!exchange.WhileWatched([&] {
            OpenExchange tried = std::move(exchange.handles);
            exchange.handles = std::move(opened);
            exchange.proxy = proxy;
        }))
        return false;

    if (!SendAndReceive(exchange, request, headers, failure)) return false;
    if (QueryStatusCode(request) != 407) return true;
    if (AnswerWithWindowsLogon(request) && !SendAndReceive(exchange, request, headers, failure)) return false;
    if (QueryStatusCode(request) != 407) return true;
    return failure = {L"代理服务器需要身份验证 (HTTP 407)", 0}, false;
}

// The route the user's settings give; when their proxy cannot be reached, once more straight to
// the server, and if that works the rest of the run goes there direct.
bool StartExchange(ExchangeThread& exchange, const ParsedUrl& url, const std::wstring& headers, HINTERNET& request,
                   CallFailure& failure)
{
    const ProxyTarget target = {url.secure, url.host, url.port};
    const ProxyRoute route = UserProxyRoute(url.text, target);
    if (TryRoute(exchange, url, route, headers, request, failure)) return true;
    if (route.kind != ProxyRouteKind::Proxy || !IsUnreachableProxyError(failure.lastError) || !exchange.StillWatched())
        return false;
    failure = {};
    if (!TryRoute(exchange, url, {ProxyRouteKind::Direct, {}}, headers, request, failure)) return false;
    GoDirectFromNowOn(target);
    return true;
}

// Empty when the response has no such header.
std::wstring QueryHeaderText(HINTERNET request, DWORD query)
{
    DWORD size = 0;
    WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                             WINHTTP_NO_HEADER_INDEX))
        return {};
    text.resize(size / sizeof(wchar_t));
    return text;
}

// -1 when the server sent no Content-Length.
int64_t QueryContentLength(HINTERNET request)
{
    const std::wstring text = QueryHeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH);
    return text.empty() ? -1 : std::wcstoll(text.c_str(), nullptr, 10);
}

// The first byte a 206 carries, from "bytes N-M/T"; -1 when the header is missing or malformed.
int64_t QueryRangeStart(HINTERNET request)
{
    const std::wstring text = QueryHeaderText(request, WINHTTP_QUERY_CONTENT_RANGE);
    constexpr wchar_t kUnit[] = L"bytes ";
    if (text.rfind(kUnit, 0) != 0) return -1;
    wchar_t* end = nullptr;
    const int64_t first = std::wcstoll(text.c_str() + std::size(kUnit) - 1, &end, 10);
    return end && *end == L'-' ? first : -1;
}

// The ETag names one version of the file exactly; the date is the fallback the server may offer.
std::wstring QueryValidator(HINTERNET request)
{
    std::wstring validator = QueryHeaderText(request, WINHTTP_QUERY_ETAG);
    return validator.empty() ? QueryHeaderText(request, WINHTTP_QUERY_LAST_MODIFIED) : validator;
}

// One download, shared with its thread. The inputs are copies, as the thread may outlive the
// call; the caller's progress function and cancel flag, and the file, only inside WhileWatched.
struct DownloadExchange : ExchangeThread {
    ParsedUrl url;
    std::wstring destPath;
    PartialDownload resumeFrom;  // empty for a plain GET
    const DownloadProgressFn* progress = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    int64_t declaredBytes = 0;  // 0: any length

    ScopedHandle file;
    bool fileIsOurs = false;  // the partial file being resumed, or one this download created
    int64_t bytesInFile = 0;
    std::wstring validator;
    bool brokeOff = false;  // a read failed or the body ended before its Content-Length
    bool localFileFailed = false;
    bool succeeded = false;
    CallFailure failure;
};

std::wstring RangeHeaders(const PartialDownload& from)
{
    return L"Range: bytes=" + std::to_wstring(from.bytes) + L"-\r\nIf-Range: " + from.validator + L"\r\n";
}

// The folder is named: a download folder the user cannot write to is fixed there, not by trying again.
CallFailure LocalFileFailure(DownloadExchange& d)
{
    const DWORD code = GetLastError();
    d.localFileFailed = true;
    const std::wstring folder = d.destPath.substr(0, d.destPath.find_last_of(L"\\/"));
    return {L"无法写入下载文件夹 " + folder + L": " + SystemErrorText(code), code};
}

// Starts the file afresh, or keeps its first `startAt` bytes to append to.
bool OpenDestination(DownloadExchange& d, int64_t startAt)
{
    const DWORD disposition = startAt > 0 ? OPEN_EXISTING : CREATE_ALWAYS;
    d.file = OwnFile(
        CreateFileW(ExtendedLengthPath(d.destPath).c_str(), GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!d.file) return d.failure = LocalFileFailure(d), false;
    d.fileIsOurs = true;
    LARGE_INTEGER offset = {};
    offset.QuadPart = startAt;
    if (startAt > 0 && (!SetFilePointerEx(d.file.get(), offset, nullptr, FILE_BEGIN) || !SetEndOfFile(d.file.get())))
        return d.failure = LocalFileFailure(d), false;
    d.bytesInFile = startAt;
    return true;
}

// The cancel flag is looked at after every read, so a chunk that arrives after it was set is
// neither written nor reported.
bool WriteChunk(DownloadExchange& d, const char* data, DWORD size, int64_t bytesTotal, int64_t startAt)
{
    if (d.cancel->load()) return d.failure = {L"用户取消", 0}, false;
    // A body that never ends, or an error page far larger than the file, is cut off at once.
    if (d.declaredBytes > 0 && d.bytesInFile + size > d.declaredBytes) return d.failure = {kSizeMismatch, 0}, false;
    DWORD written = 0;
    if (!WriteFile(d.file.get(), data, size, &written, nullptr) || written != size)
        return d.failure = LocalFileFailure(d), false;
    d.bytesInFile += size;
    if (*d.progress) (*d.progress)(d.bytesInFile, bytesTotal, startAt);
    return true;
}

// Counts cover the whole file, bytes resumed from included, so the transfer lines stay truthful.
void ReceiveBody(DownloadExchange& d, HINTERNET request, int64_t contentLength, int64_t startAt)
{
    const int64_t bytesTotal = contentLength < 0 ? 0 : startAt + contentLength;
    auto chunk = std::make_unique<char[]>(kFileChunkBytes);
    for (;;) {
        DWORD received = 0;
        if (!WinHttpReadData(request, chunk.get(), kFileChunkBytes, &received)) {
            d.failure = FailWithLastError(L"网络读取失败");
            d.brokeOff = true;
            return;
        }
        if (received == 0) break;
        bool written = false;
        if (!d.WhileWatched([&] { written = WriteChunk(d, chunk.get(), received, bytesTotal, startAt); }) || !written) return;
    }
    // A connection closed before the announced length is a cut-off body, not a complete file.
    if (contentLength >= 0 && d.bytesInFile - startAt < contentLength) {
        d.failure = {L"网络读取失败", 0};
        d.brokeOff = true;
        return;
    }
    if (d.declaredBytes > 0 && d.bytesInFile != d.declaredBytes) {
        d.failure = {kSizeMismatch, 0};
        return;
    }
    d.succeeded = true;
}

// A 206 continues the file only when it is of the version the kept bytes came from and starts where
// they end; a server that ignores If-Range would otherwise splice two versions into one file.
bool ContinuesKeptBytes(HINTERNET request, const PartialDownload& kept)
{
    return QueryStatusCode(request) == 206 && QueryRangeStart(request) == kept.bytes &&
           QueryValidator(request) == kept.validator;
}

// A 206 of another version or from another byte is dropped, and the whole file asked for at once.
void RunDownload(DownloadExchange& d)
{
    HINTERNET request = nullptr;
    const bool resuming = d.resumeFrom.bytes > 0;
    if (!StartExchange(d, d.url, resuming ? RangeHeaders(d.resumeFrom) : std::wstring(), request, d.failure)) return;
    const bool appending = resuming && ContinuesKeptBytes(request, d.resumeFrom);
    if (resuming && !appending && QueryStatusCode(request) == 206 &&
        !StartExchange(d, d.url, std::wstring(), request, d.failure))
        return;

    const DWORD status = QueryStatusCode(request);
    if (status != 200 && !appending) {
        d.failure = {L"HTTP " + std::to_wstring(status), 0};
        return;
    }
    d.validator = QueryValidator(request);
    const int64_t contentLength = QueryContentLength(request);
    const int64_t startAt = appending ? d.resumeFrom.bytes : 0;
    if (d.declaredBytes > 0 && contentLength >= 0 && startAt + contentLength != d.declaredBytes) {
        d.failure = {kSizeMismatch, 0};
        return;
    }
    bool opened = false;
    if (!d.WhileWatched([&] { opened = OpenDestination(d, startAt); }) || !opened) return;
    ReceiveBody(d, request, contentLength, startAt);
}

// Only a file that holds exactly what the earlier attempt recorded, with a validator that can go
// into a header line as it is (printable ASCII, as ETags and dates are).
bool CanResume(const std::wstring& destPath, const PartialDownload& partial)
{
    if (partial.bytes <= 0 || partial.validator.empty() || partial.validator.size() > kMaxValidatorChars) return false;
    for (wchar_t c : partial.validator)
        if (c < 0x20 || c > 0x7e) return false;
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(ExtendedLengthPath(destPath).c_str(), GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    const int64_t size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return size == partial.bytes;
}

// One fetch into memory, shared with its thread.
struct MemoryExchange : ExchangeThread {
    ParsedUrl url;
    int64_t maxBytes = 0;
    std::string body;
    bool succeeded = false;
    CallFailure failure;
};

void RunMemoryFetch(MemoryExchange& m)
{
    HINTERNET request = nullptr;
    if (!StartExchange(m, m.url, {}, request, m.failure)) return;
    const DWORD status = QueryStatusCode(request);
    if (status != 200) {
        m.failure = {L"HTTP " + std::to_wstring(status), 0};
        return;
    }
    const int64_t contentLength = QueryContentLength(request);
    if (contentLength > m.maxBytes) {
        m.failure = {L"响应内容过大", 0};
        return;
    }
    if (contentLength > 0) m.body.reserve(static_cast<size_t>(contentLength));
    char chunk[kMemoryChunkBytes];
    for (;;) {
        DWORD count = 0;
        if (!WinHttpReadData(request, chunk, sizeof chunk, &count)) {
            m.failure = FailWithLastError(L"网络读取失败");
            return;
        }
        if (count == 0) break;
        // Checked before appending: an endless body never grows the buffer past the limit.
        if (static_cast<int64_t>(m.body.size()) + count > m.maxBytes) {
            m.failure = {L"响应内容过大", 0};
            return;
        }
        if (!m.StillWatched()) return;
        m.body.append(chunk, count);
    }
    if (contentLength >= 0 && static_cast<int64_t>(m.body.size()) < contentLength) {
        m.failure = {L"网络读取失败", 0};
        return;
    }
    m.succeeded = true;
}

}  // namespace

// A body cut short, by a failed read or by fewer bytes than announced, yields nothing:
// a partial manifest must never reach the parser.
Outcome HttpGetToMemory(const std::wstring& url, std::string& body, const FetchLimits& limits)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limits.deadlineMs);
    body.clear();
    auto fetch = std::make_shared<MemoryExchange>();
    if (!ParseUrl(url, fetch->url)) return AsOutcome(FailWithLastError(L"URL解析失败"));
    fetch->maxBytes = limits.maxBytes;
    const WaitEnd end = RunWatched(fetch, [fetch] { RunMemoryFetch(*fetch); }, nullptr, deadline);
    if (end == WaitEnd::DeadlinePassed) return Failure(L"请求超时");
    if (fetch->thrown) std::rethrow_exception(fetch->thrown);
    if (!fetch->succeeded) return AsOutcome(fetch->failure);
    body = std::move(fetch->body);
    return Success();
}

// Nothing half-written is left unless `partial` records it: every other failure deletes the file
// this download created or resumed.
Outcome DownloadToFile(const std::wstring& url, const std::wstring& destPath, const DownloadProgressFn& progress,
                       const std::atomic<bool>& cancel, PartialDownload& partial, int64_t declaredBytes)
{
    auto download = std::make_shared<DownloadExchange>();
    if (CanResume(destPath, partial)) {
        download->resumeFrom = partial;
        download->fileIsOurs = true;
    }
    partial = {};
    download->destPath = destPath;
    download->progress = &progress;
    download->cancel = &cancel;
    download->declaredBytes = declaredBytes;

    WaitEnd end = WaitEnd::Done;
    if (!ParseUrl(url, download->url))
        download->failure = FailWithLastError(L"URL解析失败");
    else
        end = RunWatched(download, [download] { RunDownload(*download); }, &cancel, Clock::time_point::max());

    // Past this point the thread is done or no longer touches the file.
    download->file.reset();
    const bool finished = end == WaitEnd::Done;
    if (finished) {
        partial.proxy = download->proxy;
        partial.localFileFailed = download->localFileFailed;
    }
    if (finished && download->succeeded) return Success();
    if (finished && !download->thrown && download->brokeOff && download->bytesInFile > 0 &&
        !download->validator.empty() && !cancel.load()) {
        partial.bytes = download->bytesInFile;
        partial.validator = download->validator;
        return AsOutcome(download->failure);
    }
    if (download->fileIsOurs) DeleteFileW(destPath.c_str());
    if (finished && download->thrown) std::rethrow_exception(download->thrown);
    if (!finished || cancel.load()) return Failure(L"用户取消");
    return AsOutcome(download->failure);
}
