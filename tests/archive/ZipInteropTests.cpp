// Archives made by the tools a release may be packed with must extract to the very tree they hold,
// and to the tree Info-ZIP's unzip makes of the same archive.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "archive/Zip.h"
#include "base/Text.h"

namespace fs = std::filesystem;

namespace {

// Packs the tree named by argv[1] into stdout; "stream" keeps stdout a pipe, "zip64" forces ZIP64 records.
const char kPythonPacker[] = R"(import os, sys, zipfile
src, mode = sys.argv[1], sys.argv[2:]
out = sys.stdout.buffer if 'stream' in mode else open('t.zip', 'wb')
with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:
    for top, dirs, files in sorted(os.walk(src)):
        rel = os.path.relpath(top, src)
        if rel != '.':
            z.writestr(zipfile.ZipInfo(rel + '/'), b'')
        for name in sorted(files):
            with open(os.path.join(top, name), 'rb') as f, z.open(os.path.normpath(os.path.join(rel, name)), 'w', force_zip64='zip64' in mode) as w:
                w.write(f.read())
)";

// Prints, in archive order, where each entry's data ends and its name, as Python's own reader finds them.
const char kEntryLister[] = R"(import struct, sys, zipfile
data = open(sys.argv[1], 'rb').read()
for i in sorted(zipfile.ZipFile(sys.argv[1]).infolist(), key=lambda i: i.header_offset):
    n, m = struct.unpack_from('<HH', data, i.header_offset + 26)
    name = i.filename if i.flag_bits & 0x800 else i.orig_filename.encode('cp437').decode('utf-8')
    print(i.header_offset + 30 + n + m + i.compress_size, name)
)";

// Relative path to content; folders hold "<dir>".
using Tree = std::map<std::string, std::string>;

void WriteFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Tree Listing(const fs::path& dir)
{
    Tree tree;
    if (!fs::exists(dir))
        return tree;
    for (const auto& item : fs::recursive_directory_iterator(dir)) {
        const std::u8string relative = fs::relative(item.path(), dir).generic_u8string();
        tree[std::string(relative.begin(), relative.end())] = item.is_directory() ? "<dir>" : ReadFile(item.path());
    }
    return tree;
}

Tree FilesOnly(Tree tree)
{
    std::erase_if(tree, [](const auto& item) { return item.second == "<dir>"; });
    return tree;
}

// Failures as one line, in order.
std::string Describe(const std::vector<EntryFailure>& failures)
{
    std::string text;
    for (const EntryFailure& failure : failures)
        text += failure.name + ": " + WideToUtf8(EntryProblemText(failure.problem)) + "; ";
    return text;
}

// Paths whose content differs or that only one side has; whole trees hold megabytes.
std::string Differences(const Tree& got, const Tree& expected)
{
    std::string paths;
    for (const auto& [path, content] : got)
        if (!expected.count(path) || expected.at(path) != content)
            paths += " " + path;
    for (const auto& [path, content] : expected)
        if (!got.count(path))
            paths += " missing:" + path;
    return paths;
}

// Words and line breaks: compressible enough that every encoder emits dynamic blocks full of matches.
std::string Prose(size_t size)
{
    static const char* const words[] = {"agent", "gateway", "skill", "node", "archive", "the", "of", "and",
                                        "\xE5\xAE\x89\xE8\xA3\x85", "\xE9\x85\x8D\xE7\xBD\xAE", "module", "exports"};
    std::mt19937 random(11);
    std::string text;
    while (text.size() < size)
        text += std::string(words[random() % std::size(words)]) + (random() % 9 == 0 ? "\n" : " ");
    return text;
}

struct EntryEnd {
    uint64_t dataEnd;
    std::string name;
};

class ZipInteropTest : public testing::Test {
protected:
    fs::path root = fs::temp_directory_path() / ("zip-interop-" + std::to_string(std::random_device{}()));
    fs::path zip = root / "t.zip";
    fs::path out = root / "out";

    void SetUp() override
    {
        const fs::path src = root / "src";
        fs::create_directories(src / "bin");
        fs::create_directories(src / "empty-dir");
        fs::create_directories(src / "a" / "b" / "c");
        fs::create_directories(src / u8"\u6df1" / u8"\u5c42");
        std::mt19937 random(7);
        std::string noise(70000, '\0');
        for (char& c : noise)
            c = static_cast<char>(random());
        WriteFile(src / "bin" / "noise.bin", noise);
        WriteFile(src / "bin" / "zeros.bin", std::string(300000, '\0'));
        WriteFile(src / "readme.txt", "hello\n");
        WriteFile(src / "prose.txt", Prose(200000));
        WriteFile(src / "empty.txt", "");
        WriteFile(src / "a" / "b" / "c" / "d.txt", "deep\n");
        WriteFile(src / u8"\u6df1" / u8"\u5c42" / u8"\u6587\u4ef6.txt", "\xE4\xB8\xAD\xE6\x96\x87\n");

        // Sorts before everything in src, so archivers that keep names in order still put it first. Stored
        // encrypted, its ciphertext would be written as it stands were the flag ignored.
        fs::create_directories(root / "secret");
        WriteFile(root / "secret" / "0-secret.txt", Prose(5000));

        fs::create_directories(root / "dirs" / "x" / "y" / "z");
        fs::create_directories(root / "dirs" / u8"\u7a7a" / u8"\u5b50");
        fs::create_directories(root / "dirs" / "e");

        WriteFile(root / "pack.py", kPythonPacker);
        WriteFile(root / "entries.py", kEntryLister);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // Runs in the scratch folder with UTF-8 names; the command must not contain single quotes.
    int Run(const std::string& command) const
    {
        const std::string line = "cd '" + root.string() + "' && LC_ALL=C.UTF-8 sh -c '" + command + "'";
        return std::system(line.c_str());
    }
    void Pack(const char* command)
    {
        fs::remove(zip);
        ASSERT_EQ(Run(command), 0) << command;
    }
    // complete: the archive still ends with its end record, so it reads as a whole archive.
    ExtractReport Extract(const fs::path& archive, bool complete = true)
    {
        fs::remove_all(out);
        ExtractReport report = ExtractZip(archive.wstring(), out.wstring());
        EXPECT_EQ(static_cast<bool>(report.archive), complete) << WideToUtf8(report.archive.error);
        return report;
    }
    // Without a password unzip skips encrypted entries, as the extractor does; it then exits non-zero.
    Tree Unzipped(bool encrypted = false) const
    {
        const fs::path ref = root / "ref";
        fs::remove_all(ref);
        const int status = Run("unzip -q t.zip -d ref </dev/null >/dev/null 2>&1");
        if (!encrypted) {
            EXPECT_EQ(status, 0) << "unzip failed";
        }
        return Listing(ref);
    }
    std::vector<EntryEnd> EntryEnds() const
    {
        EXPECT_EQ(Run("python3 entries.py t.zip >entries.txt"), 0);
        std::vector<EntryEnd> entries;
        std::istringstream lines(ReadFile(root / "entries.txt"));
        EntryEnd entry;
        while (lines >> entry.dataEnd && lines.get() && std::getline(lines, entry.name))
            entries.push_back(entry);
        return entries;
    }
};

TEST_F(ZipInteropTest, ToolArchivesExtractToTheSameTreeAsUnzip)
{
    struct Row {
        const char* command;
        const char* reason;
    } rows[] = {
        {"cd src && zip -qr ../t.zip .", "Info-ZIP, deflated"},
        {"cd src && zip -qr0 ../t.zip .", "Info-ZIP, stored"},
        {"cd src && zip -qr - . | cat > ../t.zip", "Info-ZIP into a pipe: streamed entries"},
        {"cd src && zip -qr -fd ../t.zip .", "Info-ZIP with forced data descriptors"},
        {"cd src && 7z a -tzip ../t.zip . >/dev/null", "7-Zip, deflated (its own encoder; stores what does not shrink)"},
        {"cd src && 7z a -tzip -mx0 ../t.zip . >/dev/null", "7-Zip, stored"},
        {"cd src && 7z a -tzip -mx9 ../t.zip . >/dev/null", "7-Zip, deflated with many passes"},
        {"cd src && 7z a -tzip -mcu=on ../t.zip . >/dev/null", "7-Zip, UTF-8 names always flagged"},
        {"cd src && 7z a -tzip -so . 2>/dev/null | cat > ../t.zip", "7-Zip into a pipe: streamed, all deflated"},
        {"bsdtar --format zip -cf t.zip -C src .", "libarchive, names start with ./"},
        {"bsdtar --format zip -cf - -C src . | cat > t.zip", "libarchive into a pipe"},
        {"bsdtar --format zip --options zip:compression=store -cf - -C src . | cat > t.zip", "libarchive stored into a pipe"},
        {"python3 pack.py src", "Python zipfile"},
        {"python3 pack.py src stream | cat > t.zip", "Python zipfile into a pipe"},
        {"python3 pack.py src stream zip64 | cat > t.zip", "Python zipfile into a pipe with ZIP64 records"},
    };
    const Tree expected = Listing(root / "src");
    for (const Row& row : rows) {
        Pack(row.command);
        const ExtractReport report = Extract(zip);
        EXPECT_EQ(report.filesWritten, static_cast<int>(FilesOnly(expected).size())) << row.reason;
        EXPECT_EQ(Describe(report.failures), "") << row.reason << ": every CRC a real tool writes matches";
        const Tree got = Listing(out);
        EXPECT_EQ(Differences(got, expected), "") << row.reason;
        EXPECT_EQ(Differences(got, Unzipped()), "") << row.reason << " (against unzip)";
    }
}

TEST_F(ZipInteropTest, EncryptedEntriesAreSkippedAndTheRestWritten)
{
    struct Row {
        const char* command;
        bool anyPlain;
        const char* reason;
    } rows[] = {
        {"cd secret && zip -q -0 -P pw ../t.zip 0-secret.txt && cd ../src && zip -qr ../t.zip .", true,
         "Info-ZIP: stored encrypted entry with a data descriptor, then plain ones"},
        {"cd secret && zip -q -P pw ../t.zip 0-secret.txt && cd ../src && zip -qr ../t.zip .", true,
         "Info-ZIP: deflated encrypted entry, as zip -P makes by default"},
        {"cd secret && zip -q -0 -P pw - 0-secret.txt | cat > ../t.zip && cd ../src && zip -qr -g ../t.zip .", true,
         "Info-ZIP into a pipe: the local size of a stored encrypted entry leaves out its encryption header"},
        {"cd secret && 7z a -tzip -mx0 -ppw ../t.zip 0-secret.txt >/dev/null && cd ../src && 7z a -tzip ../t.zip . >/dev/null", true,
         "7-Zip: stored with traditional encryption, no descriptor, then plain entries"},
        {"cd secret && 7z a -tzip -ppw -mem=AES256 ../t.zip 0-secret.txt >/dev/null && cd ../src && 7z a -tzip ../t.zip . >/dev/null", true,
         "7-Zip: AES, an unknown method as well, then plain entries"},
        {"bsdtar --format zip --options zip:compression=store,zip:encryption=zipcrypt --passphrase pw -cf - -C secret . | cat > t.zip", false,
         "libarchive: every file encrypted, nothing written"},
    };
    for (const Row& row : rows) {
        Pack(row.command);
        const ExtractReport report = Extract(zip);
        EXPECT_EQ(report.filesWritten > 0, row.anyPlain) << row.reason;
        ASSERT_EQ(report.failures.size(), 1u) << row.reason << ": " << Describe(report.failures);
        EXPECT_TRUE(report.failures[0].name.ends_with("0-secret.txt")) << row.reason << ": " << report.failures[0].name;
        EXPECT_EQ(report.failures[0].problem, EntryProblem::Encrypted) << row.reason;
        const Tree got = Listing(out);
        EXPECT_EQ(got.count("0-secret.txt"), 0u) << row.reason;
        EXPECT_EQ(Differences(got, row.anyPlain ? Listing(root / "src") : Tree{}), "") << row.reason;
        EXPECT_EQ(Differences(got, Unzipped(true)), "") << row.reason << " (against unzip)";
    }
}

TEST_F(ZipInteropTest, FoldersOnlyAreMadeButReportNothingWritten)
{
    const char* const commands[] = {
        "cd dirs && zip -qr ../t.zip .",
        "cd dirs && zip -qr - . | cat > ../t.zip",
        "cd dirs && 7z a -tzip ../t.zip . >/dev/null",
        "bsdtar --format zip -cf - -C dirs . | cat > t.zip",
        "python3 pack.py dirs",
    };
    const Tree expected = Listing(root / "dirs");
    for (const char* command : commands) {
        Pack(command);
        const ExtractReport report = Extract(zip);
        EXPECT_EQ(report.filesWritten, 0) << command;
        EXPECT_EQ(Describe(report.failures), "") << command << ": folders are never failures";
        const Tree got = Listing(out);
        EXPECT_EQ(Differences(got, expected), "") << command;
        EXPECT_EQ(Differences(got, Unzipped()), "") << command << " (against unzip)";
    }
}

TEST_F(ZipInteropTest, ExtractingAgainReplacesEveryFile)
{
    for (const char* command : {"cd src && zip -qr ../t.zip .", "cd src && 7z a -tzip ../t.zip . >/dev/null"}) {
        Pack(command);
        Tree expected = Unzipped();
        ASSERT_GT(Extract(zip).filesWritten, 0) << command;
        // Longer and shorter than before: a file opened without truncation would keep a stale tail.
        for (const auto& [path, content] : FilesOnly(expected))
            WriteFile(out / fs::path(std::u8string(path.begin(), path.end())), content.size() > 10 ? "short" : std::string(5000, 'x'));
        WriteFile(out / "local-note.txt", "not in the archive");
        const ExtractReport again = ExtractZip(zip.wstring(), out.wstring());
        EXPECT_EQ(again.filesWritten, static_cast<int>(FilesOnly(expected).size())) << command;
        EXPECT_EQ(Describe(again.failures), "") << command;
        expected["local-note.txt"] = "not in the archive";
        EXPECT_EQ(Differences(Listing(out), expected), "") << command;
    }
}

// A download cut short: every entry whose data arrived whole is written in full, nothing after the cut is.
// With the end lost the archive as a whole is incomplete and only an entry cut in two can be named;
// with a hole up to an intact central directory, the directory names them all.
TEST_F(ZipInteropTest, TruncatedArchiveKeepsTheEntriesBeforeTheCut)
{
    for (const char* command : {"cd src && zip -qr ../t.zip .", "cd src && 7z a -tzip ../t.zip . >/dev/null"}) {
        Pack(command);
        const Tree reference = Unzipped();
        const std::string full = ReadFile(zip);
        const std::vector<EntryEnd> entries = EntryEnds();
        ASSERT_EQ(entries.size(), reference.size()) << command << ": every entry listed";
        // Written to a file, neither tool adds data descriptors, so the directory follows the last entry's data.
        const uint64_t centralStart = entries.back().dataEnd;
        ASSERT_EQ(full.substr(centralStart, 4), "PK\x01\x02") << command;
        const fs::path cut = root / "cut.zip";
        for (const EntryEnd& boundary : entries) {
            for (const uint64_t length : {boundary.dataEnd - 1, boundary.dataEnd}) {
                WriteFile(cut, full.substr(0, length));
                Tree expected;
                for (const EntryEnd& entry : entries)
                    if (entry.dataEnd <= length && entry.name.back() != '/')
                        expected[entry.name] = reference.at(entry.name);
                const ExtractReport report = Extract(cut, false);
                EXPECT_EQ(report.filesWritten, static_cast<int>(expected.size())) << command << ", cut at " << length;
                for (const EntryFailure& failure : report.failures)
                    EXPECT_EQ(failure.problem, EntryProblem::ArchiveEndsEarly) << command << ", cut at " << length;
                EXPECT_EQ(Differences(FilesOnly(Listing(out)), expected), "") << command << ", cut at " << length;
            }
            std::string holed = full;
            std::fill(holed.begin() + static_cast<ptrdiff_t>(boundary.dataEnd), holed.begin() + static_cast<ptrdiff_t>(centralStart), '\0');
            WriteFile(cut, holed);
            Tree expected;
            std::vector<EntryFailure> lost;
            for (const EntryEnd& entry : entries)
                if (entry.name.back() == '/')
                    continue;
                else if (entry.dataEnd <= boundary.dataEnd)
                    expected[entry.name] = reference.at(entry.name);
                else
                    lost.push_back({entry.name, EntryProblem::ArchiveEndsEarly});
            const ExtractReport report = Extract(cut);
            EXPECT_EQ(report.filesWritten, static_cast<int>(expected.size())) << command << ", hole from " << boundary.dataEnd;
            EXPECT_EQ(Describe(report.failures), Describe(lost)) << command << ", hole from " << boundary.dataEnd;
            EXPECT_EQ(Differences(FilesOnly(Listing(out)), expected), "") << command << ", hole from " << boundary.dataEnd;
        }
    }
}

} // namespace
