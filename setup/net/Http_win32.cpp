#include "Http.h"

#include <windows.h>
#include <winhttp.h>

#include <cwchar>
#include <memory>

#include "base/Scoped_win32.h"

namespace {

constexpr wchar_t kUserAgent[] = L"Quillmere-Setup/1.0";
constexpr DWORD kMemoryChunkBytes = 8192;
constexpr DWORD kFileChunkBytes = 16384;
constexpr DWORD kHostChars = 256;
constexpr DWORD kPathChars = 2048;
constexpr DWORD kSecureProtocols = 0x800 | 0x2000;  // TLS 1.2 and TLS 1.3

struct ParsedUrl {
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
    parsed.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    parsed.host.assign(host, parts.dwHostNameLength);
    parsed.port = parts.nPort;
    parsed.path.assign(path, parts.dwUrlPathLength);
    return true;
}

void RestrictDownloadSession(HINTERNET session)
{
    DWORD protocols = kSecureProtocols;
    WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    WinHttpSetTimeouts(session, 0, 30000, 30000, 120000);
}

// Opens session, connection and request and waits for the response headers. On failure
// the handles opened so far close as `exchange` goes out of scope.
bool StartExchange(const ParsedUrl& url, bool forDownload, OpenExchange& exchange, CallFailure& failure)
{
    exchange.session.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    if (!exchange.session) return failure = FailWithLastError(L"WinHTTP初始化失败"), false;
    if (forDownload) RestrictDownloadSession(exchange.session.get());

    exchange.connection.reset(WinHttpConnect(exchange.session.get(), url.host.c_str(), url.port, 0));
    if (!exchange.connection) return failure = FailWithLastError(L"连接服务器失败"), false;

    exchange.request.reset(WinHttpOpenRequest(exchange.connection.get(), L"GET", url.path.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              url.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!exchange.request) return failure = FailWithLastError(L"创建请求失败"), false;

    if (!WinHttpSendRequest(exchange.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        return failure = FailWithLastError(L"发送请求失败"), false;
    if (!WinHttpReceiveResponse(exchange.request.get(), nullptr))
        return failure = FailWithLastError(L"接收响应失败"), false;
    return true;
}

DWORD QueryStatusCode(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status;
}

// -1 when the server sent no Content-Length.
int64_t QueryContentLength(HINTERNET request)
{
    wchar_t text[64] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return -1;
    return std::wcstoll(text, nullptr, 10);
}

// Streams the body into `file` one chunk at a time, polling the cancel flag after every read.
bool ReceiveBodyToFile(HINTERNET request, HANDLE file, int64_t contentLength, const DownloadProgressFn& progress,
                       const std::atomic<bool>& cancel, CallFailure& failure)
{
    const int64_t bytesTotal = contentLength < 0 ? 0 : contentLength;
    int64_t bytesDone = 0;
    auto chunk = std::make_unique<char[]>(kFileChunkBytes);
    for (;;) {
        DWORD received = 0;
        if (!WinHttpReadData(request, chunk.get(), kFileChunkBytes, &received))
            return failure = FailWithLastError(L"网络读取失败"), false;
        if (received == 0) break;
        if (cancel.load()) return failure = {L"用户取消", 0}, false;
        DWORD written = 0;
        if (!WriteFile(file, chunk.get(), received, &written, nullptr))
            return failure = FailWithLastError(L"写入磁盘失败"), false;
        bytesDone += received;
        if (progress) progress(bytesDone, bytesTotal);
    }
    // A connection closed before the announced length is a cut-off body, not a complete file.
    if (contentLength >= 0 && bytesDone < contentLength) return failure = {L"网络读取失败", 0}, false;
    return true;
}

bool DownloadWithOpenHandles(const ParsedUrl& url, const std::wstring& destPath, const DownloadProgressFn& progress,
                             const std::atomic<bool>& cancel, CallFailure& failure, bool& fileCreated)
{
    OpenExchange exchange;
    if (!StartExchange(url, true, exchange, failure)) return false;

    const DWORD status = QueryStatusCode(exchange.request.get());
    if (status != 200) return failure = {L"HTTP " + std::to_wstring(status), 0}, false;
    const int64_t contentLength = QueryContentLength(exchange.request.get());

    ScopedHandle file =
        OwnFile(CreateFileW(destPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return failure = FailWithLastError(L"创建本地文件失败"), false;
    fileCreated = true;
    const bool received =
        ReceiveBodyToFile(exchange.request.get(), file.get(), contentLength, progress, cancel, failure);
    file.reset();
    return received;
}

}  // namespace

// A body cut short, by a failed read or by fewer bytes than announced, yields nothing:
// a partial manifest must never reach the parser.
Outcome HttpGetToMemory(const std::wstring& url, std::string& body)
{
    body.clear();
    ParsedUrl parsed;
    if (!ParseUrl(url, parsed)) return AsOutcome(FailWithLastError(L"URL解析失败"));
    OpenExchange exchange;
    CallFailure failure;
    if (!StartExchange(parsed, false, exchange, failure)) return AsOutcome(failure);
    const DWORD status = QueryStatusCode(exchange.request.get());
    if (status != 200) return Failure(L"HTTP " + std::to_wstring(status));
    const int64_t contentLength = QueryContentLength(exchange.request.get());

    std::string received;
    char chunk[kMemoryChunkBytes];
    for (;;) {
        DWORD count = 0;
        if (!WinHttpReadData(exchange.request.get(), chunk, sizeof chunk, &count))
            return AsOutcome(FailWithLastError(L"网络读取失败"));
        if (count == 0) break;
        received.append(chunk, count);
    }
    if (contentLength >= 0 && static_cast<int64_t>(received.size()) < contentLength) return Failure(L"网络读取失败");
    body = std::move(received);
    return Success();
}

// Never leaves a partial file behind: any failure after the file was created deletes it.
Outcome DownloadToFile(const std::wstring& url, const std::wstring& destPath, const DownloadProgressFn& progress,
                       const std::atomic<bool>& cancel)
{
    ParsedUrl parsed;
    if (!ParseUrl(url, parsed)) return AsOutcome(FailWithLastError(L"URL解析失败"));
    CallFailure failure;
    bool fileCreated = false;
    if (DownloadWithOpenHandles(parsed, destPath, progress, cancel, failure, fileCreated)) return Success();
    if (fileCreated) DeleteFileW(destPath.c_str());
    return AsOutcome(failure);
}
