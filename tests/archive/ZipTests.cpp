#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "archive/Zip.h"
#include "base/Text.h"

namespace fs = std::filesystem;

namespace {

// ---- A small ZIP writer, so each case spells out the bytes it feeds the extractor ----

std::string Le(uint64_t value, int width)
{
    std::string bytes;
    for (int i = 0; i < width; ++i)
        bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return bytes;
}

// Bit by bit, unlike the extractor's tables, so that one cannot confirm the other's mistake.
uint32_t Crc32(const std::string& data)
{
    uint32_t crc = 0xFFFFFFFF;
    for (const char c : data) {
        crc ^= static_cast<uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ ((crc & 1) != 0 ? 0xEDB88320 : 0);
    }
    return ~crc;
}

std::string Hex(const std::string& hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// One final stored block: real DEFLATE without an encoder.
std::string Deflate(const std::string& data)
{
    return "\x01" + Le(data.size(), 2) + Le(~data.size() & 0xFFFF, 2) + data;
}

// zlib's raw streams for 1000 zeros (fixed code) and 100000 zeros (dynamic code).
const std::string kZeros1000 = Hex("63601805a360140c770000");
const std::string kZeros100000 = Hex("edc13101000000c2a0f54f6d0d0fa0") + std::string(96, '\0') + Hex("805703");

enum class Descriptor { None, Signed, Unsigned };

struct ZipEntry {
    std::string name;
    std::string payload;
    uint64_t size = 0;
    uint32_t crc = 0;  // of the content; behind the descriptor flag the local header holds 0
    uint16_t method = 0;
    uint16_t flags = 0;
    std::optional<uint32_t> localCompressed, localUncompressed;
    std::optional<uint32_t> localCrc, descriptorCrc, centralCrc;
    std::string extra;
    Descriptor descriptor = Descriptor::None;
    bool wideDescriptor = false;
};

ZipEntry Stored(const std::string& name, const std::string& content)
{
    ZipEntry e;
    e.name = name;
    e.payload = content;
    e.size = content.size();
    e.crc = Crc32(content);
    return e;
}

ZipEntry Deflated(const std::string& name, const std::string& content, const std::string& stream = "")
{
    ZipEntry e = Stored(name, stream.empty() ? Deflate(content) : stream);
    e.size = content.size();
    e.crc = Crc32(content);
    e.method = 8;
    return e;
}

ZipEntry WithDescriptor(ZipEntry e, Descriptor d)
{
    e.flags |= 8;
    e.descriptor = d;
    return e;
}

// As Java's ZipOutputStream and Go's archive/zip write to a stream: zero sizes, real ones after the data.
ZipEntry Streamed(ZipEntry e, Descriptor d = Descriptor::Signed)
{
    e.localCompressed = e.localUncompressed = 0;
    return WithDescriptor(e, d);
}

std::string Zip64Record(const std::string& fields) { return Le(1, 2) + Le(fields.size(), 2) + fields; }

// Both sizes moved into a ZIP64 record, as Python writes with force_zip64 (zeros when streamed).
ZipEntry Zip64(ZipEntry e, bool streamed = false)
{
    e.localCompressed = e.localUncompressed = 0xFFFFFFFF;
    e.extra += Zip64Record(streamed ? Le(0, 8) + Le(0, 8) : Le(e.size, 8) + Le(e.payload.size(), 8));
    e.wideDescriptor = true;
    return e;
}

struct ArchiveOptions {
    bool central = true;
    bool zip64Central = false;
    std::string comment = {};
};

std::string CentralHeader(const ZipEntry& e, uint64_t offset, bool zip64)
{
    const uint64_t mark = 0xFFFFFFFF;
    const std::string extra = zip64 ? Zip64Record(Le(e.size, 8) + Le(e.payload.size(), 8) + Le(offset, 8)) : "";
    return Le(0x02014b50, 4) + Le(20, 2) + Le(20, 2) + Le(e.flags, 2) + Le(e.method, 2) + Le(0, 4) + Le(e.centralCrc.value_or(e.crc), 4) +
           Le(zip64 ? mark : e.payload.size(), 4) + Le(zip64 ? mark : e.size, 4) + Le(e.name.size(), 2) +
           Le(extra.size(), 2) + Le(0, 2) + Le(0, 8) + Le(zip64 ? mark : offset, 4) + e.name + extra;
}

std::string Archive(const std::vector<ZipEntry>& entries, const ArchiveOptions& options = {})
{
    std::string zip, central;
    for (const ZipEntry& e : entries) {
        central += CentralHeader(e, zip.size(), options.zip64Central);
        const uint32_t localCrc = e.localCrc.value_or((e.flags & 8) != 0 ? 0 : e.crc);
        zip += Le(0x04034b50, 4) + Le(20, 2) + Le(e.flags, 2) + Le(e.method, 2) + Le(0, 4) + Le(localCrc, 4) +
               Le(e.localCompressed.value_or(e.payload.size()), 4) + Le(e.localUncompressed.value_or(e.size), 4) +
               Le(e.name.size(), 2) + Le(e.extra.size(), 2) + e.name + e.extra + e.payload;
        if (e.descriptor == Descriptor::Signed)
            zip += Le(0x08074b50, 4);
        if (e.descriptor != Descriptor::None)
            zip += Le(e.descriptorCrc.value_or(e.crc), 4) + Le(e.payload.size(), e.wideDescriptor ? 8 : 4) + Le(e.size, e.wideDescriptor ? 8 : 4);
    }
    if (!options.central)
        return zip;
    const uint64_t centralOffset = zip.size();
    zip += central;
    if (options.zip64Central) {
        const uint64_t recordOffset = zip.size();
        zip += Le(0x06064b50, 4) + Le(44, 8) + Le(45, 2) + Le(45, 2) + Le(0, 8) + Le(entries.size(), 8) +
               Le(entries.size(), 8) + Le(central.size(), 8) + Le(centralOffset, 8);
        zip += Le(0x07064b50, 4) + Le(0, 4) + Le(recordOffset, 8) + Le(1, 4);
    }
    return zip + Le(0x06054b50, 4) + Le(0, 4) + Le(entries.size(), 2) + Le(entries.size(), 2) + Le(central.size(), 4) +
           Le(options.zip64Central ? 0xFFFFFFFF : centralOffset, 4) + Le(options.comment.size(), 2) + options.comment;
}

// ---- Files on disk ----

// Relative path to content; folders end in "/" and have no content.
using Tree = std::map<std::string, std::string>;

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Utf8(const fs::path& path)
{
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

// The files and folders expected under "out", with every parent folder they imply.
Tree Out(const Tree& files)
{
    Tree tree{{"out/", ""}};
    for (const auto& [name, content] : files) {
        const std::string path = "out/" + name;
        tree[path] = content;
        for (size_t slash = path.find('/'); slash != std::string::npos && slash + 1 < path.size(); slash = path.find('/', slash + 1))
            tree[path.substr(0, slash + 1)] = "";
    }
    return tree;
}

// Failures as one line, so that a wrong problem or order shows in full; EntryFailure has no ==.
std::string Describe(const std::vector<EntryFailure>& failures)
{
    static const char* const names[] = {"CrcMismatch", "InflateFailed", "WriteFailed", "TooLarge", "Encrypted",
                                        "UnsupportedMethod", "UnsafeName", "ArchiveEndsEarly", "NameNotUtf8",
                                        "DuplicateName"};
    std::string text;
    for (const EntryFailure& failure : failures)
        text += failure.name + ": " + names[static_cast<int>(failure.problem)] + "; ";
    return text;
}

struct ArchiveRow {
    std::string archive;
    int written;
    Tree files;
    const char* reason;
    std::vector<EntryFailure> failures = {};
};

class ExtractZipTest : public testing::Test {
protected:
    fs::path root = fs::temp_directory_path() / ("zip-test-" + std::to_string(std::random_device{}()));
    fs::path zip = root / "in.zip";
    fs::path dest = root / "out";

    void SetUp() override { Clear(); }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void Clear()
    {
        fs::remove_all(root);
        fs::create_directories(root);
    }
    ExtractReport Extract(const std::string& archive)
    {
        Clear();
        WriteFile(zip, archive);
        ExtractReport report = ExtractZip(zip.wstring(), dest.wstring());
        // Readable, so an archive whenever its end record is there, and an incomplete one otherwise.
        const size_t end = archive.rfind(std::string("PK\x05\x06", 4));
        const bool ended = end != std::string::npos && end + 22 <= archive.size();
        EXPECT_EQ(static_cast<bool>(report.archive), ended) << WideToUtf8(report.archive.error);
        return report;
    }
    // Everything under the scratch folder but the archive: any escape from "out" shows here.
    Tree Listing() const
    {
        Tree tree;
        for (const auto& item : fs::recursive_directory_iterator(root)) {
            const std::string relative = Utf8(fs::relative(item.path(), root));
            if (item.is_directory())
                tree[relative + "/"] = "";
            else if (item.path() != zip)
                tree[relative] = ReadFile(item.path());
        }
        return tree;
    }
    void CheckRows(const std::vector<ArchiveRow>& rows)
    {
        for (const ArchiveRow& row : rows) {
            const ExtractReport report = Extract(row.archive);
            EXPECT_EQ(report.filesWritten, row.written) << row.reason;
            EXPECT_EQ(Describe(report.failures), Describe(row.failures)) << row.reason;
            EXPECT_EQ(Listing(), Out(row.files)) << row.reason;
        }
    }
};

const std::string kHello = "hello, world\n";
const ZipEntry kNext = Stored("next.txt", "next");
// An end record inside the comment whose own comment would run past the archive.
const std::string kFakeEndRecord = Le(0x06054b50, 4) + std::string(16, '\0') + Le(0xFFFF, 2) + "tail";

using enum EntryProblem;

ZipEntry Flipped(ZipEntry e, size_t at)
{
    e.payload[at] = static_cast<char>(e.payload[at] ^ 0x20);
    return e;
}

// One of the CRCs the archive states for the entry made wrong.
ZipEntry WrongCrc(ZipEntry e, std::optional<uint32_t> ZipEntry::*field)
{
    e.*field = e.crc ^ 1;
    return e;
}

const std::string kProse = "The quick brown fox jumps over the lazy dog.\n";

// ---- Cases ----

TEST_F(ExtractZipTest, WritesEntriesAndReportsTheRest)
{
    ZipEntry encrypted = Stored("secret.txt", "x");
    encrypted.flags |= 1;
    ZipEntry bzip2 = Stored("b.bz2", "BZh");
    bzip2.method = 12;
    ZipEntry corrupt = Deflated("bad.txt", kHello);
    corrupt.payload[0] = '\x07';
    CheckRows({
        {Archive({Stored("a.txt", kHello), Deflated("b.txt", kHello)}), 2, {{"a.txt", kHello}, {"b.txt", kHello}}, "stored and deflated"},
        {Archive({Stored("x/y/z.txt", "deep")}), 1, {{"x/y/z.txt", "deep"}}, "folders made without folder entries"},
        {Archive({Stored("empty.txt", "")}), 1, {{"empty.txt", ""}}, "an empty file still counts"},
        {Archive({Stored("a/", ""), Stored("a/b/", "")}), 0, {{"a/b/", ""}}, "folders are made but do not count"},
        {Archive({encrypted, kNext}), 1, {{"next.txt", "next"}}, "encrypted entry skipped, walk goes on", {{"secret.txt", Encrypted}}},
        {Archive({WithDescriptor(encrypted, Descriptor::Unsigned), kNext}), 1, {{"next.txt", "next"}}, "skipped entry's descriptor stepped over", {{"secret.txt", Encrypted}}},
        {Archive({bzip2, kNext}), 1, {{"next.txt", "next"}}, "unknown method skipped", {{"b.bz2", UnsupportedMethod}}},
        {Archive({corrupt, kNext}), 1, {{"next.txt", "next"}}, "undecodable deflate data leaves no file", {{"bad.txt", InflateFailed}}},
        {Archive({encrypted, bzip2, corrupt}), 0, {}, "nothing written", {{"secret.txt", Encrypted}, {"b.bz2", UnsupportedMethod}, {"bad.txt", InflateFailed}}},
        {Archive({Stored("a.txt", "one"), Stored("a.txt", "two")}), 1, {{"a.txt", "one"}}, "a second entry of one name is refused, never written over the first",
         {{"a.txt", DuplicateName}}},
        {Archive({Stored("a.txt", "x"), Stored("a.txt/b.txt", "y")}), 1, {{"a.txt", "x"}}, "a file in the way of a folder skips the entry", {{"a.txt/b.txt", WriteFailed}}},
        {"PK\x05\x06" + std::string(18, '\0'), 0, {}, "empty archive: only an end record"},
        {Le(0x04034b50, 4) + std::string(25, '\0'), 0, {}, "shorter than one header"},
    });
}

TEST_F(ExtractZipTest, ReportsWhyEachEntryDidNotBecomeAFile)
{
    ZipEntry method99 = Stored("m.bin", kHello);
    method99.method = 99;
    ZipEntry encrypted = Deflated("secret.txt", kHello);
    encrypted.flags |= 1;
    ZipEntry cutStream = Deflated("cut.txt", kHello);
    cutStream.payload.pop_back();
    // The second local header's signature broken; the central directory still lists every entry.
    std::string damaged = Archive({kNext, Stored("b.txt", kHello), Stored("dir/", ""), Stored("__MACOSX/._b.txt", "m"), Deflated("c.txt", kHello)});
    damaged[Archive({kNext}, {.central = false}).size()] = 'X';
    ZipEntry folder = Flipped(Stored("f/", "xx"), 0);
    folder.size = 0;
    ZipEntry unsafeEncrypted = encrypted;
    unsafeEncrypted.name = "../secret.txt";
    const std::string withoutDescriptor = Archive({WithDescriptor(Deflated("a.txt", kProse), Descriptor::Signed)}, {.central = false});
    const Tree next{{"next.txt", "next"}};
    CheckRows({
        {Archive({Flipped(Stored("a.txt", kProse), 10), kNext}), 1, next, "stored data with a flipped byte", {{"a.txt", CrcMismatch}}},
        {Archive({Flipped(Deflated("a.txt", kProse), 10), kNext}), 1, next, "deflated data that decodes to other bytes", {{"a.txt", CrcMismatch}}},
        {Archive({WrongCrc(Stored("a.txt", kProse), &ZipEntry::localCrc), kNext}), 1, next, "local header's CRC", {{"a.txt", CrcMismatch}}},
        {Archive({WrongCrc(Streamed(Deflated("a.txt", kProse)), &ZipEntry::descriptorCrc), kNext}), 1, next, "streamed: the descriptor's CRC", {{"a.txt", CrcMismatch}}},
        {Archive({WrongCrc(Streamed(Deflated("a.txt", kProse), Descriptor::Unsigned), &ZipEntry::descriptorCrc), kNext}), 1, next, "unsigned descriptor's CRC", {{"a.txt", CrcMismatch}}},
        {Archive({WrongCrc(Streamed(Deflated("a.txt", kProse)), &ZipEntry::centralCrc), kNext}), 1, next, "streamed: the central directory's CRC", {{"a.txt", CrcMismatch}}},
        {Archive({WrongCrc(WithDescriptor(Deflated("a.txt", kProse), Descriptor::Signed), &ZipEntry::descriptorCrc), kNext}, {.central = false}), 1, next,
         "no central directory: the descriptor's CRC alone", {{"a.txt", CrcMismatch}}},
        {Archive({WrongCrc(Zip64(Streamed(Deflated("a.txt", kProse)), true), &ZipEntry::descriptorCrc), kNext}), 1, next, "ZIP64 descriptor's CRC", {{"a.txt", CrcMismatch}}},
        {Archive({cutStream, kNext}), 1, next, "deflate stream ends before its last block", {{"cut.txt", InflateFailed}}},
        {Archive({method99, kNext}), 1, next, "method 99", {{"m.bin", UnsupportedMethod}}},
        {Archive({encrypted, kNext}), 1, next, "flag bit 0 on a deflated entry", {{"secret.txt", Encrypted}}},
        {Archive({Stored("launcher.exe.", "x"), kNext}), 1, next, "Windows would write launcher.exe", {{"launcher.exe.", UnsafeName}}},
        {Archive({Stored("package.json ", "x"), kNext}), 1, next, "Windows would write package.json", {{"package.json ", UnsafeName}}},
        {Archive({Stored("a./b", "x"), kNext}), 1, next, "folder part ending in a dot", {{"a./b", UnsafeName}}},
        {Archive({Stored("a /b", "x"), kNext}), 1, next, "folder part ending in a space", {{"a /b", UnsafeName}}},
        {Archive({unsafeEncrypted, kNext}), 1, next, "the name is judged first", {{"../secret.txt", UnsafeName}}},
        {Archive({Stored("", "x"), Stored(".", "x"), kNext}), 1, next, "no name to write to", {{"", UnsafeName}, {".", UnsafeName}}},
        {Archive({Stored("\xb0\xa1.txt", "a"), Stored("\xb0\xa2.txt", "b"), kNext}), 1, next,
         "GBK names without the UTF-8 flag: both would read as one garbled name", {{"\xb0\xa1.txt", NameNotUtf8}, {"\xb0\xa2.txt", NameNotUtf8}}},
        {Archive({Stored("Readme.txt", "first"), Stored("README.TXT", "second"), kNext}), 2, {{"Readme.txt", "first"}, {"next.txt", "next"}},
         "one file for Windows: the first stays", {{"README.TXT", DuplicateName}}},
        {Archive({Stored("Dir/Ä.txt", "first"), Stored("dir\\./ä.txt", "second"), kNext}), 2, {{"Dir/Ä.txt", "first"}, {"next.txt", "next"}},
         "case beyond ASCII, a backslash and a dot part", {{"dir\\./ä.txt", DuplicateName}}},
        {Archive({Stored("a/b./", ""), folder, Flipped(Stored("__MACOSX/._a.txt", kProse), 3), kNext}), 1, {{"f/", ""}, {"next.txt", "next"}},
         "folders and macOS metadata are never failures, whatever they hold"},
        {withoutDescriptor.substr(0, withoutDescriptor.size() - 1), 0, {}, "no central directory and the descriptor cut off: nothing to check against",
         {{"a.txt", ArchiveEndsEarly}}},
        {damaged, 1, next, "a damaged local header: the central directory names what lies behind it",
         {{"b.txt", ArchiveEndsEarly}, {"c.txt", ArchiveEndsEarly}}},
    });
}

TEST_F(ExtractZipTest, NamesStayInsideTheDestination)
{
    struct Row {
        std::string name;
        const char* kept;
        const char* reason;
    };
    const std::string outside = Utf8(root / "escaped.txt");
    const std::vector<Row> rows = {
        {"../escaped.txt", nullptr, "parent of the destination"},
        {"..\\escaped.txt", nullptr, "parent with a backslash"},
        {"a/../../escaped.txt", nullptr, "climbs out after a folder"},
        {"a\\..\\..\\escaped.txt", nullptr, "climbs out with backslashes"},
        {"a/..\\../escaped.txt", nullptr, "mixed separators"},
        {"a/.. /escaped.txt", nullptr, "Windows drops trailing spaces, so this climbs too"},
        {"a/... /escaped.txt", nullptr, "and trailing dots"},
        {"a/../b.txt", nullptr, "any parent reference is refused, even one that stays inside"},
        {outside, nullptr, "absolute path"},
        {"/escaped.txt", nullptr, "rooted name"},
        {"\\escaped.txt", nullptr, "rooted with a backslash"},
        {"C:\\escaped.txt", nullptr, "drive and root"},
        {"C:escaped.txt", nullptr, "drive-relative"},
        {"\\\\server\\share\\escaped.txt", nullptr, "UNC path"},
        {"//server/share/escaped.txt", nullptr, "UNC with forward slashes"},
        {"a.txt:stream", nullptr, "alternate data stream"},
        {"../", nullptr, "folder entry outside"},
        {"CON", nullptr, "console device"},
        {"dir/aux.txt", nullptr, "device name with an extension"},
        {"Lpt1 .log", nullptr, "device name, any case, trailing space"},
        {std::string("a\0b.txt", 7), nullptr, "embedded NUL would cut the path short"},
        {"__MACOSX/._a.txt", nullptr, "macOS metadata folder"},
        {"a/__MACOSX/b/", nullptr, "nested macOS metadata folder entry"},
        {"my__MACOSX.txt", "my__MACOSX.txt", "only a folder named __MACOSX is metadata"},
        {"..b/c..txt", "..b/c..txt", "dots inside names are fine"},
        {"./d/./e.txt", "d/e.txt", "current-folder parts dropped"},
        {"f//g.txt", "f/g.txt", "empty parts dropped"},
        {"w\\x\\y.txt", "w/x/y.txt", "backslashes separate folders"},
        {"console.txt", "console.txt", "device names only when whole"},
        {"COM10", "COM10", "COM ports end at 9"},
        {"\xE4\xB8\xAD\xE6\x96\x87/\xE6\x96\x87\xE4\xBB\xB6.txt", "\xE4\xB8\xAD\xE6\x96\x87/\xE6\x96\x87\xE4\xBB\xB6.txt", "UTF-8 Chinese"},
        {"h/", "h/", "folder entry"},
    };
    for (const Row& row : rows) {
        Tree expected{{"ok.txt", "ok"}};
        if (row.kept)
            expected[row.kept] = std::string(row.kept).back() == '/' ? "" : "x";
        const bool folder = row.name.back() == '/';
        const bool reported = !row.kept && !folder && !row.name.starts_with("__MACOSX/");
        const ExtractReport report = Extract(Archive({Stored(row.name, "x"), Stored("ok.txt", "ok")}));
        EXPECT_EQ(report.filesWritten, row.kept && !folder ? 2 : 1) << row.reason;
        EXPECT_EQ(Describe(report.failures), Describe(reported ? std::vector<EntryFailure>{{row.name, UnsafeName}} : std::vector<EntryFailure>{})) << row.reason;
        EXPECT_EQ(Listing(), Out(expected)) << row.reason;
    }
}

TEST_F(ExtractZipTest, DescriptorsZip64AndStreamedEntries)
{
    const std::string big(100000, '\0');
    ZipEntry onlyCompressed = Stored("c.txt", kHello);
    onlyCompressed.localCompressed = 0xFFFFFFFF;
    onlyCompressed.extra = Zip64Record(Le(kHello.size(), 8));
    ZipEntry shortRecord = Zip64(Stored("s.txt", kHello));
    shortRecord.extra = Zip64Record(Le(kHello.size(), 8));
    ZipEntry afterOther = Zip64(Deflated("o.txt", kHello));
    afterOther.extra = Le(0x5455, 2) + Le(5, 2) + "\x01" "abcd" + afterOther.extra;
    ZipEntry infoZip = Streamed(Deflated("d.txt", kHello));
    infoZip.localUncompressed.reset();
    // Info-ZIP into a pipe, stored and encrypted: the local size leaves out the 12-byte encryption header.
    ZipEntry encryptedShort = WithDescriptor(Stored("secret.txt", std::string(12, '\x5A') + "x"), Descriptor::Signed);
    encryptedShort.flags |= 1;
    encryptedShort.localCompressed = encryptedShort.localUncompressed = 1;
    const Tree both{{"d.txt", kHello}, {"next.txt", "next"}};
    CheckRows({
        {Archive({WithDescriptor(Deflated("d.txt", kHello), Descriptor::Signed), kNext}), 2, both, "descriptor with signature"},
        {Archive({WithDescriptor(Deflated("d.txt", kHello), Descriptor::Unsigned), kNext}), 2, both, "descriptor without signature"},
        {Archive({WithDescriptor(Zip64(Deflated("d.txt", kHello)), Descriptor::Signed), kNext}), 2, both, "ZIP64 descriptor has 8-byte sizes"},
        {Archive({WithDescriptor(Zip64(Deflated("d.txt", kHello)), Descriptor::Unsigned), kNext}), 2, both, "unsigned ZIP64 descriptor"},
        {Archive({Zip64(Stored("z.txt", kHello)), kNext}), 2, {{"z.txt", kHello}, {"next.txt", "next"}}, "both sizes in the ZIP64 record"},
        {Archive({onlyCompressed, kNext}), 2, {{"c.txt", kHello}, {"next.txt", "next"}}, "record holds only the size marked"},
        {Archive({afterOther, kNext}), 2, {{"o.txt", kHello}, {"next.txt", "next"}}, "other extra records stepped over"},
        {Archive({kNext, shortRecord, Stored("late.txt", "x")}), 1, {{"next.txt", "next"}}, "record too short: size unknown, walk ends",
         {{"s.txt", ArchiveEndsEarly}, {"late.txt", ArchiveEndsEarly}}},
        {Archive({Streamed(Stored("d.txt", kHello)), kNext}), 2, both, "streamed stored entry"},
        {Archive({Streamed(Deflated("d.txt", kHello), Descriptor::Unsigned), kNext}), 2, both, "streamed, descriptor without signature"},
        {Archive({infoZip, kNext}), 2, both, "Info-ZIP into a pipe fills in only the uncompressed size"},
        {Archive({Streamed(Deflated("big.bin", big, kZeros100000)), kNext}), 2, {{"big.bin", big}, {"next.txt", "next"}}, "streamed output beyond the zero-size guess"},
        {Archive({Zip64(Streamed(Deflated("d.txt", kHello)), true), kNext}), 2, both, "streamed ZIP64 as Python writes it"},
        {Archive({Streamed(Deflated("d.txt", kHello)), kNext}, {.zip64Central = true}), 2, both, "sizes and offset in ZIP64 central records"},
        {Archive({Streamed(Deflated("d.txt", kHello)), kNext}, {.comment = kFakeEndRecord}), 2, both, "archive comment mimicking an end record"},
        {Archive({Streamed(Stored("e.txt", "")), Streamed(Deflated("f/", "")), kNext}), 2, {{"e.txt", ""}, {"f/", ""}, {"next.txt", "next"}}, "streamed empty file and folder"},
        {Archive({kNext, Streamed(Stored("d.txt", kHello))}, {.central = false}), 1, {{"next.txt", "next"}}, "no central directory: streamed entry not guessed at",
         {{"d.txt", EntryProblem::ArchiveEndsEarly}}},
        {Archive({encryptedShort, kNext}), 1, {{"next.txt", "next"}}, "descriptor flag: the central directory's size beats a short local one", {{"secret.txt", Encrypted}}},
        {Archive({WithDescriptor(Deflated("d.txt", kHello), Descriptor::Signed), kNext}, {.central = false}), 2, both, "no central directory: a descriptor entry's own sizes serve"},
    });
}

TEST_F(ExtractZipTest, DeflateOutputLimits)
{
    const auto declared = [](ZipEntry e, uint32_t size) {
        e.localUncompressed = size;
        return e;
    };
    const uint32_t limit = 268435456;
    ZipEntry huge64 = Zip64(Deflated("h.txt", kHello));
    huge64.extra = Zip64Record(Le(5ull << 30, 8) + Le(huge64.payload.size(), 8));
    CheckRows({
        {Archive({declared(Deflated("z.bin", std::string(1000, '\0'), kZeros1000), 0)}), 1, {{"z.bin", std::string(1000, '\0')}}, "size 0: room of four times the data plus 1024"},
        {Archive({declared(Deflated("z.bin", std::string(100000, '\0'), kZeros100000), 0), kNext}), 1, {{"next.txt", "next"}}, "size 0 and more output than that room",
         {{"z.bin", InflateFailed}}},
        {Archive({declared(Deflated("a.txt", kHello), 5), kNext}), 1, {{"next.txt", "next"}}, "declared size smaller than the output", {{"a.txt", InflateFailed}}},
        {Archive({declared(Deflated("a.txt", kHello), limit)}), 1, {{"a.txt", kHello}}, "declared 256 MiB is allowed"},
        {Archive({declared(Deflated("a.txt", kHello), limit + 1), kNext}), 1, {{"next.txt", "next"}}, "declared past 256 MiB is refused", {{"a.txt", TooLarge}}},
        {Archive({huge64, kNext}), 1, {{"next.txt", "next"}}, "ZIP64 size past the 32-bit range", {{"h.txt", TooLarge}}},
    });
}

TEST_F(ExtractZipTest, TruncatedArchiveNeverLeavesHalfFiles)
{
    const std::string full = Archive({Stored("a.txt", kHello), Deflated("b/c.txt", kHello + kHello),
                                      Streamed(Deflated("d.txt", kHello)), Stored("e.txt", kHello)});
    ASSERT_EQ(Extract(full).filesWritten, 4);
    const Tree complete = Listing();
    size_t previous = 0;
    for (size_t length = 0; length < full.size(); ++length) {
        const ExtractReport report = Extract(full.substr(0, length));
        const Tree got = Listing();
        size_t files = 0;
        for (const auto& [path, content] : got) {
            ASSERT_TRUE(complete.count(path)) << length << ": unexpected " << path;
            EXPECT_EQ(content, complete.at(path)) << length << ": " << path;
            files += path.back() != '/';
        }
        EXPECT_EQ(report.filesWritten, static_cast<int>(files)) << length;
        EXPECT_FALSE(report.archive) << length << ": an archive without its end record is incomplete";
        EXPECT_EQ(report.archive.error, L"压缩包不完整") << length;
        for (const EntryFailure& failure : report.failures)
            EXPECT_EQ(failure.problem, EntryProblem::ArchiveEndsEarly) << length << ": only the entry cut in two is named";
        EXPECT_GE(files, previous) << length << ": a longer prefix lost a file";
        EXPECT_TRUE(got.count("out/")) << length << ": destination made once the archive was read";
        previous = files;
    }
    EXPECT_EQ(previous, 2u) << "every cut loses the end record, so the streamed entry is unreachable";
}

TEST_F(ExtractZipTest, RefusesUnreadableOrOversizeArchiveBeforeTouchingTheDestination)
{
    const auto refused = [&](const fs::path& archive) {
        const ExtractReport report = ExtractZip(archive.wstring(), dest.wstring());
        return !report.archive && report.archive.error == L"无法读取压缩包" && report.filesWritten == 0 && report.failures.empty();
    };
    EXPECT_TRUE(refused(root / "missing.zip"));
    EXPECT_FALSE(fs::exists(dest)) << "missing archive";
    EXPECT_TRUE(refused(root));
    EXPECT_FALSE(fs::exists(dest)) << "a folder is no archive";

    WriteFile(zip, Archive({Stored("a.txt", kHello)}));
    fs::resize_file(zip, 1073741825);
    EXPECT_TRUE(refused(zip));
    EXPECT_FALSE(fs::exists(dest)) << "one byte over 1 GiB";
}

TEST_F(ExtractZipTest, OverwritesExistingFilesButKeepsThemWhenAnEntryFails)
{
    fs::create_directories(dest / "sub");
    WriteFile(dest / "a.txt", "an older and much longer text");
    WriteFile(dest / "keep.txt", "kept");
    ZipEntry corrupt = Deflated("keep.txt", kHello);
    corrupt.payload[0] = '\x07';
    WriteFile(zip, Archive({Stored("a.txt", "new"), corrupt, Stored("sub", "file over folder")}));
    for (int run = 0; run < 2; ++run) {
        const ExtractReport report = ExtractZip(zip.wstring(), dest.wstring());
        EXPECT_EQ(report.filesWritten, 1) << run;
        EXPECT_EQ(Describe(report.failures), Describe({{"keep.txt", InflateFailed}, {"sub", WriteFailed}})) << run;
        EXPECT_EQ(Listing(), Out({{"a.txt", "new"}, {"keep.txt", "kept"}, {"sub/", ""}})) << run;
    }
}

TEST_F(ExtractZipTest, DestinationSpellings)
{
    const wchar_t kSeparator = static_cast<wchar_t>(fs::path::preferred_separator);
    WriteFile(zip, Archive({Stored("a/b.txt", kHello)}));
    EXPECT_EQ(ExtractZip(zip.wstring(), dest.wstring() + kSeparator).filesWritten, 1);
    EXPECT_EQ(ReadFile(dest / "a" / "b.txt"), kHello) << "trailing separator";
    const fs::path chinese = root / u8"\u5b89\u88c5" / "deep";
    EXPECT_EQ(ExtractZip(zip.wstring(), root.wstring() + kSeparator + L"\u5b89\u88c5" + kSeparator + L"deep").filesWritten, 1);
    EXPECT_EQ(ReadFile(chinese / "a" / "b.txt"), kHello) << "Chinese destination with missing parents";
}

TEST_F(ExtractZipTest, CreateDirectoryTree)
{
    WriteFile(root / "file", "x");
    struct Row {
        fs::path path;
        bool result;
        const char* reason;
    } rows[] = {
        {root / "a" / "b" / "c", true, "missing parents made"},
        {root / "a" / "b", true, "existing folder"},
        {root / "file", true, "a plain file by that name counts"},
        {root / "file" / "sub", false, "parent is a file"},
        {root / "t" / "", true, "trailing separator"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(CreateDirectoryTree(row.path.wstring()), row.result) << row.reason;
        EXPECT_EQ(fs::exists(row.path), row.result) << row.reason;
    }
    EXPECT_TRUE(CreateDirectoryTree(L""));
    EXPECT_TRUE(fs::is_regular_file(root / "file"));
}

// A download with a hole: everything from the cut to the central directory lost (zeros), the directory intact.
TEST_F(ExtractZipTest, TheCentralDirectoryNamesWhatTheWalkNeverReached)
{
    std::string big;
    for (int line = 0; big.size() < 2000; ++line)
        big += "line " + std::to_string(line) + "\n";
    const std::vector<ZipEntry> entries = {
        Stored("a.txt", kHello),
        Stored("dir/", ""),
        Deflated("b/c.txt", kHello + kHello),
        Stored("__MACOSX/b/._c.txt", "meta"),
        Streamed(Deflated("d.txt", kHello)),
        Stored("big.txt", big),
        Stored("e.txt", kHello),
    };
    const std::vector<std::string> contents = {kHello, "", kHello + kHello, "meta", kHello, big, kHello};
    const std::string full = Archive(entries);
    std::vector<size_t> offsets;  // of each local header, then of the central directory
    for (size_t i = 0; i <= entries.size(); ++i)
        offsets.push_back(Archive({entries.begin(), entries.begin() + static_cast<ptrdiff_t>(i)}, {.central = false}).size());
    const size_t middle = full.size() * 55 / 100;
    ASSERT_GT(middle, offsets[5] + 30 + 7);
    ASSERT_LT(middle, offsets[6]) << "55 % lands in big.txt's data, which then fails its CRC";

    std::vector<size_t> cuts = offsets;
    cuts.push_back(middle);
    for (const size_t cut : cuts) {
        std::string damaged = full;
        std::fill(damaged.begin() + static_cast<ptrdiff_t>(cut), damaged.begin() + static_cast<ptrdiff_t>(offsets.back()), '\0');
        int written = 0;
        Tree files;
        std::vector<EntryFailure> failures;
        for (size_t i = 0; i < entries.size(); ++i) {
            const std::string& name = entries[i].name;
            const bool counts = name.back() != '/' && !name.starts_with("__MACOSX/");
            if (offsets[i + 1] <= cut && name.back() == '/')
                files[name] = "";
            else if (offsets[i + 1] <= cut && counts)
                files[name] = contents[i], ++written;
            else if (counts)
                failures.push_back({name, offsets[i] < cut ? CrcMismatch : ArchiveEndsEarly});
        }
        const ExtractReport report = Extract(damaged);
        EXPECT_EQ(report.filesWritten, written) << "cut at " << cut;
        EXPECT_EQ(Describe(report.failures), Describe(failures)) << "cut at " << cut;
        EXPECT_EQ(Listing(), Out(files)) << "cut at " << cut;
    }
}

// Enough files for every thread to take several, with failures spread among them: the report keeps the
// archive's order and only the good entries leave files.
TEST_F(ExtractZipTest, ManyEntriesOnSeveralThreadsReportInArchiveOrder)
{
    const int threads = static_cast<int>(std::min(std::max(1u, std::thread::hardware_concurrency()), 8u));
    const std::string zeros(100000, '\0');
    std::vector<ZipEntry> entries = {Stored("empty/", "")};
    Tree files = {{"empty/", ""}};
    for (int i = 1; i <= 48; ++i) {
        const std::string name = "d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".txt";
        const std::string content = i % 2 == 0 ? zeros : kProse + std::to_string(i);
        entries.push_back(i % 2 == 0 ? Deflated(name, zeros, kZeros100000) : Stored(name, content));
        files[name] = content;
    }
    std::vector<EntryFailure> failures;
    const auto fail = [&](size_t i, ZipEntry e, EntryProblem problem) {
        files.erase(entries[i].name);
        failures.push_back({e.name, problem});
        entries[i] = std::move(e);
    };
    fail(3, WrongCrc(entries[3], &ZipEntry::localCrc), CrcMismatch);
    ZipEntry corrupt = entries[10];
    corrupt.payload[0] = '\x07';
    fail(10, corrupt, InflateFailed);
    ZipEntry encrypted = entries[17];
    encrypted.flags |= 1;
    fail(17, encrypted, Encrypted);
    fail(24, WrongCrc(entries[24], &ZipEntry::localCrc), CrcMismatch);
    fail(33, Stored("../escaped.txt", "x"), UnsafeName);
    ZipEntry method99 = entries[46];
    method99.method = 99;
    fail(46, method99, UnsupportedMethod);

    ExtractReport report = Extract(Archive(entries));
    EXPECT_EQ(report.threads, threads);
    EXPECT_EQ(report.filesWritten, 42);
    EXPECT_EQ(Describe(report.failures), Describe(failures));
    EXPECT_EQ(Listing(), Out(files));

    // Paths that meet keep their order, although the earlier entry of each pair takes far longer to check.
    const std::string big(1 << 20, 'b');
    entries.push_back(Stored("z/f", big));
    files["z/f"] = big;
    entries.push_back(Stored("z/f/x.txt", "x"));
    failures.push_back({"z/f/x.txt", WriteFailed});
    entries.push_back(Stored("z/g", big));
    entries.push_back(Stored("Z/G", "later"));
    files["z/g"] = big;
    failures.push_back({"Z/G", DuplicateName});
    report = Extract(Archive(entries));
    EXPECT_EQ(report.threads, threads);
    EXPECT_EQ(report.filesWritten, 44);
    EXPECT_EQ(Describe(report.failures), Describe(failures)) << "a file in the way of a folder, a name taken";
    EXPECT_EQ(Listing(), Out(files)) << "the earlier entry stays";
}

// The CRC is checked before the file is opened: a damaged entry writes nothing, not even over an older file.
TEST_F(ExtractZipTest, ACorruptEntryLeavesNoFileAndKeepsAnOlderOne)
{
    const struct {
        ZipEntry entry;
        const char* reason;
    } rows[] = {
        {Flipped(Stored("a.txt", kProse), 5), "stored"},
        {Flipped(Deflated("a.txt", kProse), 8), "deflated"},
        {WrongCrc(Streamed(Deflated("a.txt", kProse)), &ZipEntry::descriptorCrc), "streamed, the descriptor's CRC"},
    };
    for (const auto& row : rows) {
        for (const bool older : {false, true}) {
            Clear();
            fs::create_directories(dest);
            Tree expected{{"next.txt", "next"}};
            if (older) {
                WriteFile(dest / "a.txt", "older and good");
                expected["a.txt"] = "older and good";
            }
            WriteFile(zip, Archive({row.entry, kNext}));
            const ExtractReport report = ExtractZip(zip.wstring(), dest.wstring());
            EXPECT_EQ(report.filesWritten, 1) << row.reason;
            EXPECT_EQ(Describe(report.failures), Describe({{"a.txt", CrcMismatch}})) << row.reason;
            EXPECT_EQ(Listing(), Out(expected)) << row.reason << (older ? ", over an older file" : "");
        }
    }
}

TEST(EntryProblemText, ShortChineseReasons)
{
    const std::pair<EntryProblem, const wchar_t*> rows[] = {
        {CrcMismatch, L"CRC 校验失败"}, {InflateFailed, L"数据损坏"},     {WriteFailed, L"写入失败"},
        {TooLarge, L"文件过大"},        {Encrypted, L"已加密"},           {UnsupportedMethod, L"不支持的压缩方法"},
        {UnsafeName, L"文件名不安全"},  {ArchiveEndsEarly, L"压缩包不完整"}, {NameNotUtf8, L"文件名不是有效的 UTF-8"},
        {DuplicateName, L"与另一文件同名"},
    };
    for (const auto& [problem, text] : rows)
        EXPECT_EQ(EntryProblemText(problem), text) << static_cast<int>(problem);
}

} // namespace
