#include <gtest/gtest.h>

#include <vector>

#include "base/Text.h"
#include "net/Proxy.h"

using detail::BypassesProxy;
using detail::ProxyForScheme;
using detail::RouteFromAnswer;

namespace {

std::string Shown(const ProxyRoute& route)
{
    switch (route.kind) {
    case ProxyRouteKind::MachineDefault:
        return "machine default";
    case ProxyRouteKind::Direct:
        return "direct";
    case ProxyRouteKind::Proxy:
        return "proxy " + WideToUtf8(route.proxy);
    }
    return "?";
}

const ProxyTarget kPlain = {false, L"updates.example", 80};

TEST(ProxyTest, BypassListEntriesNameHostsByWildcardSchemeAndPort)
{
    struct Row {
        const wchar_t* list;
        ProxyTarget target;
        bool bypassed;
        const char* why;
    } rows[] = {
        {L"<local>", {false, L"intranet", 80}, true, "<local> is a name without a dot"},
        {L"<local>", kPlain, false, "a name with a dot is not local"},
        {L"<local>", {false, L"[fe80::1]", 80}, false, "an IPv6 address has no dot but is no local name"},
        {L"*.corp.example", {false, L"pkg.corp.example", 80}, true, "a wildcard for the subdomains"},
        {L"*.corp.example", {false, L"corp.example", 80}, false, "the wildcard needs its dot"},
        {L"10.0.*", {false, L"10.0.3.4", 80}, true, "a wildcard in an address"},
        {L"UPDATES.Example", kPlain, true, "names compare in either case"},
        {L"updates.example.evil", kPlain, false, "a longer name is another host"},
        {L"updates", kPlain, false, "no prefix match without a wildcard"},
        {L"a.example; updates.example", kPlain, true, "the second entry, after a separator and a space"},
        {L"a.example updates.example", kPlain, true, "entries split by a space alone"},
        {L"https://updates.example", kPlain, false, "an entry for https only leaves http to the proxy"},
        {L"https://updates.example", {true, L"updates.example", 443}, true, "and bypasses https"},
        {L"updates.example:8080", {false, L"updates.example", 8080}, true, "an entry with the target's port"},
        {L"updates.example:8080", kPlain, false, "an entry with another port"},
        {L"", kPlain, false, "an empty list bypasses nothing"},
    };
    for (const Row& row : rows) EXPECT_EQ(BypassesProxy(row.list, row.target), row.bypassed) << row.why;
}

TEST(ProxyTest, FixedProxyListGivesOneAddressPerScheme)
{
    struct Row {
        const wchar_t* list;
        bool secure;
        const wchar_t* proxy;
        const char* why;
    } rows[] = {
        {L"proxy.corp:8080", false, L"proxy.corp:8080", "one proxy for every scheme"},
        {L"proxy.corp:8080", true, L"proxy.corp:8080", "https too"},
        {L"proxy.corp", false, L"proxy.corp:80", "WinHTTP's default port, written out for the log"},
        {L"http://proxy.corp:3128/", false, L"proxy.corp:3128", "a proxy written as a URL"},
        {L"http=a.corp:1;https=b.corp:2", true, L"b.corp:2", "the secure entry for https"},
        {L"http=a.corp:1;https=b.corp:2", false, L"a.corp:1", "the http entry for http"},
        {L"HTTP=a.corp:1", false, L"a.corp:1", "scheme names in either case"},
        {L"http=a.corp:1", true, L"", "no secure entry: https goes direct"},
        {L"ftp=f.corp:21;c.corp:3", true, L"c.corp:3", "an entry without a scheme serves the rest"},
        {L"[::1]:8080", false, L"[::1]:8080", "an IPv6 proxy with its port"},
        {L"[fe80::2]", false, L"[fe80::2]:80", "an IPv6 proxy without one"},
        {L"  ", false, L"", "nothing"},
    };
    for (const Row& row : rows) EXPECT_EQ(WideToUtf8(ProxyForScheme(row.list, row.secure)), WideToUtf8(row.proxy)) << row.why;
}

TEST(ProxyTest, ScriptAnswerTakesItsFirstEntryWinHttpCanUse)
{
    struct Row {
        const wchar_t* answer;
        const char* route;
        const char* why;
    } rows[] = {
        {L"PROXY p.corp:1; DIRECT", "proxy p.corp:1", "the first entry of a PAC answer"},
        {L"DIRECT", "direct", "the script says direct"},
        {L"", "direct", "WinHTTP's empty list for DIRECT"},
        {L"a.corp:1;b.corp:2", "proxy a.corp:1", "WinHTTP's own list of addresses"},
        {L"SOCKS s.corp:1; PROXY p.corp:2", "proxy p.corp:2", "WinHTTP speaks no SOCKS"},
        {L"HTTPS h.corp:443; DIRECT", "direct", "nor TLS to the proxy"},
        {L"proxy  p.corp", "proxy p.corp:80", "keywords in either case, the default port"},
        {L"SOCKS s.corp:1", "direct", "nothing usable"},
    };
    for (const Row& row : rows) EXPECT_EQ(Shown(RouteFromAnswer(row.answer)), row.route) << row.why;
}

TEST(ProxyTest, RouteComesFromTheScriptThenDetectionThenTheFixedProxy)
{
    using Answer = std::optional<std::wstring>;
    const std::wstring kScript = L"http://wpad.corp/proxy.pac";
    struct Row {
        UserProxySettings settings;
        ProxyTarget target;
        Answer scriptAnswer, detectionAnswer;
        const char* route;
        std::vector<AutoProxySource> asked;
        const char* why;
    } rows[] = {
        {{}, kPlain, {}, {}, "machine default", {}, "no settings of the user's: as before"},
        {{false, L"", L"", L"<local>"}, kPlain, {}, {}, "machine default", {}, "a bypass list alone names no proxy"},
        {{false, L"", L"p.corp:8080", L""}, kPlain, {}, {}, "proxy p.corp:8080", {}, "the fixed proxy"},
        {{false, L"", L"p.corp:8080", L""}, {false, L"127.0.0.1", 80}, {}, {}, "direct", {}, "loopback never goes to a proxy"},
        {{false, L"", L"p.corp:8080", L""}, {true, L"LocalHost", 443}, {}, {}, "direct", {}, "localhost in any case"},
        {{false, L"", L"p.corp:8080", L""}, {false, L"[::1]", 80}, {}, {}, "direct", {}, "the IPv6 loopback"},
        {{false, L"", L"p.corp:8080", L"*.example"}, kPlain, {}, {}, "direct", {}, "a bypass entry"},
        {{false, L"", L"http=p.corp:8080", L""}, {true, L"updates.example", 443}, {}, {}, "direct", {},
         "no proxy for the scheme"},
        {{true, kScript, L"p.corp:8080", L""}, kPlain, L"PROXY s.corp:1", L"d.corp:2", "proxy s.corp:1",
         {AutoProxySource::Script}, "the script comes first and alone"},
        {{false, kScript, L"p.corp:8080", L""}, {false, L"127.0.0.1", 80}, L"PROXY s.corp:1", {}, "proxy s.corp:1",
         {AutoProxySource::Script}, "the script decides loopback too, as WinHTTP's answer says"},
        {{false, kScript, L"", L""}, kPlain, L"", {}, "direct", {AutoProxySource::Script}, "the script says direct"},
        {{true, kScript, L"p.corp:8080", L""}, kPlain, {}, L"d.corp:2", "proxy d.corp:2",
         {AutoProxySource::Script, AutoProxySource::Detection}, "no script: detection"},
        {{false, kScript, L"p.corp:8080", L""}, kPlain, {}, {}, "proxy p.corp:8080", {AutoProxySource::Script},
         "no script and no detection: the fixed proxy"},
        {{true, L"", L"", L""}, kPlain, {}, {}, "machine default", {AutoProxySource::Detection},
         "detection finds nothing and nothing else is set"},
    };
    for (const Row& row : rows) {
        std::vector<AutoProxySource> asked;
        const ProxyRoute route = ChooseProxyRoute(row.settings, row.target, [&](AutoProxySource source) {
            asked.push_back(source);
            return source == AutoProxySource::Script ? row.scriptAnswer : row.detectionAnswer;
        });
        EXPECT_EQ(Shown(route), row.route) << row.why;
        EXPECT_EQ(asked, row.asked) << row.why;
    }
}

TEST(ProxyTest, OneRoutePerSchemeHostAndSettings)
{
    const UserProxySettings fixed = {false, L"", L"p.corp:8080", L""};
    const std::wstring key = ProxyRouteKey(fixed, kPlain);
    EXPECT_EQ(ProxyRouteKey(fixed, {false, L"Updates.Example", 8080}), key) << "the port and the case of the name";
    EXPECT_NE(ProxyRouteKey(fixed, {true, L"updates.example", 443}), key) << "the scheme";
    EXPECT_NE(ProxyRouteKey(fixed, {false, L"other.example", 80}), key) << "the host";
    EXPECT_NE(ProxyRouteKey({false, L"", L"q.corp:8080", L""}, kPlain), key) << "settings changed during the run";
    EXPECT_NE(ProxyRouteKey({false, L"", L"p.corp:8080", L"<local>"}, kPlain), key) << "the bypass list";
    EXPECT_NE(ProxyRouteKey({true, L"", L"p.corp:8080", L""}, kPlain), key) << "detection turned on";
}

TEST(ProxyTest, OnlyAnUnreachableProxyIsPassedByAndOnlyTheWindowsLogonAnswersOne)
{
    struct ErrorRow {
        uint32_t code;
        bool unreachable;
        const char* why;
    } errors[] = {
        {12029, true, "connection refused"},
        {12007, true, "the proxy's name not found"},
        {12002, true, "timed out on Windows"},
        {10060, true, "timed out under Wine"},
        {12175, false, "a certificate error is the server's, not the proxy's"},
        {12030, false, "a connection broken after it was made"},
        {0, false, "no error"},
    };
    for (const ErrorRow& row : errors) EXPECT_EQ(IsUnreachableProxyError(row.code), row.unreachable) << row.why;

    struct SchemeRow {
        uint32_t supported;
        uint32_t chosen;
        const char* why;
    } schemes[] = {
        {kAuthSchemeNegotiate | kAuthSchemeNtlm | kAuthSchemeBasic, kAuthSchemeNegotiate, "Negotiate first"},
        {kAuthSchemeNtlm | kAuthSchemeBasic, kAuthSchemeNtlm, "NTLM when Negotiate is not offered"},
        {kAuthSchemeBasic, 0, "Basic needs a password nobody is asked for"},
        {0x8, 0, "Digest as well"},
    };
    for (const SchemeRow& row : schemes) EXPECT_EQ(ChooseProxyAuthScheme(row.supported), row.chosen) << row.why;
}

}  // namespace
