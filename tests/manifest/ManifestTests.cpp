#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "BuildConfig.h"
#include "manifest/Manifest.h"

using detail::IsAcceptedBaseUrl;
using detail::GetJsonString;
using detail::GetJsonInt64;
using detail::GetJsonBool;
using detail::FindMatchingBracket;

using namespace std::string_literals;

namespace {

struct StringRow { const char* text; const char* key; const char* expected; const char* reason; };

TEST(GetJsonString, ReadsTheStringAfterTheKey)
{
    const StringRow rows[] = {
        {R"({"id": "node"})", "id", "node", "plain value"},
        {R"({"id":""})", "id", "", "empty value stays empty"},
        {"{\"id\": \"\xE4\xB8\x80\t\x01\"}", "id", "\xE4\xB8\x80\t\x01", "raw UTF-8 and control bytes kept as they are"},
        {R"({"id":"a\"b", "x": "y"})", "id", "a\"b", "an escaped quote does not end the value"},
        {R"({"id":"a\\", "x": "y"})", "id", "a\\", "an escaped backslash does not escape the quote after it"},
        {R"({"id":"\"\\\/\b\f\n\r\t"})", "id", "\"\\/\b\f\n\r\t", "every short escape decoded"},
        {R"({"id":"https:\/\/cdn.example\/q\/"})", "id", "https://cdn.example/q/", "escaped slashes of a standard encoder"},
        {R"({"id":"\u0041\u00e9\u7F51"})", "id", "A\xC3\xA9\xE7\xBD\x91",
         "\\u to one, two and three UTF-8 bytes, hex in either case"},
        {R"({"id":"\ud83d\ude00!"})", "id", "\xF0\x9F\x98\x80!", "a surrogate pair is one code point of four bytes"},
        {R"({"id":"a\x"})", "id", "", "unknown escape letter empties the field"},
        {R"({"id":"\u12"})", "id", "", "\\u with fewer than four digits"},
        {R"({"id":"\u12g4"})", "id", "", "\\u with a digit that is not hex"},
        {R"({"id":"\ud83d"})", "id", "", "high surrogate at the end"},
        {R"({"id":"\ud83dx"})", "id", "", "high surrogate followed by a plain character"},
        {R"({"id":"\ud83d\u0041"})", "id", "", "high surrogate followed by an escape that is no low surrogate"},
        {R"({"id":"\ude00\ud83d\ude00"})", "id", "", "a lone low surrogate, even ahead of a valid pair"},
        {R"({"id":"a\u0000b"})", "id", "", "U+0000 would cut the text on Windows"},
        {R"({"desc": "\"id", "x": "decoy", "id": "real"})", "id", "real", "an escaped quote cannot open the key"},
        {R"({"x": "\\"id": "v"})", "id", "v", "a quote after an escaped backslash still opens the key"},
        {R"({"size": 12, "file": "x"})", "size", "file", "non-string value yields the next quoted text"},
        {R"({"name": "id", "x": "y", "id": "z"})", "id", "y", "first occurrence wins even when it is a value"},
        {R"({"meta": {"id": "inner"}, "id": "outer"})", "id", "inner", "nested key found first by substring search"},
        {R"({"file": "x"})", "id", "", "missing key"},
        {R"({"id" "x"})", "id", "", "no colon after the key"},
        {R"({"id": "open)", "id", "", "no closing quote"},
        {R"({"id": "open\")", "id", "", "only an escaped quote after the opening one"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(GetJsonString(r.text, r.key), r.expected) << r.reason << " | " << r.text;
}

struct IntRow { const char* text; int64_t expected; const char* reason; };

TEST(GetJsonInt64, ConvertsLikeStollAndFallsBackToZero)
{
    const IntRow rows[] = {
        {R"("size": 1024,)", 1024, "stops at the comma"},
        {R"("size": -1)", -1, "negative sign"},
        {R"("size": +8)", 8, "plus sign"},
        {R"("size": 007)", 7, "leading zeros are decimal, not octal"},
        {R"("size": 1.5)", 1, "fraction cut at the dot"},
        {"\"size\":\t 7", 7, "tabs and spaces after the colon skipped"},
        {"\"size\":\n\r\v\f 42", 42, "other white space accepted by the conversion"},
        {R"("size": "2048")", 0, "quoted number is not a number"},
        {R"("size": -)", 0, "sign without digits"},
        {R"("size":)", 0, "nothing after the colon"},
        {R"("size" 5)", 0, "no colon"},
        {R"("file": 5)", 0, "missing key"},
        {R"("size": 9223372036854775807)", INT64_MAX, "largest value"},
        {R"("size": -9223372036854775808)", INT64_MIN, "smallest value"},
        {R"("size": 9223372036854775808)", 0, "one past the largest overflows"},
        {R"("size": -9223372036854775809)", 0, "one past the smallest overflows"},
        {R"("size": 184467440737095516160)", 0, "overflow that wraps an unsigned 64-bit accumulator"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(GetJsonInt64(r.text, "size"), r.expected) << r.reason << " | " << r.text;
}

struct BoolRow { const char* text; bool expected; const char* reason; };

TEST(GetJsonBool, TrueOnlyAfterSpaces)
{
    const BoolRow rows[] = {
        {R"("extract": true})", true, "plain true"},
        {R"("extract":true)", true, "no space before true"},
        {R"("extract":    trueish)", true, "only four characters compared"},
        {R"("extract": True)", false, "case sensitive"},
        {R"("extract": 1)", false, "number is not true"},
        {R"("extract": "true")", false, "quoted true is not true"},
        {"\"extract\":\ttrue", false, "tab is not skipped"},
        {R"("extract": tru)", false, "truncated at end of text"},
        {R"("required": true)", false, "missing key"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(GetJsonBool(r.text, "extract"), r.expected) << r.reason << " | " << r.text;
}

struct BracketRow { const char* text; size_t open; char openChar, closeChar; size_t expected; const char* reason; };

TEST(FindMatchingBracket, CountsDepthOutsideStrings)
{
    constexpr size_t npos = std::string::npos;
    const BracketRow rows[] = {
        {"[1,[2],3]", 0, '[', ']', 8, "nested brackets counted"},
        {"x[]", 1, '[', ']', 2, "starts at the given index"},
        {R"({"a":"}"})", 0, '{', '}', 8, "close inside a string ignored"},
        {R"({"a":"\"}"})", 0, '{', '}', 10, "escaped quote keeps the string open"},
        {R"({\"}")", 0, '{', '}', npos, "backslash outside a string is no escape"},
        {"[{]", 0, '[', ']', 2, "other bracket kind not counted"},
        {"]", 0, '[', ']', npos, "close at depth zero is no match"},
        {"[[]", 0, '[', ']', npos, "unterminated"},
        {R"(["\)", 0, '[', ']', npos, "trailing backslash in a string"},
        {"[]", 2, '[', ']', npos, "open at end of text"},
        {"[]", 99, '[', ']', npos, "open past end of text"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(FindMatchingBracket(r.text, r.open, r.openChar, r.closeChar), r.expected) << r.reason << " | " << r.text;
}

struct Parsed { ReleaseManifest manifest; bool ok; };

Parsed Parse(const std::string& text)
{
    Parsed p{{}, false};
    p.manifest.manifestText = text;
    p.manifest.baseUrl = L"https://initial.example/";
    p.ok = ParseManifestInto(p.manifest);
    return p;
}

TEST(ParseManifestInto, HashesAreReadWhereGivenAndCheckedForTheirShape)
{
    const std::string hash(64, 'a');
    ReleaseManifest m;
    m.manifestText = "{\"packages\": [{\"id\": \"a\", \"file\": \"a.zip\", \"sha256\": \"" + hash +
                     "\"}, {\"id\": \"b\", \"file\": \"b.zip\"}],"
                     " \"skills\": [{\"id\": \"s\", \"sha256\": \"ABC\"}]}";
    ASSERT_TRUE(ParseManifestInto(m));
    EXPECT_EQ(m.packages[0].sha256, hash);
    EXPECT_EQ(m.packages[1].sha256, "") << "no field, no check";
    EXPECT_EQ(m.skills[0].sha256, "ABC") << "read as written; whether it is a hash is decided on use";

    struct Row {
        std::string text;
        bool hash;
        const char* why;
    } rows[] = {
        {std::string(64, 'f'), true, "lower-case hex"},
        {std::string(32, 'A') + std::string(32, '9'), true, "upper case and digits"},
        {std::string(63, 'a'), false, "one digit short"},
        {std::string(65, 'a'), false, "one digit over"},
        {std::string(63, 'a') + "g", false, "not a hex digit"},
        {std::string(63, 'a') + " ", false, "a blank"},
        {"", false, "empty"},
    };
    for (const Row& row : rows) EXPECT_EQ(IsSha256Text(row.text), row.hash) << row.why;
}

TEST(ParseManifestInto, ReadsEveryFieldOfARealisticManifest)
{
    ReleaseManifest m;
    m.manifestText = R"({
  "version": "1.4.2",
  "baseUrl": "https://mirror.example.org/q/",
  "packages": [
    {"id": "node", "file": "node-v22.11.0-x64.msi", "desc": "Node.js", "size": 30000000, "extract": false},
    {"id": "quillmere", "file": "quillmere.zip", "desc": "Quillmere", "size": -1, "extract": true}
  ],
  "skills": [
    {"id": "web", "file": "skills/web.zip", "name": "网页", "desc": "d", "size": 2048, "required": true},
    {"id": "notes", "file": "skills/notes.zip", "desc": "no name"}
  ]
})";
    m.packages.push_back({"stale", "", "", 0, false, true});
    m.skills.push_back({"stale", "", "", "", 0, false, false});

    ASSERT_TRUE(ParseManifestInto(m));
    EXPECT_EQ(m.baseUrl, L"https://mirror.example.org/q/");

    const auto pkg = [](const ManifestPackage& p) { return std::tuple(p.id, p.file, p.desc, p.size, p.extract, p.alreadyPresent); };
    ASSERT_EQ(m.packages.size(), 2u);
    EXPECT_EQ(pkg(m.packages[0]), std::tuple("node"s, "node-v22.11.0-x64.msi"s, "Node.js"s, int64_t{30000000}, false, false));
    EXPECT_EQ(pkg(m.packages[1]), std::tuple("quillmere"s, "quillmere.zip"s, "Quillmere"s, int64_t{-1}, true, false));

    // An empty name is what makes the skills page fall back to the id.
    const auto skill = [](const ManifestSkill& s) { return std::tuple(s.id, s.file, s.name, s.desc, s.size, s.required, s.selected); };
    ASSERT_EQ(m.skills.size(), 2u);
    EXPECT_EQ(skill(m.skills[0]), std::tuple("web"s, "skills/web.zip"s, "\xE7\xBD\x91\xE9\xA1\xB5"s, "d"s, int64_t{2048}, true, true));
    EXPECT_EQ(skill(m.skills[1]), std::tuple("notes"s, "skills/notes.zip"s, ""s, "no name"s, int64_t{0}, false, true));
}

// As an encoder that escapes slashes and everything beyond ASCII writes it; the note names the packages
// array behind an escaped quote, ahead of an array the scanner must not take for it.
TEST(ParseManifestInto, ReadsAManifestWrittenWithEscapes)
{
    ReleaseManifest m;
    m.manifestText = R"({"baseUrl": "https:\/\/mirror.example.org\/q\/",
  "note": "see \"packages", "mirrors": [{"id": "decoy"}],
  "packages": [{"id": "quillmere", "file": "app\/quillmere.zip", "desc": "Quillmere \u4e3b\u7a0b\u5e8f", "extract": true}],
  "skills": [{"id": "web", "file": "skills\/web.zip", "name": "\u7f51\u9875 \"beta\"", "desc": "a\\b\nc"},
             {"id": "emoji", "file": "skills\/emoji.zip", "name": "\ud83d\ude00\ud83d", "desc": "\ud83d\ude00"}]})";
    ASSERT_TRUE(ParseManifestInto(m));
    EXPECT_EQ(m.baseUrl, L"https://mirror.example.org/q/");
    ASSERT_EQ(m.packages.size(), 1u);
    EXPECT_EQ(std::tuple(m.packages[0].id, m.packages[0].file, m.packages[0].desc, m.packages[0].extract),
              std::tuple("quillmere"s, "app/quillmere.zip"s, "Quillmere \xE4\xB8\xBB\xE7\xA8\x8B\xE5\xBA\x8F"s, true));
    const auto skill = [](const ManifestSkill& s) { return std::tuple(s.id, s.file, s.name, s.desc); };
    ASSERT_EQ(m.skills.size(), 2u);
    EXPECT_EQ(skill(m.skills[0]), std::tuple("web"s, "skills/web.zip"s, "\xE7\xBD\x91\xE9\xA1\xB5 \"beta\""s, "a\\b\nc"s));
    // A name with a lone surrogate is read as none, so the skills page shows the id.
    EXPECT_EQ(skill(m.skills[1]), std::tuple("emoji"s, "skills/emoji.zip"s, ""s, "\xF0\x9F\x98\x80"s));
}

struct RejectRow { const char* text; const char* reason; };

TEST(ParseManifestInto, RejectsManifestsWithoutAUsablePackage)
{
    const RejectRow rows[] = {
        {"}", "no packages key; skills alone are not enough"},
        {R"("packages": []})", "empty array"},
        {R"("packages": [{"file": "a.zip"}, {"id": ""}]})", "ids missing or empty"},
        {R"("packages": {"id": "a"}})", "no array after the key"},
        {R"("packages": [{"id": "a"}})", "array never closed"},
        {R"("desc": "packages", "tags": [], "packages": [{"id": "a"}]})", "first occurrence wins, even as a value"},
    };
    for (const auto& r : rows) {
        const Parsed p = Parse(std::string(R"({"skills": [{"id": "web"}], )") + r.text);
        EXPECT_FALSE(p.ok) << r.reason;
        EXPECT_TRUE(p.manifest.packages.empty()) << r.reason;
        EXPECT_EQ(p.manifest.skills.size(), 1u) << r.reason;
    }
    EXPECT_FALSE(Parse("").ok) << "empty text";
}

struct IdsRow { const char* array; std::vector<std::string> ids; const char* reason; };

TEST(ParseManifestInto, CutsTheArrayIntoTopLevelObjects)
{
    const IdsRow rows[] = {
        {R"([{"id": "a"}, {"id": "a"}])", {"a", "a"}, "duplicate ids kept in order"},
        {R"([{"file": "x"}, {"id": "b"}])", {"b"}, "object without id dropped, loop goes on"},
        {R"([{"id": "a", "desc": "}{"}, {"id": "b"}])", {"a", "b"}, "braces inside strings"},
        {R"([{"id": "a", "desc": "]["}, {"id": "b"}])", {"a", "b"}, "brackets inside strings"},
        {R"([{"id": "a\"b", "desc": "\"}"}, {"id": "c"}])", {"a\"b", "c"},
         "escaped quote ends neither the value nor the object"},
        {R"([{"id": "a\q"}, {"id": "b"}])", {"b"}, "an id with an invalid escape counts as missing"},
        {R"([{"meta": {"id": "inner"}, "id": "outer"}])", {"inner"}, "nested object is not an entry; its key comes first"},
        {R"([{"id": "a"}, {"id": "b", {"id": "c"}])", {"a"}, "malformed object ends the loop"},
        {R"([{"id": "a"}], "other": [{"id": "z"}])", {"a"}, "objects after the array ignored"},
    };
    for (const auto& r : rows) {
        const std::string body = std::string("{\"packages\": ") + r.array + ", \"skills\": " + r.array + "}";
        const ReleaseManifest m = Parse(body).manifest;
        std::vector<std::string> packageIds, skillIds;
        for (const auto& p : m.packages) packageIds.push_back(p.id);
        for (const auto& s : m.skills) skillIds.push_back(s.id);
        EXPECT_EQ(packageIds, r.ids) << r.reason;
        EXPECT_EQ(skillIds, r.ids) << r.reason;
    }
}

struct BaseUrlRow { const char* text; const wchar_t* expected; const char* reason; };

TEST(ParseManifestInto, ReplacesBaseUrlOnlyWhenNonEmpty)
{
    const BaseUrlRow rows[] = {
        {R"({"packages": [{"id": "a"}]})", L"https://initial.example/", "absent keeps the built-in URL"},
        {R"({"baseUrl": "", "packages": [{"id": "a"}]})", L"https://initial.example/", "empty keeps the built-in URL"},
        {R"({"baseUrl": "https://cdn.example/x/", "packages": []})", L"https://cdn.example/x/", "replaced even when rejected"},
        {R"({"baseUrl": "https:\/\/cdn.example\/\u7f51\/", "packages": []})", L"https://cdn.example/\u7f51/",
         "escapes decoded before the conversion"},
        {R"({"baseUrl": "https://cdn.example/\x/", "packages": []})", L"https://initial.example/",
         "an invalid escape counts as empty"},
        {R"({"baseUrl": "http://cdn.example/x/", "packages": []})", L"https://initial.example/",
         "plain http is refused: the downloads stay on https"},
        {R"({"baseUrl": "HTTPS://cdn.example/x/", "packages": []})", L"HTTPS://cdn.example/x/", "the scheme in any case"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(Parse(r.text).manifest.baseUrl, r.expected) << r.reason;
    EXPECT_EQ(Parse(R"({"baseUrl": "http://cdn.example/x/"})").manifest.refusedBaseUrl, L"http://cdn.example/x/")
        << "kept for the log";
    EXPECT_EQ(Parse(R"({"baseUrl": "https://cdn.example/x/"})").manifest.refusedBaseUrl, L"");
    // A test build's own server is plain http on this machine; its manifests may point at http too.
    EXPECT_TRUE(IsAcceptedBaseUrl(L"http://127.0.0.1:18431/x/", L"http://127.0.0.1:18431/new/quillmere/update/"));
    EXPECT_TRUE(IsAcceptedBaseUrl(L"http://localhost/x/", L"http://localhost/new/quillmere/update/"));
    EXPECT_FALSE(IsAcceptedBaseUrl(L"http://127.0.0.1/x/", L"http://127.0.0.1.evil.example/new/"));
    EXPECT_FALSE(IsAcceptedBaseUrl(L"ftp://cdn.example/x/", L"http://127.0.0.1:18431/"));
}

TEST(ParseManifestInto, TakesTheVersionOfTheReleaseOnlyFromTheOutermostObject)
{
    const struct { const char* text; const char* expected; const char* reason; } rows[] = {
        {R"({"version": "1.4.2", "packages": [{"id": "a"}]})", "1.4.2", "before the packages"},
        {R"({"packages": [{"id": "a", "version": "9.9"}], "version" : "1.4.2"})", "1.4.2",
         "a package's own version is not the release's, even when it comes first"},
        {R"({"packages": [{"id": "a", "version": "9.9"}]})", "", "none at the top: no version"},
        {R"({"name": "\"version\": \"x\"", "packages": [{"id": "a"}]})", "", "a version inside a string is no key"},
        {R"({"version": "2.0 \u6B63\u5F0F", "packages": [{"id": "a"}]})", "2.0 \xE6\xAD\xA3\xE5\xBC\x8F", "escapes decoded"},
    };
    for (const auto& r : rows) EXPECT_EQ(Parse(r.text).manifest.version, r.expected) << r.reason;
}

TEST(DefaultReleaseManifest, PointsAtTheBuiltInUpdateServer)
{
    ReleaseManifest manifest = DefaultReleaseManifest();
    EXPECT_EQ(manifest.baseUrl, kUpdateBaseUrl);
    ASSERT_GE(manifest.baseUrl.size(), 22u);
    EXPECT_EQ(manifest.baseUrl.substr(manifest.baseUrl.size() - 22), L"/new/quillmere/update/");
    EXPECT_TRUE(manifest.manifestText.empty() && manifest.packages.empty() && manifest.skills.empty());

    manifest.manifestText = R"({"packages": [{"id": "g"}]})";
    EXPECT_TRUE(ParseManifestInto(manifest));
    ASSERT_EQ(manifest.packages.size(), 1u);
    EXPECT_EQ(manifest.packages[0].id, "g");
}

} // namespace
