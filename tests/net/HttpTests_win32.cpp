#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <chrono>
#include <thread>
#include <vector>

#include "WineTestSupport_win32.h"
#include "net/Http.h"
#include "base/Text.h"

namespace {

const std::wstring kBase = L"http://127.0.0.1:" + std::to_wstring(HTTP_TEST_PORT) + L"/new/quillmere/update/";
// Nothing listens here: connections are refused.
const std::wstring kDeadBase = L"http://127.0.0.1:1/new/quillmere/update/";
// The same files over https, by the name the certificates are made out to.
const std::wstring kSecureBase = L"https://localhost:" + std::to_wstring(HTTPS_TEST_PORT) + L"/new/quillmere/update/";

struct ProgressCall {
    int64_t done;
    int64_t total;
    int64_t kept;
};

// Set by a test to cancel the download under way.
std::atomic<bool> Cancel{false};

using Clock = std::chrono::steady_clock;

int64_t MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Makes a URL new to the server, whose per-URL faults (cutonce) count requests since it started.
std::wstring FreshQuery()
{
    static int calls = 0;
    return L"?run=" + std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++calls);
}

// The body, or nothing when the fetch failed (and then nothing of a body may be left).
std::string Fetched(const std::wstring& url, const FetchLimits& limits = {}, std::wstring* errorText = nullptr)
{
    std::string body = "stale";
    const Outcome fetched = HttpGetToMemory(url, body, limits);
    EXPECT_EQ(fetched.succeeded, fetched.error.empty()) << "a failure always says why";
    if (!fetched) {
        EXPECT_EQ(body, "") << "a failed fetch leaves no body behind";
        if (errorText) *errorText = fetched.error;
    }
    return body;
}

// Without `partial` every call starts from nothing. Either way, what is left behind is checked:
// a success or a failure that recorded nothing never leaves half a file to resume from, and a
// recorded partial names exactly the bytes in the file.
bool Fetch(const std::wstring& url, const std::wstring& destPath, const DownloadProgressFn& progress,
           std::wstring* errorText, PartialDownload* partial = nullptr, int64_t declaredBytes = 0)
{
    PartialDownload fresh;
    PartialDownload& state = partial ? *partial : fresh;
    const Outcome downloaded = DownloadToFile(url, destPath, progress, Cancel, state, declaredBytes);
    if (errorText && !downloaded) *errorText = downloaded.error;
    if (downloaded || state.bytes == 0) {
        EXPECT_EQ(state.bytes, 0) << "only a failure records a partial";
        EXPECT_EQ(state.validator, L"");
    } else {
        EXPECT_EQ(static_cast<int64_t>(ReadFileBytes(destPath).size()), state.bytes);
        EXPECT_NE(state.validator, L"") << "a partial is resumable only with its validator";
    }
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

    bool Download(const std::wstring& urlTail, std::wstring* error, const std::wstring& base = kBase)
    {
        return Fetch(base + urlTail, dest, [this](int64_t d, int64_t t, int64_t k) { calls.push_back({d, t, k}); }, error);
    }

    bool Resume(const std::wstring& url, PartialDownload& partial, std::wstring* error = nullptr)
    {
        calls.clear();
        return Fetch(url, dest, [this](int64_t d, int64_t t, int64_t k) { calls.push_back({d, t, k}); }, error, &partial);
    }

    // A first attempt at `url` (a cutonce URL) that breaks off and records what it kept.
    PartialDownload BrokenAttempt(const std::wstring& url, const std::string& body)
    {
        PartialDownload partial;
        std::wstring error;
        EXPECT_FALSE(Resume(url, partial, &error));
        EXPECT_EQ(error.rfind(L"网络读取失败", 0), 0u) << WideToUtf8(error);
        EXPECT_GT(partial.bytes, 0) << "a break after some bytes keeps them";
        EXPECT_TRUE(ReadFileBytes(dest) == body.substr(0, static_cast<size_t>(partial.bytes)))
            << "the kept bytes are the first bytes served";
        return partial;
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
    PartialDownload partial;
    EXPECT_FALSE(Fetch(kBase + L"_fault=cut,40000/cut.bin", dest,
                       [this](int64_t d, int64_t t, int64_t k) { calls.push_back({d, t, k}); }, &error, &partial));
    EXPECT_EQ(error.rfind(L"网络读取失败", 0), 0u) << "got: " << WideToUtf8(error);
    EXPECT_FALSE(FileExists(dest)) << "without a validator the partial file cannot be resumed: deleted";
    EXPECT_EQ(partial.bytes, 0);
    ASSERT_FALSE(calls.empty());
    EXPECT_LE(calls.back().done, 40000);
}

TEST_F(HttpTest, CancelDuringASlowBodyDropsTheChunkThatArrivedAndDeletesTheFile)
{
    Publish(L"slow.bin", 16384 * 6);
    std::wstring error;
    const bool ok = Fetch(kBase + L"_fault=slow,100/slow.bin", dest,
                                   [this](int64_t d, int64_t t, int64_t k) {
                                       calls.push_back({d, t, k});
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
        std::wstring prefix;
        const char* why;
        bool local = false;
    } rows[] = {
        {L"not a url", dest, L"URL解析失败 (err=", "no scheme"},
        {kBase + std::wstring(2100, L'a'), dest, L"URL解析失败 (err=", "path longer than 2048"},
        {L"http://" + std::wstring(300, L'h') + L".example/x", dest, L"URL解析失败 (err=", "host longer than 256"},
        {kDeadBase + L"x.bin", dest, L"发送请求失败 (err=", "connection refused shows when sending"},
        {kBase + L"status.bin", downloads + L"\\no-such-folder\\x.bin",
         L"无法写入下载文件夹 " + downloads + L"\\no-such-folder: ", "missing folder: named, with the system's words", true},
        {kBase + L"status.bin", downloads, L"无法写入下载文件夹 " + root + L": ", "a folder where the file should be", true},
    };
    Publish(L"status.bin", 100);
    for (const Row& row : rows) {
        std::wstring error;
        PartialDownload partial;
        EXPECT_FALSE(Fetch(row.url, row.destPath, nullptr, &error, &partial)) << row.why;
        EXPECT_EQ(error.rfind(row.prefix, 0), 0u) << row.why << ": " << WideToUtf8(error);
        EXPECT_TRUE(!error.empty() && error.back() == L')') << row.why;
        EXPECT_EQ(partial.localFileFailed, row.local) << row.why << ": only a local failure is not worth another try";
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

TEST_F(HttpTest, ResumeAfterABreakFetchesOnlyTheRestAndCountsTheWholeFile)
{
    const std::string body = Publish(L"resume.bin", 100000, 11);
    const std::wstring url = kBase + L"_fault=cutonce,40000/resume.bin" + FreshQuery();
    PartialDownload partial = BrokenAttempt(url, body);
    ASSERT_GT(partial.bytes, 16384) << "more than one chunk kept, so a restart from 0 shows in the progress";
    const int64_t kept = partial.bytes;

    ASSERT_TRUE(Resume(url, partial));
    EXPECT_TRUE(ReadFileBytes(dest) == body) << "kept bytes plus the 206 body, nothing twice";
    ASSERT_FALSE(calls.empty());
    EXPECT_GT(calls.front().done, kept) << "progress counts the bytes already there";
    EXPECT_LE(calls.front().done - kept, 16384) << "the first chunk continues where the file ended";
    for (const ProgressCall& call : calls) {
        EXPECT_EQ(call.total, 100000) << "kept bytes plus the 206's length";
        EXPECT_EQ(call.kept, kept) << "what this attempt received is told apart from what it kept";
    }
    EXPECT_EQ(calls.back().done, 100000);
}

TEST_F(HttpTest, ResumeThatTheServerCannotHonourStartsOverFromTheFirstByte)
{
    struct Row {
        const wchar_t* name;
        size_t republishedSize;         // 0: the served file stays as it was
        const wchar_t* validator;       // replaces the recorded one unless null
        const wchar_t* validatorTail;   // appended to the recorded one unless null
        size_t shortenedBy;             // bytes cut from the kept file
        const char* why;
        const wchar_t* resumeFault = nullptr;  // how the server misbehaves when asked for the rest
    } rows[] = {
        {L"changed.bin", 90000, nullptr, nullptr, 0, "the file changed on the server: If-Range fails, a 200 brings the new one"},
        {L"unknown.bin", 0, L"\"bogus\"", nullptr, 0, "a validator the server never gave: a 200, appended to nothing"},
        {L"shorter.bin", 0, nullptr, nullptr, 1000, "the file is not as long as recorded: no range is asked for"},
        {L"injected.bin", 0, nullptr, L"\r\nX-Injected: 1", 0, "a validator that is not one header value is never sent"},
        {L"spliced.bin", 90000, nullptr, nullptr, 0,
         "a server that ignores If-Range sends a 206 of the new version: never appended to the old bytes", L"anyrange"},
    };
    for (const Row& row : rows) {
        const std::string first = Publish(row.name, 100000, 5);
        const std::wstring url = kBase + L"_fault=cutonce,40000/" + row.name + FreshQuery();
        PartialDownload partial = BrokenAttempt(url, first);
        if (row.republishedSize) Publish(row.name, row.republishedSize, 23);
        if (row.validator) partial.validator = row.validator;
        if (row.validatorTail) partial.validator += row.validatorTail;
        if (row.shortenedBy) WriteFileBytes(dest, first.substr(0, static_cast<size_t>(partial.bytes) - row.shortenedBy));
        const std::string served = ReadFileBytes(root + L"\\" + row.name);

        const std::wstring resumeUrl =
            row.resumeFault ? kBase + L"_fault=" + row.resumeFault + L"/" + row.name + FreshQuery() : url;
        ASSERT_TRUE(Resume(resumeUrl, partial)) << row.why;
        EXPECT_TRUE(ReadFileBytes(dest) == served) << row.why;
        ASSERT_FALSE(calls.empty()) << row.why;
        EXPECT_LE(calls.front().done, 16384) << row.why << ": progress restarts from 0";
        EXPECT_EQ(calls.back().done, static_cast<int64_t>(served.size())) << row.why;
        EXPECT_EQ(calls.back().total, static_cast<int64_t>(served.size())) << row.why;
        EXPECT_EQ(calls.back().kept, 0) << row.why;
    }
}

TEST_F(HttpTest, ADeclaredSizeIsTheOnlySizeTheFileMayEndWith)
{
    const std::string body = Publish(L"declared.bin", 50000);
    struct Row {
        const wchar_t* tail;
        int64_t declared;
        const char* why;
    } rows[] = {
        {L"declared.bin", 40000, "a Content-Length other than the declared size: refused before the body"},
        {L"_fault=nolength/declared.bin", 40000, "no Content-Length and more than declared: cut off at the size"},
        {L"_fault=nolength/declared.bin", 60000, "no Content-Length and ending early: not the declared file"},
        {L"_fault=endless/declared.bin", 100000, "a body that never ends stops right after the declared size"},
    };
    for (const Row& row : rows) {
        calls.clear();
        std::wstring error;
        EXPECT_FALSE(Fetch(kBase + row.tail, dest, [this](int64_t d, int64_t t, int64_t k) { calls.push_back({d, t, k}); },
                           &error, nullptr, row.declared))
            << row.why;
        EXPECT_EQ(error, L"大小不符") << row.why;
        EXPECT_FALSE(FileExists(dest)) << row.why;
        if (!calls.empty()) {
            EXPECT_LE(calls.back().done, row.declared) << row.why << ": nothing past the size is written";
        }
    }
    ASSERT_TRUE(Fetch(kBase + L"declared.bin", dest, nullptr, nullptr, nullptr, 50000));
    EXPECT_TRUE(ReadFileBytes(dest) == body);
}

TEST_F(HttpTest, ResumeAttemptThatFailsOtherwiseDeletesThePartialFile)
{
    struct Row {
        std::wstring url;
        const wchar_t* prefix;
        const char* why;
    } rows[] = {
        {kBase + L"_fault=status,500/again.bin", L"HTTP 500", "a status error"},
        {kBase + L"_fault=cut,100/again.bin", L"网络读取失败", "a 200 that breaks off without a validator"},
        {kDeadBase + L"again.bin", L"发送请求失败 (err=", "no server at all"},
    };
    const std::string body = Publish(L"again.bin", 60000, 9);
    for (const Row& row : rows) {
        PartialDownload partial = BrokenAttempt(kBase + L"_fault=cutonce,30000/again.bin" + FreshQuery(), body);
        std::wstring error;
        EXPECT_FALSE(Resume(row.url, partial, &error)) << row.why;
        EXPECT_EQ(error.rfind(row.prefix, 0), 0u) << row.why << ": " << WideToUtf8(error);
        EXPECT_FALSE(FileExists(dest)) << row.why;
        EXPECT_EQ(partial.bytes, 0) << row.why;
    }
}

TEST_F(HttpTest, CancelEndsAStalledTransferWithinTwoSeconds)
{
    Publish(L"stall.bin", 100000);
    std::atomic<bool> reported{false};
    Clock::time_point cancelledAt = Clock::now();
    std::thread canceller([&] {
        const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(30);
        while (!reported && Clock::now() < giveUp) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::seconds(1));
        cancelledAt = Clock::now();
        Cancel = true;
    });
    std::wstring error;
    const bool ok = Fetch(kBase + L"_fault=stall,20000/stall.bin", dest,
                          [&](int64_t d, int64_t t, int64_t k) {
                              calls.push_back({d, t, k});
                              reported = true;
                          },
                          &error);
    const Clock::time_point returnedAt = Clock::now();
    canceller.join();

    EXPECT_FALSE(ok);
    EXPECT_EQ(error, L"用户取消");
    EXPECT_FALSE(FileExists(dest));
    ASSERT_FALSE(calls.empty()) << "the bytes before the stall were reported";
    EXPECT_LE(calls.back().done, 20000);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(returnedAt - cancelledAt).count();
    EXPECT_LT(waited, 2500) << "the receive time-out is 120 s; the cancel must not wait for it";
}

TEST_F(HttpTest, MemoryFetchEndsAtItsSizeLimitOrDeadline)
{
    const std::string body = Publish(L"limited.bin", 50000);
    EXPECT_TRUE(Fetched(kBase + L"limited.bin", {50000, 60000}) == body) << "a body exactly at the limit";
    struct Row {
        const wchar_t* tail;
        FetchLimits limits;
        const wchar_t* text;
        const char* why;
    } rows[] = {
        {L"limited.bin", {49999, 60000}, L"响应内容过大", "announced one byte over the limit"},
        {L"_fault=nolength/limited.bin", {49999, 60000}, L"响应内容过大", "one byte over, found while reading"},
        {L"_fault=endless/x", {1024 * 1024, 60000}, L"响应内容过大", "an endless body stops at the limit"},
        {L"_fault=drip,20000/x", {1024 * 1024, 3000}, L"请求超时", "a byte every 20 s never reaches a read's end"},
        {L"_fault=stall,0/limited.bin", {1024 * 1024, 2000}, L"请求超时", "headers, then silence"},
    };
    for (const Row& row : rows) {
        std::wstring error;
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(Fetched(kBase + row.tail, row.limits, &error), "") << row.why;
        const int64_t elapsed = MillisecondsSince(start);
        EXPECT_EQ(error, row.text) << row.why;
        EXPECT_LT(elapsed, static_cast<int64_t>(row.limits.deadlineMs) + 2000) << row.why;
    }
}

// The test CA sits in the prefix's machine root store for the whole suite: in before the first
// https exchange, out after the last.
class HttpsTest : public HttpTest {
protected:
    static void SetUpTestSuite()
    {
        const std::string der = ReadFileBytes(WindowsPathFromUnix(HTTPS_TEST_CA));
        rootStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
        if (rootStore && !der.empty())
            CertAddEncodedCertificateToStore(rootStore, X509_ASN_ENCODING,
                                             reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()),
                                             CERT_STORE_ADD_REPLACE_EXISTING, &testCa);
        // Wine keeps a registry store's changes in memory until committed or closed.
        if (testCa) CertControlStore(rootStore, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }

    static void TearDownTestSuite()
    {
        if (testCa && CertDeleteCertificateFromStore(testCa))  // frees the context too
            CertControlStore(rootStore, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        if (rootStore) CertCloseStore(rootStore, 0);
        testCa = nullptr;
        rootStore = nullptr;
    }

    void SetUp() override
    {
        HttpTest::SetUp();
        ASSERT_NE(testCa, nullptr) << "the test CA from " << HTTPS_TEST_CA << " is not in the root store";
    }

    static inline HCERTSTORE rootStore = nullptr;
    static inline PCCERT_CONTEXT testCa = nullptr;
};

TEST_F(HttpsTest, ManifestAndPackageArriveWholeOverHttps)
{
    const std::string manifest = Publish(L"secure-manifest.json", 3000, 3);
    EXPECT_TRUE(Fetched(kSecureBase + L"secure-manifest.json") == manifest);

    const std::string package = Publish(L"secure-package.bin", 100000, 4);
    ASSERT_TRUE(Download(L"secure-package.bin", nullptr, kSecureBase));
    EXPECT_TRUE(ReadFileBytes(dest) == package);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().done, 100000);
    EXPECT_EQ(calls.back().total, 100000);
}

TEST_F(HttpsTest, BrokenDownloadResumesOverHttps)
{
    const std::string body = Publish(L"secure-resume.bin", 100000, 12);
    const std::wstring url = kSecureBase + L"_fault=cutonce,40000/secure-resume.bin" + FreshQuery();
    PartialDownload partial = BrokenAttempt(url, body);
    const int64_t kept = partial.bytes;

    ASSERT_TRUE(Resume(url, partial));
    EXPECT_TRUE(ReadFileBytes(dest) == body);
    ASSERT_FALSE(calls.empty());
    EXPECT_GT(calls.front().done, kept) << "only the rest was fetched";
    EXPECT_EQ(calls.back().total, 100000);
}

TEST_F(HttpsTest, CertificateThePrefixDoesNotTrustIsRefusedBeforeAnyFile)
{
    Publish(L"refused.bin", 1000);
    struct Row {
        std::wstring base;
        const char* why;
    } rows[] = {
        {L"https://localhost:" + std::to_wstring(UNTRUSTED_HTTPS_TEST_PORT) + L"/new/quillmere/update/",
         "issued by a CA the prefix does not trust"},
        {L"https://127.0.0.1:" + std::to_wstring(HTTPS_TEST_PORT) + L"/new/quillmere/update/",
         "a trusted certificate made out to another name"},
    };
    for (const Row& row : rows) {
        std::wstring error;
        EXPECT_FALSE(Fetch(row.base + L"refused.bin", dest, nullptr, &error)) << row.why;
        EXPECT_EQ(error.rfind(L"发送请求失败 (err=", 0), 0u) << row.why << ": " << WideToUtf8(error);
        EXPECT_FALSE(FileExists(dest)) << row.why;
        std::wstring fetchError;
        EXPECT_EQ(Fetched(row.base + L"refused.bin", {}, &fetchError), "") << row.why;
        EXPECT_EQ(fetchError.rfind(L"发送请求失败 (err=", 0), 0u) << row.why << ": " << WideToUtf8(fetchError);
    }
}


// ---- The user's proxy settings ----

const wchar_t kConnectionsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
const std::string kProxy = "127.0.0.1:" + std::to_string(PROXY_TEST_PORT);
const std::string kAuthProxy = "127.0.0.1:" + std::to_string(AUTH_PROXY_TEST_PORT);
// Nothing listens there: a proxy that is down.
const std::string kDeadProxy = "127.0.0.1:1";
// Names that never resolve: reached only through the test proxy, which sends them to 127.0.0.1.
const std::wstring kProxiedBase =
    L"http://updates.quillmere.test:" + std::to_wstring(HTTP_TEST_PORT) + L"/new/quillmere/update/";
const std::wstring kProxiedSecureBase =
    L"https://updates.quillmere.test:" + std::to_wstring(HTTPS_TEST_PORT) + L"/new/quillmere/update/";
const std::wstring kBypassedBase =
    L"http://pkg.bypassed.test:" + std::to_wstring(HTTP_TEST_PORT) + L"/new/quillmere/update/";
const std::wstring kLocalhostBase = L"http://localhost:" + std::to_wstring(HTTP_TEST_PORT) + L"/new/quillmere/update/";

// Internet Options' flags in DefaultConnectionSettings.
enum : uint32_t { kDirect = 1, kFixedProxy = 2, kScript = 4 };

// The user's settings in the prefix as Windows stores them, for as long as a test runs.
class ProxyTest : public HttpsTest {
protected:
    void TearDown() override
    {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kConnectionsKey, L"DefaultConnectionSettings");
        HttpsTest::TearDown();
    }

    // Version 0x46, a change counter, the flags, then proxy, bypass list and PAC address, each
    // with its length in front.
    static void UseSettings(uint32_t flags, const std::string& proxy, const std::string& bypass = "",
                            const std::string& script = "")
    {
        static uint32_t counter = 0;
        std::string value;
        const auto number = [&value](uint32_t n) {
            for (int shift = 0; shift < 32; shift += 8) value.push_back(static_cast<char>(n >> shift));
        };
        const auto text = [&](const std::string& t) {
            number(static_cast<uint32_t>(t.size()));
            value += t;
        };
        number(0x46);
        number(++counter);
        number(flags);
        text(proxy);
        text(bypass);
        text(script);
        value.append(32, '\0');
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        const LONG written = RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                                            reinterpret_cast<const BYTE*>(value.data()), static_cast<DWORD>(value.size()));
        RegCloseKey(key);
        ASSERT_EQ(written, ERROR_SUCCESS);
    }

    // The test proxies' log lines that hold `wanted`, such as a URL made unique by its query.
    static std::vector<std::string> ProxyLogLines(const std::string& wanted)
    {
        const std::string log = ReadFileBytes(WindowsPathFromUnix(PROXY_TEST_LOG));
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < log.size()) {
            size_t end = log.find('\n', start);
            if (end == std::string::npos) end = log.size();
            const std::string line = log.substr(start, end - start);
            if (line.find(wanted) != std::string::npos) lines.push_back(line);
            start = end + 1;
        }
        return lines;
    }

    // One download; which proxy it went through, or "failed: TEXT" without the error code.
    std::string DownloadedVia(const std::wstring& url, const std::string& body)
    {
        PartialDownload partial;
        const Outcome downloaded = DownloadToFile(url, dest, nullptr, Cancel, partial);
        if (!downloaded) return "failed: " + WideToUtf8(downloaded.error.substr(0, downloaded.error.find(L" (err=")));
        EXPECT_TRUE(ReadFileBytes(dest) == body) << WideToUtf8(url);
        return partial.proxy.empty() ? "direct" : WideToUtf8(partial.proxy);
    }
};

TEST_F(ProxyTest, WithoutTheUsersProxyEverythingGoesDirectAsBefore)
{
    const std::string body = Publish(L"plain-route.bin", 5000, 21);
    for (const bool directWritten : {false, true}) {
        SCOPED_TRACE(directWritten ? "settings saying direct" : "no settings at all");
        if (directWritten) UseSettings(kDirect, "");
        EXPECT_EQ(DownloadedVia(kBase + L"plain-route.bin" + FreshQuery(), body), "direct");
        const std::wstring tail = L"plain-route.bin" + FreshQuery();
        EXPECT_EQ(DownloadedVia(kProxiedBase + tail, body), "failed: 发送请求失败") << "the name resolves nowhere";
        EXPECT_TRUE(ProxyLogLines(WideToUtf8(tail)).empty());
    }
}

TEST_F(ProxyTest, FixedProxyCarriesManifestAndDownloadsExceptWhatItsBypassListNames)
{
    UseSettings(kFixedProxy, kProxy, "*.bypassed.test;<local>");
    const std::string manifest = Publish(L"proxied-manifest.json", 3000, 22);
    const std::wstring manifestTail = L"proxied-manifest.json" + FreshQuery();
    EXPECT_TRUE(Fetched(kProxiedBase + manifestTail) == manifest);
    EXPECT_EQ(ProxyLogLines(WideToUtf8(manifestTail)).size(), 1u);

    const std::string body = Publish(L"proxied.bin", 100000, 23);
    struct Row {
        std::wstring base;
        std::string via;
        size_t proxyLines;
        const char* why;
    } rows[] = {
        {kProxiedBase, kProxy, 1, "a name only the proxy can reach"},
        {kProxiedSecureBase, kProxy, 1, "https through a CONNECT tunnel"},
        {kBase, "direct", 0, "loopback never goes to a proxy"},
        {kBypassedBase, "failed: 发送请求失败", 0, "a bypass entry: direct, where the name resolves nowhere"},
    };
    // A tunnel shows in the log by its host and port only.
    const std::string tunnel = "CONNECT updates.quillmere.test:" + std::to_string(HTTPS_TEST_PORT) + " ";
    for (const Row& row : rows) {
        const std::wstring tail = L"proxied.bin" + FreshQuery();
        const std::string logged = row.base == kProxiedSecureBase ? tunnel : WideToUtf8(tail);
        const size_t before = ProxyLogLines(logged).size();
        EXPECT_EQ(DownloadedVia(row.base + tail, body), row.via) << row.why;
        EXPECT_EQ(ProxyLogLines(logged).size() - before, row.proxyLines) << row.why;
    }
}

TEST_F(ProxyTest, PacScriptChoosesTheProxyPerHostAndADeadProxyIsPassedBy)
{
    WriteFileBytes(root + L"\\proxy.pac",
                   "function FindProxyForURL(url, host) {\n"
                   "  if (host == \"updates.quillmere.test\") return \"PROXY " + kProxy + "\";\n"
                   "  if (host == \"localhost\") return \"PROXY " + kDeadProxy + "\";\n"
                   "  return \"DIRECT\";\n"
                   "}\n");
    UseSettings(kScript, "", "", "http://" + kProxy + "/proxy.pac");
    const std::string body = Publish(L"scripted.bin", 40000, 24);
    struct Row {
        std::wstring base;
        std::string via;
        size_t proxyLines;
        const char* why;
    } rows[] = {
        {kProxiedBase, kProxy, 1, "the script names the proxy"},
        {kBase, "direct", 0, "the script says DIRECT"},
        {kLocalhostBase, "direct", 0, "the script names a proxy that is down: straight to the server"},
    };
    for (const Row& row : rows) {
        const std::wstring tail = L"scripted.bin" + FreshQuery();
        EXPECT_EQ(DownloadedVia(row.base + tail, body), row.via) << row.why;
        EXPECT_EQ(ProxyLogLines(WideToUtf8(tail)).size(), row.proxyLines) << row.why;
    }
    // https is a route of its own, so the manifest meets the dead proxy afresh.
    const std::wstring secureLocalhost = L"https://localhost:" + std::to_wstring(HTTPS_TEST_PORT) + L"/new/quillmere/update/";
    EXPECT_TRUE(Fetched(secureLocalhost + L"scripted.bin" + FreshQuery()) == body) << "the manifest passes it by too";
}

TEST_F(ProxyTest, ProxyAskingForAPasswordEndsTheAttemptWithoutAFile)
{
    UseSettings(kFixedProxy, kAuthProxy);
    Publish(L"guarded.bin", 1000, 25);
    const std::wstring tail = L"guarded.bin" + FreshQuery();
    std::wstring fetchError;
    EXPECT_EQ(Fetched(kProxiedBase + tail, {}, &fetchError), "");
    EXPECT_EQ(fetchError, L"代理服务器需要身份验证 (HTTP 407)");
    std::wstring error;
    EXPECT_FALSE(Fetch(kProxiedBase + tail, dest, nullptr, &error));
    EXPECT_EQ(error, L"代理服务器需要身份验证 (HTTP 407)");
    EXPECT_FALSE(FileExists(dest));
    const std::vector<std::string> asked = ProxyLogLines(WideToUtf8(tail));
    EXPECT_EQ(asked.size(), 2u) << "one request each, not sent again with a password";
    for (const std::string& line : asked) EXPECT_NE(line.find(" 407 "), std::string::npos) << line;
}

}  // namespace
