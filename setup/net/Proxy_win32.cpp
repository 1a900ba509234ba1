#include "Proxy.h"

#include <windows.h>
#include <winhttp.h>

#include <map>
#include <mutex>

#include "base/Scoped_win32.h"

namespace {

static_assert(kAuthSchemeBasic == WINHTTP_AUTH_SCHEME_BASIC);
static_assert(kAuthSchemeNtlm == WINHTTP_AUTH_SCHEME_NTLM);
static_assert(kAuthSchemeNegotiate == WINHTTP_AUTH_SCHEME_NEGOTIATE);

constexpr wchar_t kUserAgent[] = L"Quillmere-Setup/1.0";
// A PAC script or WPAD that does not answer must not hold up the download for long.
constexpr int kScriptTimeoutMs = 10000;

// WinHTTP hands these strings over for the caller to free with GlobalFree.
std::wstring TakeGlobalText(LPWSTR text)
{
    if (!text) return {};
    std::wstring copy = text;
    GlobalFree(text);
    return copy;
}

UserProxySettings ReadUserProxySettings()
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return {};
    UserProxySettings settings;
    settings.autoDetect = config.fAutoDetect != FALSE;
    settings.autoConfigUrl = TakeGlobalText(config.lpszAutoConfigUrl);
    settings.proxy = TakeGlobalText(config.lpszProxy);
    settings.bypass = TakeGlobalText(config.lpszProxyBypass);
    return settings;
}

// The script's proxy list for url; empty for DIRECT.
std::optional<std::wstring> AskScript(const std::wstring& url, const UserProxySettings& settings,
                                      AutoProxySource source)
{
    ScopedInternet session(
        WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    // A script that could take WinHTTP's own minutes to fetch is not asked.
    if (!session || !WinHttpSetTimeouts(session.get(), kScriptTimeoutMs, kScriptTimeoutMs, kScriptTimeoutMs, kScriptTimeoutMs))
        return std::nullopt;
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (source == AutoProxySource::Script) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = settings.autoConfigUrl.c_str();
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    // A script behind an authenticating server is fetched with the user's logon.
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info = {};
    if (!WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info)) return std::nullopt;
    std::wstring proxy = TakeGlobalText(info.lpszProxy);
    TakeGlobalText(info.lpszProxyBypass);
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NO_PROXY) return std::wstring();
    return proxy;
}

// Routes found in this run. A PAC script or WPAD can take seconds to answer, so each host's
// route is looked for once; the settings are part of the key, as the user may change them.
struct RouteCache {
    std::mutex lock;
    std::map<std::wstring, ProxyRoute> routes;
};

RouteCache& Routes()
{
    static RouteCache cache;
    return cache;
}

}  // namespace

// The lock is not held while the script runs: two threads that ask at once both ask, and the
// first answer stays.
ProxyRoute UserProxyRoute(const std::wstring& url, const ProxyTarget& target)
{
    const UserProxySettings settings = ReadUserProxySettings();
    const std::wstring key = ProxyRouteKey(settings, target);
    RouteCache& cache = Routes();
    {
        std::lock_guard<std::mutex> held(cache.lock);
        if (const auto found = cache.routes.find(key); found != cache.routes.end()) return found->second;
    }
    const ProxyRoute route = ChooseProxyRoute(
        settings, target, [&](AutoProxySource source) { return AskScript(url, settings, source); });
    std::lock_guard<std::mutex> held(cache.lock);
    return cache.routes.emplace(key, route).first->second;
}

void GoDirectFromNowOn(const ProxyTarget& target)
{
    const std::wstring key = ProxyRouteKey(ReadUserProxySettings(), target);
    RouteCache& cache = Routes();
    std::lock_guard<std::mutex> held(cache.lock);
    cache.routes[key] = {ProxyRouteKind::Direct, {}};
}
