#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// WinHTTP's authentication scheme flags, for code that cannot include <winhttp.h>.
constexpr uint32_t kAuthSchemeBasic = 0x1;
constexpr uint32_t kAuthSchemeNtlm = 0x2;
constexpr uint32_t kAuthSchemeNegotiate = 0x10;
// WinHTTP's errors for a host that cannot be reached, likewise; Http_win32 checks them against the SDK.
constexpr uint32_t kErrorWinHttpTimeout = 12002;
constexpr uint32_t kErrorWinHttpNameNotResolved = 12007;
constexpr uint32_t kErrorWinHttpCannotConnect = 12029;

// The current user's proxy settings, as Windows keeps them for Internet Options.
struct UserProxySettings {
    bool autoDetect = false;     // look for a PAC script by WPAD
    std::wstring autoConfigUrl;  // the PAC script's address
    std::wstring proxy;          // "host:port", or per scheme "http=host:port;https=host:port"
    std::wstring bypass;         // entries split by ';' or spaces; "<local>" for names without a dot
};

// The server a request goes to.
struct ProxyTarget {
    bool secure = false;
    std::wstring host;
    uint16_t port = 0;
};

enum class ProxyRouteKind {
    MachineDefault,  // the user's settings say nothing: WinHTTP's machine-wide setting
    Direct,
    Proxy,
};

// How requests to one server go.
struct ProxyRoute {
    ProxyRouteKind kind = ProxyRouteKind::MachineDefault;
    std::wstring proxy;  // HOST:PORT, for ProxyRouteKind::Proxy only
};

enum class AutoProxySource { Script, Detection };
// The proxy list a PAC script (given by address, or found by WPAD) answers for the target, as
// WinHTTP returns it (empty: direct); nothing when no script answered.
using AutoProxyQuery = std::function<std::optional<std::wstring>(AutoProxySource source)>;

// 127.0.0.1, ::1 and localhost, which no proxy can stand in for.
bool IsLoopbackHost(const std::wstring& host);
// The route for the target: the PAC script, then WPAD, then the fixed proxy and its bypass list.
ProxyRoute ChooseProxyRoute(const UserProxySettings& settings, const ProxyTarget& target, const AutoProxyQuery& ask);
// Names one route: the same scheme and host under the same settings.
std::wstring ProxyRouteKey(const UserProxySettings& settings, const ProxyTarget& target);
// WinHTTP's errors for a proxy that cannot be reached: refused, not found, timed out.
bool IsUnreachableProxyError(uint32_t lastError);
// The scheme that answers a proxy's challenge with the user's Windows logon; 0 when none can.
uint32_t ChooseProxyAuthScheme(uint32_t supportedSchemes);

// Windows only: the route for url by the current user's settings, found once per scheme, host and
// settings for the whole run.
ProxyRoute UserProxyRoute(const std::wstring& url, const ProxyTarget& target);
// Windows only: the user's proxy for the target could not be reached but the server could: from
// now on requests there go direct.
void GoDirectFromNowOn(const ProxyTarget& target);

// For the tests only: the rules ChooseProxyRoute is made of.
namespace detail {
// Whether an entry of the bypass list names the target.
bool BypassesProxy(const std::wstring& bypassList, const ProxyTarget& target);
// The proxy a fixed proxy list gives for the scheme, as HOST:PORT; empty when it gives none.
std::wstring ProxyForScheme(const std::wstring& proxyList, bool secure);
// The first usable entry of a PAC answer ("PROXY a:1; DIRECT", or WinHTTP's "a:1;b:2").
ProxyRoute RouteFromAnswer(const std::wstring& answer);
}  // namespace detail
