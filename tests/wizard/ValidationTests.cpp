#include <gtest/gtest.h>

#include "wizard/Validation.h"

namespace {

TEST(Validation, PortMustBeACanonicalNumberFrom1To65535)
{
    struct Row {
        const wchar_t* port;
        bool valid;
        const char* why;
    } rows[] = {
        {L"18789", true, "the default"},
        {L"1", true, "lowest port"},
        {L"65535", true, "highest port"},
        {L"", false, "empty writes an invalid configuration file"},
        {L"0", false, "port 0 cannot be listened on"},
        {L"65536", false, "beyond the port range"},
        {L"99999", false, "five digits but too large"},
        {L"123456", false, "too many digits"},
        {L"080", false, "a leading zero is not a JSON number"},
        {L"80a", false, "pasted text bypasses the digits-only style"},
        {L" 80", false, "blank"},
        {L"-1", false, "sign"},
    };
    for (const Row& row : rows) EXPECT_EQ(IsValidPort(row.port), row.valid) << row.why;
}

TEST(Validation, InstallFolderMustBeAnAbsoluteLocalPathOfPlainNames)
{
    struct Row {
        std::wstring path;
        bool valid;
        const char* why;
    } rows[] = {
        {L"C:\\Quillmere", true, "the default"},
        {L"d:\\应用\\Quillmere", true, "lower-case drive, Chinese names"},
        {L"C:\\Program Files\\Quillmere v1.0", true, "spaces and dots inside names"},
        {L"C:\\" + std::wstring(97, L'q'), true, "exactly 100 characters"},
        {L"C:\\" + std::wstring(98, L'q'), false, "101 characters: npm fails that deep"},
        {L"rel-install\\Quillmere", false, "relative: lands under the working directory"},
        {L"\\Quillmere", false, "rooted on whatever drive is current"},
        {L"C:Quillmere", false, "drive-relative"},
        {L"\\\\server\\share\\Quillmere", false, "a network share"},
        {L"1:\\Quillmere", false, "no drive letter"},
        {L"C:\\", false, "a drive root is no folder of its own"},
        {L"C:\\Quillmere\\", false, "a trailing backslash leaves an empty name"},
        {L"C:\\a\\\\b", false, "an empty name between two backslashes"},
        {L"C:\\Quillmere.", false, "Windows drops the trailing dot"},
        {L"C:\\Quillmere \\x", false, "Windows drops the trailing space"},
        {L"C:\\a\\..\\b", false, "a parent reference ends in a dot"},
        {L"C:/Quillmere", false, "forward slashes are written to files as they stand"},
        {L"C:\\a:b", false, "a stream name"},
        {L"C:\\a?b", false, "a wildcard"},
        {L"C:\\a\tb", false, "a control character"},
        {L"C:\\Quillmere\\NUL", false, "a device: every file below it would go to the device"},
        {L"C:\\com1.data\\Quillmere", false, "a device name with an extension, in any case"},
        {L"C:\\Console\\Quillmere", true, "a longer name that begins like a device"},
    };
    for (const Row& row : rows) EXPECT_EQ(IsValidInstallPath(row.path), row.valid) << row.why;
}

}  // namespace
