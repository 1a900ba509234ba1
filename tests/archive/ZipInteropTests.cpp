// Archives made by the tools a release may be packed with must extract to the very tree they hold.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <system_error>

#include "archive/Zip.h"

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

using Tree = std::map<std::string, std::string>;

void WriteFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

Tree Listing(const fs::path& dir)
{
    Tree tree;
    for (const auto& item : fs::recursive_directory_iterator(dir)) {
        const std::u8string relative = fs::relative(item.path(), dir).generic_u8string();
        std::ifstream in(item.path(), std::ios::binary);
        tree[std::string(relative.begin(), relative.end())] =
            item.is_directory() ? "<dir>" : std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return tree;
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

class ZipInteropTest : public testing::Test {
protected:
    fs::path root = fs::temp_directory_path() / ("zip-interop-" + std::to_string(std::random_device{}()));

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
        WriteFile(src / "empty.txt", "");
        WriteFile(src / "a" / "b" / "c" / "d.txt", "deep\n");
        WriteFile(src / u8"\u6df1" / u8"\u5c42" / u8"\u6587\u4ef6.txt", "\xE4\xB8\xAD\xE6\x96\x87\n");
        WriteFile(root / "pack.py", kPythonPacker);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

TEST_F(ZipInteropTest, ToolArchivesExtractToTheSameTree)
{
    struct Row {
        const char* command;
        const char* reason;
    } rows[] = {
        {"cd src && zip -qr ../t.zip .", "Info-ZIP, deflated"},
        {"cd src && zip -qr0 ../t.zip .", "Info-ZIP, stored"},
        {"cd src && zip -qr - . | cat > ../t.zip", "Info-ZIP into a pipe: streamed entries"},
        {"cd src && zip -qr -fd ../t.zip .", "Info-ZIP with forced data descriptors"},
        {"bsdtar --format zip -cf t.zip -C src .", "libarchive, names start with ./"},
        {"bsdtar --format zip -cf - -C src . | cat > t.zip", "libarchive into a pipe"},
        {"bsdtar --format zip --options zip:compression=store -cf - -C src . | cat > t.zip", "libarchive stored into a pipe"},
        {"python3 pack.py src", "Python zipfile"},
        {"python3 pack.py src stream | cat > t.zip", "Python zipfile into a pipe"},
        {"python3 pack.py src stream zip64 | cat > t.zip", "Python zipfile into a pipe with ZIP64 records"},
    };
    const Tree expected = Listing(root / "src");
    for (const Row& row : rows) {
        const fs::path out = root / "out";
        fs::remove_all(out);
        fs::remove(root / "t.zip");
        const std::string command = "cd '" + root.string() + "' && LC_ALL=C.UTF-8 sh -c '" + row.command + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << row.reason;
        EXPECT_TRUE(ExtractZip((root / "t.zip").wstring(), out.wstring())) << row.reason;
        EXPECT_EQ(Differences(Listing(out), expected), "") << row.reason;
    }
}

} // namespace
