#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/LongPath.h"
#include "base/Text.h"

namespace {

std::wstring Repeat(const std::wstring& part, size_t times)
{
    std::wstring text;
    for (size_t i = 0; i < times; ++i) text += part;
    return text;
}

}  // namespace

// What Windows is given for each path: the extended form only where the normal one would fail, and
// in that form nothing that Windows would otherwise have cleaned up for us.
TEST(ExtendedLengthPath, FormOfEachPath)
{
    const std::wstring deep = Repeat(L"\\folder-of-the-product", 12);  // 264 characters
    const std::wstring deepForward = Repeat(L"/folder-of-the-product", 12);
    const std::wstring justShort = L"C:\\" + std::wstring(kLongPathFrom - 4, L'a');
    struct Row {
        std::wstring path, expected;
        const char* reason;
    };
    const std::vector<Row> rows = {
        {L"C:\\Quillmere\\launcher.exe", L"C:\\Quillmere\\launcher.exe", "a short path stays as it is"},
        {justShort, justShort, "one character below the limit"},
        {justShort + L"a", L"\\\\?\\" + justShort + L"a", "at the limit"},
        {L"C:" + deep, L"\\\\?\\C:" + deep, "a deep drive path"},
        {L"d:" + deepForward, L"\\\\?\\d:" + deep, "forward slashes become backslashes"},
        {L"C:" + deep + L"\\.\\x\\..\\y\\\\z", L"\\\\?\\C:" + deep + L"\\y\\z", "no . or .. parts, no empty ones"},
        {L"C:\\..\\..\\x" + deep, L"\\\\?\\C:\\x" + deep, ".. never climbs above the drive"},
        {L"\\\\server\\share" + deep, L"\\\\?\\UNC\\server\\share" + deep, "a network path"},
        {L"\\\\server\\share\\..\\..\\x" + deep, L"\\\\?\\UNC\\server\\share\\x" + deep, "nor above the share"},
        {L"\\\\?\\C:" + deep + L"\\..", L"\\\\?\\C:" + deep + L"\\..", "already extended: Windows takes it as it is"},
        {L"relative" + deep, L"relative" + deep, "a relative path cannot be extended"},
    };
    for (const Row& row : rows) EXPECT_EQ(WideToUtf8(ExtendedLengthPath(row.path)), WideToUtf8(row.expected)) << row.reason;
}
