#include "Proxy.h"

#include <string_view>
#include <vector>

#include "base/Split.h"

namespace {

constexpr uint32_t kErrorSocketTimeout = 10060;    // WSAETIMEDOUT, what Wine reports for a time-out

// Host names and schemes are ASCII here: WinHTTP hands them over in their punycode form.
std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

bool IsSpace(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

std::wstring Trimmed(const std::wstring& text)
{
    size_t first = 0;
    size_t last = text.size();
    while (first < last && IsSpace(text[first])) ++first;
    while (last > first && IsSpace(text[last - 1])) --last;
    return text.substr(first, last - first);
}

// The non-empty pieces between any of the separators, trimmed.
std::vector<std::wstring> Split(const std::wstring& text, const wchar_t* separators)
{
    std::vector<std::wstring> pieces;
    for (const std::wstring_view piece : SplitAt(text, separators)) {
        std::wstring trimmed = Trimmed(std::wstring(piece));
        if (!trimmed.empty()) pieces.push_back(std::move(trimmed));
    }
    return pieces;
}

// '*' stands for any run of characters, as in Internet Options' exception list.
bool WildcardMatch(const std::wstring& pattern, const std::wstring& text)
{
    size_t p = 0, t = 0, star = std::wstring::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::wstring::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

// Splits "scheme://rest" into its lower-case scheme and the rest; no scheme leaves the text whole.
std::wstring TakeScheme(std::wstring& text)
{
    const size_t mark = text.find(L"://");
    if (mark == std::wstring::npos) return {};
    std::wstring scheme = Lower(text.substr(0, mark));
    text.erase(0, mark + 3);
    return scheme;
}

// HOST:PORT, with WinHTTP's default proxy port 80 when none is given; empty without a host.
std::wstring ProxyAddress(std::wstring value)
{
    TakeScheme(value);
    while (!value.empty() && value.back() == L'/') value.pop_back();
    if (value.empty() || value.front() == L':') return {};
    const bool bracketed = value.front() == L'[';
    const bool hasPort = bracketed ? value.find(L"]:") != std::wstring::npos : value.find(L':') != std::wstring::npos;
    return hasPort ? value : value + L":80";
}

ProxyRoute DirectRoute()
{
    return {ProxyRouteKind::Direct, {}};
}

ProxyRoute ProxyRouteTo(const std::wstring& address)
{
    return address.empty() ? DirectRoute() : ProxyRoute{ProxyRouteKind::Proxy, address};
}

}  // namespace

bool IsLoopbackHost(const std::wstring& host)
{
    std::wstring name = Lower(host);
    if (name.size() >= 2 && name.front() == L'[' && name.back() == L']') name = name.substr(1, name.size() - 2);
    return name == L"127.0.0.1" || name == L"::1" || name == L"localhost";
}

// An entry may name a scheme ("https://*.example.com") and a port ("*.example.com:8080").
bool detail::BypassesProxy(const std::wstring& bypassList, const ProxyTarget& target)
{
    const std::wstring host = Lower(target.host);
    const std::wstring hostAndPort = host + L":" + std::to_wstring(target.port);
    for (std::wstring entry : Split(Lower(bypassList), L"; \t\r\n,")) {
        if (entry == L"<local>") {
            if (host.find_first_of(L".:") == std::wstring::npos) return true;
            continue;
        }
        const std::wstring scheme = TakeScheme(entry);
        if (!scheme.empty() && scheme != (target.secure ? L"https" : L"http")) continue;
        while (!entry.empty() && entry.back() == L'/') entry.pop_back();
        if (WildcardMatch(entry, host) || WildcardMatch(entry, hostAndPort)) return true;
    }
    return false;
}

// A list with entries per scheme and without one for this scheme sends it direct, as Internet
// Options does with an empty "Secure" box.
std::wstring detail::ProxyForScheme(const std::wstring& proxyList, bool secure)
{
    const std::wstring wanted = secure ? L"https" : L"http";
    std::wstring forAll;
    for (const std::wstring& entry : Split(proxyList, L"; \t\r\n")) {
        const size_t equals = entry.find(L'=');
        if (equals == std::wstring::npos) {
            if (forAll.empty()) forAll = entry;
        } else if (Lower(Trimmed(entry.substr(0, equals))) == wanted) {
            return ProxyAddress(Trimmed(entry.substr(equals + 1)));
        }
    }
    return ProxyAddress(forAll);
}

// WinHTTP speaks plain HTTP to a proxy only: SOCKS and HTTPS entries are passed over.
ProxyRoute detail::RouteFromAnswer(const std::wstring& answer)
{
    for (const std::wstring& entry : Split(answer, L";")) {
        const size_t space = entry.find_first_of(L" \t");
        if (space == std::wstring::npos) {
            if (Lower(entry) == L"direct") return DirectRoute();
            if (const std::wstring address = ProxyAddress(entry); !address.empty()) return ProxyRouteTo(address);
            continue;
        }
        const std::wstring kind = Lower(entry.substr(0, space));
        if (kind != L"proxy" && kind != L"http") continue;
        if (const std::wstring address = ProxyAddress(Trimmed(entry.substr(space))); !address.empty())
            return ProxyRouteTo(address);
    }
    return DirectRoute();
}

// A script that gives no answer leaves the next setting to decide; settings that name nothing
// leave the machine's.
ProxyRoute ChooseProxyRoute(const UserProxySettings& settings, const ProxyTarget& target, const AutoProxyQuery& ask)
{
    if (!settings.autoConfigUrl.empty())
        if (const std::optional<std::wstring> answer = ask(AutoProxySource::Script)) return detail::RouteFromAnswer(*answer);
    if (settings.autoDetect)
        if (const std::optional<std::wstring> answer = ask(AutoProxySource::Detection))
            return detail::RouteFromAnswer(*answer);
    if (Trimmed(settings.proxy).empty()) return {};
    if (IsLoopbackHost(target.host) || detail::BypassesProxy(settings.bypass, target)) return DirectRoute();
    return ProxyRouteTo(detail::ProxyForScheme(settings.proxy, target.secure));
}

// The port is left out: one host is one route, whichever of its ports a URL names.
std::wstring ProxyRouteKey(const UserProxySettings& settings, const ProxyTarget& target)
{
    return (target.secure ? L"https://" : L"http://") + Lower(target.host) + L"\n" +
           (settings.autoDetect ? L"detect" : L"") + L"\n" + settings.autoConfigUrl + L"\n" + settings.proxy + L"\n" +
           settings.bypass;
}

bool IsUnreachableProxyError(uint32_t lastError)
{
    return lastError == kErrorWinHttpCannotConnect || lastError == kErrorWinHttpNameNotResolved || lastError == kErrorWinHttpTimeout ||
           lastError == kErrorSocketTimeout;
}

// Basic and Digest would need a password, which the installer never asks for.
uint32_t ChooseProxyAuthScheme(uint32_t supportedSchemes)
{
    if (supportedSchemes & kAuthSchemeNegotiate) return kAuthSchemeNegotiate;
    if (supportedSchemes & kAuthSchemeNtlm) return kAuthSchemeNtlm;
    return 0;
}
