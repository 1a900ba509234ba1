#include <gtest/gtest.h>

#include <vector>

#include "WineTestSupport_win32.h"
#include "net/Http.h"
#include "base/Text.h"

namespace {

const std::wstring kBase = L"http://127.0.0.1:" + std::to_wstring(HTTP_TEST_PORT) + L"/new/quillmere/update/";
// Nothing listens here: connections are refused.
const std::wstring kDeadBase = L"http://127.0.0.1:1/new/quillmere/update/";

struct ProgressCall {
    int64_t done;
    int64_t total;
};

// Set by a test to cancel the download under way.
std::atomic<bool> Cancel{false};

// The body, or nothing when the fetch failed (and then nothing of a body may be left).
std::string Fetched(const std::wstring& url)
{
    std::string body = "stale";
    const Outcome fetched = HttpGetToMemory(url, body);
    EXPECT_EQ(fetched.succeeded, fetched.error.empty()) << "a failure always says why";
    if (!fetched) {
        EXPECT_EQ(body, "") << "a failed fetch leaves no body behind";
    }
    return body;
}

bool Fetch(const std::wstring& url, const std::wstring& destPath, const DownloadProgressFn& progress,
           std::wstring* errorText)
{
    const Outcome downloaded = DownloadToFile(url, destPath, progress, Cancel);
    if (errorText && !downloaded) *errorText = downloaded.error;
    return static_cast<bool>(downloaded);
}

class HttpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = WindowsPathFromUnix(HTTP_TEST_ROOT);
        CreateDirectoryW(root.c_str(), nullptr);
        downloads = root + L"\\downloads";
        CreateDirectoryW(downloads.c_str(), nullptr);
        dest = downloads + L"\\" + Utf8ToWide(::testing::UnitTest::GetInstance()->current_test_info()->name()) + L".bin";
        DeleteFileW(dest.c_str());
        Cancel = false;
    }

    void TearDown() override { Cancel = false; }

    std::string Publish(const std::wstring& name, size_t size, unsigned seed = 7)
    {
        const std::string bytes = PatternBytes(size, seed);
        WriteFileBytes(root + L"\\" + name, bytes);
        return bytes;
    }

    bool Download(const std::wstring& urlTail, std::wstring* error)
    {
        return Fetch(kBase + urlTail, dest, [this](int64_t d, int64_t t) { calls.push_back({d, t}); }, error);
    }

    std::wstring root;
    std::wstring downloads;
    std::wstring dest;
    std::vector<ProgressCall> calls;
};

TEST_F(HttpTest, MemoryFetchReturnsTheWholeBodyOnlyForACompleteOkAnswer)
{
    const std::string body = Publish(L"memory.bin", 50000);
    EXPECT_TRUE(Fetched(kBase + L"memory.bin") == body) << "bodies spanning several reads";
    EXPECT_TRUE(Fetched(kBase + L"_fault=nolength/memory.bin") == body) << "no Content-Length: read to the end";

    struct Row {
        const wchar_t* tail;
        const char* why;
    } rows[] = {
        {L"missing.bin", "404 for a file the server lacks"},
        {L"_fault=status,404/memory.bin", "404 is not a body"},
        {L"_fault=status,500/memory.bin", "server error is not a body"},
        {L"_fault=cut,20000/memory.bin", "a cut-off manifest must never be parsed"},
        {L"_fault=empty/memory.bin", "empty 200 reads as nothing"},
    };
    for (const Row& row : rows) EXPECT_EQ(Fetched(kBase + row.tail), "") << row.why;
    EXPECT_EQ(Fetched(kDeadBase + L"memory.bin"), "") << "connection refused";
    EXPECT_EQ(Fetched(L"not a url"), "") << "unparsable URL";
}

TEST_F(HttpTest, DownloadWritesEveryByteAndReportsStrictlyGrowingProgress)
{
    const std::string body = Publish(L"package.bin", 100000);
    std::wstring error = L"untouched";
    ASSERT_TRUE(Download(L"package.bin", &error));
    EXPECT_EQ(error, L"untouched") << "success leaves the error text alone";
    EXPECT_TRUE(ReadFileBytes(dest) == body);

    ASSERT_FALSE(calls.empty());
    int64_t previous = 0;
    for (const ProgressCall& call : calls) {
        EXPECT_GT(call.done, previous);
        EXPECT_LE(call.done - previous, 16384) << "one call per chunk of at most 16 KiB";
        EXPECT_EQ(call.total, 100000);
        previous = call.done;
    }
    EXPECT_EQ(calls.back().done, 100000);
}

TEST_F(HttpTest, DownloadWithoutContentLengthReportsZeroTotal)
{
    const std::string body = Publish(L"nolength.bin", 40000);
    ASSERT_TRUE(Download(L"_fault=nolength/nolength.bin", nullptr));
    EXPECT_TRUE(ReadFileBytes(dest) == body);
    ASSERT_FALSE(calls.empty());
    for (const ProgressCall& call : calls) EXPECT_EQ(call.total, 0);
    EXPECT_EQ(calls.back().done, 40000);
}

TEST_F(HttpTest, EmptyBodyTruncatesAnExistingFileAndNeverCallsBack)
{
    Publish(L"empty.bin", 10);
    WriteFileBytes(dest, "old contents");
    ASSERT_TRUE(Download(L"_fault=empty/empty.bin", nullptr));
    ASSERT_TRUE(FileExists(dest));
    EXPECT_EQ(ReadFileBytes(dest), "");
    EXPECT_TRUE(calls.empty());
}

TEST_F(HttpTest, ExistingFileIsReplacedFromTheFirstByte)
{
    const std::string body = Publish(L"short.bin", 1000);
    WriteFileBytes(dest, std::string(5000, 'x'));
    ASSERT_TRUE(Download(L"short.bin", nullptr));
    EXPECT_TRUE(ReadFileBytes(dest) == body) << "no tail of the old file may survive";
}

TEST_F(HttpTest, StatusOtherThan200FailsBeforeAnyFileIsCreated)
{
    Publish(L"status.bin", 100);
    struct Row {
        const wchar_t* tail;
        const wchar_t* text;
    } rows[] = {
        {L"nothing-here.bin", L"HTTP 404"},
        {L"_fault=status,404/status.bin", L"HTTP 404"},
        {L"_fault=status,500/status.bin", L"HTTP 500"},
    };
    for (const Row& row : rows) {
        std::wstring error;
        EXPECT_FALSE(Download(row.tail, &error));
        EXPECT_EQ(error, row.text) << "status texts carry no error suffix";
        EXPECT_FALSE(FileExists(dest));
    }
    WriteFileBytes(dest, "keep me");
    EXPECT_FALSE(Download(L"nothing-here.bin", nullptr));
    EXPECT_EQ(ReadFileBytes(dest), "keep me") << "a refused download never opened the destination";
}

TEST_F(HttpTest, BodyCutOffMidwayIsAReadFailureAndLeavesNoFile)
{
    Publish(L"cut.bin", 100000);
    WriteFileBytes(dest, "previous download");
    std::wstring error;
    EXPECT_FALSE(Download(L"_fault=cut,40000/cut.bin", &error));
    EXPECT_EQ(error.rfind(L"网络读取失败", 0), 0u) << "got: " << WideToUtf8(error);
    EXPECT_FALSE(FileExists(dest)) << "the partial file is deleted";
    ASSERT_FALSE(calls.empty());
    EXPECT_LE(calls.back().done, 40000);
}

TEST_F(HttpTest, CancelDuringASlowBodyDropsTheChunkThatArrivedAndDeletesTheFile)
{
    Publish(L"slow.bin", 16384 * 6);
    std::wstring error;
    const bool ok = Fetch(kBase + L"_fault=slow,100/slow.bin", dest,
                                   [this](int64_t d, int64_t t) {
                                       calls.push_back({d, t});
                                       Cancel = true;
                                   },
                                   &error);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, L"用户取消");
    EXPECT_EQ(calls.size(), 1u) << "the chunk read after the cancel is not written or reported";
    EXPECT_FALSE(FileExists(dest));
}

TEST_F(HttpTest, FailuresBeforeTheBodyCarryTheLastErrorSuffix)
{
    struct Row {
        std::wstring url;
        std::wstring destPath;
        const wchar_t* prefix;
        const char* why;
    } rows[] = {
        {L"not a url", dest, L"URL解析失败 (err=", "no scheme"},
        {kBase + std::wstring(2100, L'a'), dest, L"URL解析失败 (err=", "path longer than 2048"},
        {L"http://" + std::wstring(300, L'h') + L".example/x", dest, L"URL解析失败 (err=", "host longer than 256"},
        {kDeadBase + L"x.bin", dest, L"发送请求失败 (err=", "connection refused shows when sending"},
        {kBase + L"status.bin", downloads + L"\\no-such-folder\\x.bin", L"创建本地文件失败 (err=", "missing folder"},
    };
    Publish(L"status.bin", 100);
    for (const Row& row : rows) {
        std::wstring error;
        EXPECT_FALSE(Fetch(row.url, row.destPath, nullptr, &error)) << row.why;
        EXPECT_EQ(error.rfind(row.prefix, 0), 0u) << row.why << ": " << WideToUtf8(error);
        EXPECT_TRUE(!error.empty() && error.back() == L')') << row.why;
        EXPECT_FALSE(Fetch(row.url, row.destPath, nullptr, nullptr)) << row.why << " (no error text)";
    }
}

TEST_F(HttpTest, NullErrorTextAndEmptyCallbackAreAcceptedOnEveryOutcome)
{
    const std::string body = Publish(L"plain.bin", 3000);
    EXPECT_TRUE(Fetch(kBase + L"plain.bin", dest, nullptr, nullptr));
    EXPECT_TRUE(ReadFileBytes(dest) == body);
    EXPECT_FALSE(Fetch(kBase + L"_fault=cut,100/plain.bin", dest, nullptr, nullptr));
    EXPECT_FALSE(FileExists(dest));
    EXPECT_FALSE(Fetch(kBase + L"_fault=status,500/plain.bin", dest, nullptr, nullptr));
}

}  // namespace
