#include <gtest/gtest.h>

#include <shlobj.h>
#include <shobjidl.h>

#include <filesystem>
#include <thread>

#include "WineTestSupport_win32.h"
#include "BuildConfig.h"
#include "agentconfig/StateDirectory.h"
#include "install/Install.h"
#include "vault/Vault.h"
#include "manifest/Manifest.h"
#include "shell/Messages.h"
#include "shell/Settings.h"
#include "shell/Text.h"

namespace fs = std::filesystem;

namespace {

const std::wstring kBase = L"http://127.0.0.1:" + std::to_wstring(HTTP_TEST_PORT) + L"/new/quillmere/update/";

ManifestPackage Package(const char* id, const std::string& file, int64_t size = 1000)
{
    return {id, file, std::string("包 ") + id, size, false, false};
}

ManifestSkill Skill(const char* id, const std::string& file, bool required, bool selected)
{
    return {id, file, "", "", 100, required, selected};
}

// Runs the worker on its own thread, as the wizard does, while this thread plays the
// window; `onMessage` sees every message as it arrives and may act (e.g. cancel).
std::vector<ReceivedMessage> RunInstall(const std::function<void(const ReceivedMessage&)>& onMessage = {})
{
    std::vector<ReceivedMessage> all;
    std::atomic<bool> finished{false};
    std::thread worker([&finished] {
        DoInstall();
        finished = true;
    });
    bool workerDone = false;
    while (!workerDone) {
        workerDone = finished.load();
        Sleep(20);
        for (ReceivedMessage& m : DrainInstallMessages()) {
            if (onMessage) onMessage(m);
            all.push_back(std::move(m));
        }
    }
    worker.join();
    for (ReceivedMessage& m : DrainInstallMessages()) all.push_back(std::move(m));
    return all;
}

std::vector<std::wstring> Texts(const std::vector<ReceivedMessage>& messages, unsigned kind)
{
    std::vector<std::wstring> texts;
    for (const ReceivedMessage& m : messages)
        if (m.message == kind) texts.push_back(m.text);
    return texts;
}

std::vector<int> Percents(const std::vector<ReceivedMessage>& messages)
{
    std::vector<int> values;
    for (const ReceivedMessage& m : messages)
        if (m.message == WM_INSTALL_PROGRESS) values.push_back(static_cast<int>(m.wParam));
    return values;
}

int DoneMessages(const std::vector<ReceivedMessage>& messages, WPARAM outcome)
{
    int count = 0;
    for (const ReceivedMessage& m : messages) count += m.message == WM_INSTALL_DONE && m.wParam == outcome;
    return count;
}

// Fails with the whole log in the message, which is what one needs to see when a line is missing.
::testing::AssertionResult HasLine(const std::vector<std::wstring>& lines, const std::wstring& line)
{
    if (std::find(lines.begin(), lines.end(), line) != lines.end()) return ::testing::AssertionSuccess();
    std::string all;
    for (const std::wstring& l : lines) all += "\n  | " + WideToUtf8(l);
    return ::testing::AssertionFailure() << "missing line \"" << WideToUtf8(line) << "\" in:" << all;
}

class DoInstallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CancelRequested = false;
        window = CreateMessageSinkWindow();
        root = WindowsPathFromUnix(HTTP_TEST_ROOT);
        CreateDirectoryW(root.c_str(), nullptr);
        WriteFileBytes(root + L"\\pkg-a.bin", PatternBytes(20000, 1));
        WriteFileBytes(root + L"\\pkg-b.bin", PatternBytes(30000, 2));
        Manifest = ReleaseManifest{};
        Manifest.baseUrl = kBase;
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        Settings.installPath = L"C:\\QuillmereTests\\" + Utf8ToWide(name);
        fs::remove_all(fs::path(Settings.installPath));
        originalPath = ReadEnvironment(L"PATH");
        SetEnvironmentVariableW(L"PATH", (L"C:\\windows\\system32;C:\\windows;" + originalPath).c_str());
        SetEnvironmentVariableW(L"STUB_NODE_VERSION", nullptr);
        SetEnvironmentVariableW(L"STUB_NPM_SLOW_MS", nullptr);
        RemovePlaywrightFolder();
    }

    void TearDown() override
    {
        SetEnvironmentVariableW(L"PATH", originalPath.c_str());
        SetEnvironmentVariableW(L"STUB_NODE_VERSION", nullptr);
        SetEnvironmentVariableW(L"STUB_NPM_SLOW_MS", nullptr);
        RemovePlaywrightFolder();
        DestroyMessageSinkWindow(window);
        CancelRequested = false;
    }

    static std::wstring ReadEnvironment(const wchar_t* name)
    {
        wchar_t buffer[32767] = {};
        GetEnvironmentVariableW(name, buffer, 32767);
        return buffer;
    }

    static fs::path PlaywrightFolder()
    {
        return fs::path(ReadEnvironment(L"LOCALAPPDATA")) / L"ms-playwright";
    }

    static void RemovePlaywrightFolder()
    {
        std::error_code ignored;
        fs::remove_all(PlaywrightFolder(), ignored);
    }

    static void PutStubsOnPath()
    {
        SetEnvironmentVariableW(L"PATH", (WindowsPathFromUnix(STUBS_DIR) + L";" + ReadEnvironment(L"PATH")).c_str());
    }

    void PutNodeStubOnPath(const wchar_t* version)
    {
        PutStubsOnPath();
        SetEnvironmentVariableW(L"STUB_NODE_VERSION", version);
    }

    void MakeSkillFolder(const wchar_t* name, bool withPackage, bool failing = false)
    {
        const fs::path folder = fs::path(Settings.installPath) / L"skills" / name;
        fs::create_directories(folder);
        if (withPackage) WriteFileBytes((folder / L"package.json").wstring(), "{}");
        if (failing) WriteFileBytes((folder / L"npm-fails").wstring(), "");
    }

    HWND window = nullptr;
    std::wstring root;
    std::wstring originalPath;
};

TEST_F(DoInstallTest, StepPlanAndEveryPercentageOfASuccessfulRun)
{
    PutNodeStubOnPath(L"v22.0.0");
    Manifest.packages = {Package("node", "node.msi", 2048), Package("a", "pkg-a.bin"), Package("b", "pkg-b.bin")};
    Manifest.skills = {Skill("s1", "no-such-skill.zip", true, false), Skill("s2", "pkg-b.bin", false, true),
                       Skill("s3", "pkg-a.bin", false, false)};
    const auto messages = RunInstall();

    EXPECT_EQ(Percents(messages), (std::vector<int>{12, 25, 37, 50, 62, 75, 87, 100}));
    const auto log = Texts(messages, WM_INSTALL_LOG);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), L"正在检测本地环境...");
    EXPECT_TRUE(HasLine(log, L"  Node.js 已安装: v22.0.0，跳过下载 (2.0 KB)"));
    EXPECT_TRUE(HasLine(log, L"本地已有组件可节省下载: 2.0 KB"));
    EXPECT_TRUE(HasLine(log, L"跳过: 包 node (本地已存在)"));
    EXPECT_TRUE(HasLine(log, L"下载: pkg-a.bin (1000 B)"));
    EXPECT_TRUE(HasLine(log, L"  [警告] 下载失败: s1 - HTTP 404")) << "a failed skill is only a warning";
    EXPECT_TRUE(HasLine(log, L"安装目录: " + Settings.installPath));
    EXPECT_TRUE(fs::is_directory(fs::path(Settings.installPath)));
    const auto statuses = Texts(messages, WM_INSTALL_STATUS);
    EXPECT_EQ(statuses.front(), L"检测本地环境...");
    EXPECT_EQ(statuses.back(), L"安装完成！");
    EXPECT_EQ(DoneMessages(messages, 1), 1);
    EXPECT_FALSE(InstallRunning.load());
    EXPECT_EQ(Texts(messages, WM_INSTALL_DETAIL).back(), L"") << "the detail line is cleared after a download";
}

TEST_F(DoInstallTest, NodeIsSkippedOnlyFromMajorVersion22)
{
    struct Row {
        const wchar_t* version;
        bool present;
    } rows[] = {{L"v22.0.0", true}, {L"v23.1.0", true}, {L"v21.7.3", false}, {nullptr, false}};
    for (const Row& row : rows) {
        if (row.version) PutNodeStubOnPath(row.version);
        Manifest.packages = {Package("node", "pkg-a.bin")};
        const auto log = Texts(RunInstall(), WM_INSTALL_LOG);
        const bool skipped = static_cast<bool>(HasLine(log, L"跳过: 包 node (本地已存在)"));
        EXPECT_EQ(skipped, row.present) << (row.version ? WideToUtf8(row.version) : "no node on the PATH");
        EXPECT_EQ(static_cast<bool>(HasLine(log, L"下载: pkg-a.bin (1000 B)")), !row.present);
    }
}

TEST_F(DoInstallTest, PlaywrightIsSkippedOnlyWhenItsFolderHasContent)
{
    Manifest.packages = {Package("playwright", "pkg-b.bin")};
    fs::create_directories(PlaywrightFolder());
    EXPECT_FALSE(static_cast<bool>(HasLine(Texts(RunInstall(), WM_INSTALL_LOG), L"跳过: 包 playwright (本地已存在)")))
        << "an empty folder is what an interrupted download leaves";
    WriteFileBytes((PlaywrightFolder() / L"chromium.txt").wstring(), "browser");
    const auto log = Texts(RunInstall(), WM_INSTALL_LOG);
    EXPECT_TRUE(HasLine(log, L"  Playwright 浏览器引擎已存在，跳过下载 (1000 B)"));
    EXPECT_TRUE(HasLine(log, L"跳过: 包 playwright (本地已存在)"));
}

TEST_F(DoInstallTest, ThirdAttemptSucceedsAfterTwoRetryLines)
{
    Manifest.packages = {Package("a", "_fault=flaky,2/pkg-a.bin")};
    const auto messages = RunInstall();
    const auto log = Texts(messages, WM_INSTALL_LOG);
    EXPECT_TRUE(HasLine(log, L"  下载失败 - HTTP 500，3秒后重试 (1/3)..."));
    EXPECT_TRUE(HasLine(log, L"  下载失败 - HTTP 500，3秒后重试 (2/3)..."));
    EXPECT_EQ(Texts(messages, WM_INSTALL_STATUS).back(), L"安装完成！");
    EXPECT_EQ(DoneMessages(messages, 1), 1);
}

TEST_F(DoInstallTest, ThreeFailedAttemptsEndTheRunWithDownloadFailed)
{
    Manifest.packages = {Package("a", "missing.bin"), Package("b", "pkg-b.bin")};
    const auto messages = RunInstall();
    const auto log = Texts(messages, WM_INSTALL_LOG);
    EXPECT_EQ(log.back(), L"  [错误] 下载失败: missing.bin - HTTP 404");
    EXPECT_FALSE(static_cast<bool>(HasLine(log, L"下载: pkg-b.bin (1000 B)"))) << "nothing after the failed package";
    EXPECT_EQ(Texts(messages, WM_INSTALL_STATUS).back(), L"下载失败");
    EXPECT_EQ(DoneMessages(messages, 0), 1);
    EXPECT_TRUE(Percents(messages).empty());
}

TEST_F(DoInstallTest, CancelDuringADownloadEndsWithCancelledAndNoPartialFile)
{
    WriteFileBytes(root + L"\\slow.bin", PatternBytes(16384 * 20, 5));
    Manifest.packages = {Package("a", "_fault=slow,200/slow.bin")};
    const auto messages = RunInstall([](const ReceivedMessage& m) {
        if (m.message == WM_INSTALL_DETAIL) CancelRequested = true;
    });
    const auto log = Texts(messages, WM_INSTALL_LOG);
    EXPECT_EQ(log.back(), L"  [错误] 下载失败: _fault=slow,200/slow.bin - 用户取消");
    EXPECT_EQ(Texts(messages, WM_INSTALL_STATUS).back(), L"已取消");
    EXPECT_EQ(DoneMessages(messages, 0), 1);
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    EXPECT_FALSE(fs::exists(fs::path(temp) / L"Quillmere_Setup" / L"_fault=slow,200" / L"slow.bin"));
}

TEST_F(DoInstallTest, CancelDuringThePauseBetweenAttemptsEndsAfterTheNextAttempt)
{
    Manifest.packages = {Package("a", "_fault=flaky,3/pkg-a.bin"), Package("b", "pkg-b.bin")};
    const auto messages = RunInstall([](const ReceivedMessage& m) {
        if (m.message == WM_INSTALL_LOG && m.text.find(L"(1/3)") != std::wstring::npos) CancelRequested = true;
    });
    const auto log = Texts(messages, WM_INSTALL_LOG);
    EXPECT_FALSE(HasLine(log, L"  下载失败 - HTTP 500，3秒后重试 (2/3)...")) << "no retry once cancelled";
    EXPECT_EQ(log.back(), L"  [错误] 下载失败: _fault=flaky,3/pkg-a.bin - HTTP 500");
    EXPECT_EQ(Texts(messages, WM_INSTALL_STATUS).back(), L"已取消");
    EXPECT_EQ(DoneMessages(messages, 0), 1);
}

TEST_F(DoInstallTest, PackageNamesThatLeaveTheDownloadFolderAreNeverFetched)
{
    for (const char* file : {"../escape.bin", "sub/../../escape.bin", "C:/Windows/escape.bin", "\\\\server\\share\\x.bin",
                             "/escape.bin"}) {
        Manifest.packages = {Package("a", file), Package("b", "pkg-b.bin")};
        const auto messages = RunInstall();
        const auto log = Texts(messages, WM_INSTALL_LOG);
        EXPECT_EQ(log.back(), L"  [错误] 下载失败: " + Utf8ToWide(file) + L" - 文件名无效") << file;
        EXPECT_FALSE(HasLine(log, L"下载: pkg-b.bin (1000 B)")) << "the run ends there";
        EXPECT_EQ(Texts(messages, WM_INSTALL_STATUS).back(), L"下载失败");
        EXPECT_EQ(DoneMessages(messages, 0), 1);
    }
}

TEST_F(DoInstallTest, InstallDirectoryThatCannotBeCreatedFailsTheRun)
{
    WriteFileBytes(L"C:\\QuillmereTests\\blocker", "a file where a folder should go");
    Settings.installPath = L"C:\\QuillmereTests\\blocker\\inside";
    Manifest.packages = {Package("a", "pkg-a.bin")};
    const auto messages = RunInstall();
    EXPECT_EQ(Texts(messages, WM_INSTALL_LOG).back(), L"[错误] 无法创建安装目录！");
    EXPECT_EQ(Texts(messages, WM_INSTALL_STATUS).back(), L"安装失败");
    EXPECT_EQ(DoneMessages(messages, 0), 1);
}

TEST_F(DoInstallTest, NpmRelaysTheProductsOutputAndInstallsEachSkillWithAPackage)
{
    PutStubsOnPath();
    Manifest.packages = {Package("a", "pkg-a.bin")};
    MakeSkillFolder(L"with-package", true);
    MakeSkillFolder(L"without-package", false);
    MakeSkillFolder(L"broken", true, true);
    const auto messages = RunInstall();
    const auto log = Texts(messages, WM_INSTALL_LOG);
    EXPECT_TRUE(HasLine(log, L"  执行 npm install --omit=dev --ignore-scripts --legacy-peer-deps"));
    EXPECT_TRUE(HasLine(log, L"  added 3 packages, and audited 4 packages in 1s")) << "npm's lines reach the log";
    EXPECT_FALSE(HasLine(log, L"  ")) << "empty output lines are skipped";
    EXPECT_TRUE(HasLine(log, L"  npm install 完成"));
    EXPECT_TRUE(fs::exists(fs::path(Settings.installPath) / L"node_modules" / L".package-lock.json"));
    EXPECT_TRUE(HasLine(log, L"  安装依赖: with-package"));
    EXPECT_FALSE(HasLine(log, L"  安装依赖: without-package"));
    EXPECT_TRUE(HasLine(log, L"    [警告] broken npm install 失败 (退出码: 1)"));
    EXPECT_TRUE(HasLine(log, L"  Skills 依赖安装完成 (1 个)")) << "only the successful folder counts";
    EXPECT_TRUE(fs::exists(fs::path(Settings.installPath) / L"skills" / L"with-package" / L"node_modules"));
    EXPECT_EQ(Texts(messages, WM_INSTALL_STATUS).back(), L"安装完成！");
}

TEST_F(DoInstallTest, MissingNpmIsAWarningAndTheRunGoesOn)
{
    Manifest.packages = {Package("a", "pkg-a.bin")};
    const auto messages = RunInstall();
    const auto log = Texts(messages, WM_INSTALL_LOG);
    EXPECT_TRUE(HasLine(log, L"  可稍后手动执行: npm install --omit=dev --ignore-scripts --legacy-peer-deps"))
        << "cmd.exe starts but cannot find npm";
    EXPECT_TRUE(HasLine(Texts(messages, WM_INSTALL_STATUS), L"正在安装 Skills 依赖..."));
    EXPECT_FALSE(HasLine(log, L"  Skills 依赖安装完成 (0 个)")) << "no skills folder, no summary";
    EXPECT_EQ(Texts(messages, WM_INSTALL_STATUS).back(), L"安装完成！");
}

TEST_F(DoInstallTest, SkillsWithoutPackageJsonCountNothing)
{
    PutStubsOnPath();
    Manifest.packages = {Package("a", "pkg-a.bin")};
    MakeSkillFolder(L"without-package", false);
    const auto log = Texts(RunInstall(), WM_INSTALL_LOG);
    EXPECT_FALSE(HasLine(log, L"  安装依赖: without-package"));
    EXPECT_TRUE(HasLine(log, L"  Skills 依赖安装完成 (0 个)"));
}

TEST_F(DoInstallTest, CancelDuringTheProductsNpmEndsWithoutADoneMessage)
{
    PutStubsOnPath();
    SetEnvironmentVariableW(L"STUB_NPM_SLOW_MS", L"20000");
    Manifest.packages = {Package("a", "pkg-a.bin")};
    const DWORD started = GetTickCount();
    const auto messages = RunInstall([](const ReceivedMessage& m) {
        if (m.message == WM_INSTALL_LOG && m.text.rfind(L"  npm http fetch", 0) == 0) CancelRequested = true;
    });
    EXPECT_LT(GetTickCount() - started, 15000u) << "the child tree is stopped, not waited for";
    const auto log = Texts(messages, WM_INSTALL_LOG);
    EXPECT_TRUE(HasLine(log, L"  [警告] npm install 退出码: 1"));
    EXPECT_EQ(log.back(), L"  可稍后手动执行: npm install --omit=dev --ignore-scripts --legacy-peer-deps");
    EXPECT_EQ(Texts(messages, WM_INSTALL_STATUS).back(), L"已取消");
    EXPECT_EQ(DoneMessages(messages, 0) + DoneMessages(messages, 1), 0);
    EXPECT_FALSE(InstallRunning.load());
}

void PutLittleEndian(std::string& out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A stored (uncompressed) archive; the extractor does not check CRCs, so they are left 0.
std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& files)
{
    std::string archive, central;
    for (const auto& [name, data] : files) {
        const size_t offset = archive.size();
        PutLittleEndian(archive, 0x04034b50, 4);
        PutLittleEndian(archive, 20, 2);
        PutLittleEndian(archive, 0x0800, 2);  // UTF-8 names
        PutLittleEndian(archive, 0, 2 + 2 + 2 + 4);
        PutLittleEndian(archive, data.size(), 4);
        PutLittleEndian(archive, data.size(), 4);
        PutLittleEndian(archive, name.size(), 2);
        PutLittleEndian(archive, 0, 2);
        archive += name + data;
        PutLittleEndian(central, 0x02014b50, 4);
        PutLittleEndian(central, 20, 2);
        PutLittleEndian(central, 20, 2);
        PutLittleEndian(central, 0x0800, 2);
        PutLittleEndian(central, 0, 2 + 2 + 2 + 4);
        PutLittleEndian(central, data.size(), 4);
        PutLittleEndian(central, data.size(), 4);
        PutLittleEndian(central, name.size(), 2);
        PutLittleEndian(central, 0, 2 + 2 + 2 + 2 + 4);
        PutLittleEndian(central, offset, 4);
        central += name;
    }
    const size_t centralOffset = archive.size();
    archive += central;
    PutLittleEndian(archive, 0x06054b50, 4);
    PutLittleEndian(archive, 0, 4);
    PutLittleEndian(archive, files.size(), 2);
    PutLittleEndian(archive, files.size(), 2);
    PutLittleEndian(archive, central.size(), 4);
    PutLittleEndian(archive, centralOffset, 4);
    PutLittleEndian(archive, 0, 2);
    return archive;
}

TEST_F(DoInstallTest, PackagesAndSkillsArePutInPlaceByTheirKind)
{
    WriteFileBytes(root + L"\\product.zip", StoredZip({{"launcher.exe", "MZ"}, {"config-files/readme.txt", "hi"}}));
    WriteFileBytes(root + L"\\skill-a.zip", StoredZip({{"SKILL.md", "# a"}, {"package.json", "{}"}}));
    WriteFileBytes(root + L"\\skill-b.zip", StoredZip({{"SKILL.md", "# b"}}));
    CreateDirectoryW((root + L"\\tools").c_str(), nullptr);
    WriteFileBytes(root + L"\\tools\\tool.txt", "tool");
    ManifestPackage product = Package("quillmere", "product.zip");
    product.extract = true;
    Manifest.packages = {product, Package("tool", "tools/tool.txt")};
    Manifest.skills = {Skill("a", "skill-a.zip", true, false), Skill("b", "skill-b.zip", false, false),
                       Skill("../evil", "skill-b.zip", false, true)};
    Manifest.skills[0].name = "技能甲";
    const auto messages = RunInstall();
    const auto log = Texts(messages, WM_INSTALL_LOG);
    const fs::path install(Settings.installPath);
    EXPECT_EQ(ReadFileBytes((install / "launcher.exe").wstring()), "MZ");
    EXPECT_EQ(ReadFileBytes((install / "config-files" / "readme.txt").wstring()), "hi");
    EXPECT_EQ(ReadFileBytes((install / "tool.txt").wstring()), "tool") << "copied under its file name alone";
    EXPECT_EQ(ReadFileBytes((install / "skills" / "a" / "SKILL.md").wstring()), "# a")
        << "a required skill is installed although unticked";
    EXPECT_FALSE(fs::exists(install / "skills" / "b")) << "an unticked optional skill is not";
    EXPECT_FALSE(fs::exists(install / "evil")) << "a skill id that climbs out is refused";
    EXPECT_TRUE(HasLine(log, L"  技能甲 安装完成"));
    EXPECT_TRUE(HasLine(log, L"  [警告] 下载失败: ../evil - 文件名无效"));
    EXPECT_TRUE(HasLine(log, L"Skills 安装完成 (2 个技能)"));
    EXPECT_TRUE(HasLine(log, L"  安装依赖: a")) << "the skill's package.json gets its npm install";
    EXPECT_EQ(Texts(messages, WM_INSTALL_STATUS).back(), L"安装完成！");

    // A second installation over the first replaces the copied file.
    WriteFileBytes(root + L"\\tools\\tool.txt", "tool v2");
    const auto again = RunInstall();
    EXPECT_EQ(ReadFileBytes((install / "tool.txt").wstring()), "tool v2");
    EXPECT_TRUE(HasLine(Texts(again, WM_INSTALL_LOG), L"  tools/tool.txt → " + Settings.installPath));
}

TEST_F(DoInstallTest, NodeIsInstalledThroughMsiexecAndItsFolderReachesOurPath)
{
    // The package rewrites the machine PATH; put it back so that later runs find no node there.
    constexpr wchar_t kMachineEnvironment[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
    std::wstring savedPath(16384, L'\0');
    DWORD savedBytes = static_cast<DWORD>(savedPath.size() * sizeof(wchar_t));
    DWORD savedType = 0;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kMachineEnvironment, L"Path", RRF_RT_ANY | RRF_NOEXPAND, &savedType,
                           savedPath.data(), &savedBytes),
              ERROR_SUCCESS);
    struct RestorePath {
        const wchar_t* key;
        const std::wstring& value;
        DWORD type;
        DWORD bytes;
        ~RestorePath() { RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"Path", type, value.data(), bytes); }
    } restore{kMachineEnvironment, savedPath, savedType, savedBytes};

    WriteFileBytes(root + L"\\node-stub.msi", ReadFileBytes(WindowsPathFromUnix(STUBS_DIR) + L"\\node-stub.msi"));
    ManifestPackage node = Package("node", "node-stub.msi");
    node.extract = true;  // still installed through msiexec, never unpacked
    Manifest.packages = {node};
    const auto log = Texts(RunInstall(), WM_INSTALL_LOG);
    EXPECT_TRUE(HasLine(log, L"  正在安装 Node.js: node-stub.msi"));
    EXPECT_TRUE(HasLine(log, L"  Node.js 安装成功"));
    const std::wstring path = ReadEnvironment(L"PATH");
    EXPECT_NE(path.find(L"QuillmereTestNode"), std::wstring::npos) << WideToUtf8(path);
    EXPECT_EQ(path.find(L'%'), std::wstring::npos) << "references are expanded: " << WideToUtf8(path);
    EXPECT_NE(path.find(L"C:\\windows\\system32;"), std::wstring::npos) << WideToUtf8(path);
}

TEST_F(DoInstallTest, AFailingNodeInstallerIsAWarning)
{
    Manifest.packages = {Package("node", "pkg-a.bin")};
    const auto messages = RunInstall();
    const auto log = Texts(messages, WM_INSTALL_LOG);
    const bool warned = std::any_of(log.begin(), log.end(), [](const std::wstring& line) {
        return line.rfind(L"  [警告] Node.js 安装退出码: ", 0) == 0;
    });
    EXPECT_TRUE(warned) << "a file that is no installer package makes msiexec fail";
    EXPECT_FALSE(HasLine(log, L"  Node.js 安装成功"));
    EXPECT_EQ(Texts(messages, WM_INSTALL_STATUS).back(), L"安装完成！");
}

TEST_F(DoInstallTest, AProductArchiveThatYieldsNothingFailsTheRun)
{
    ManifestPackage product = Package("quillmere", "pkg-a.bin");
    product.extract = true;
    Manifest.packages = {product, Package("b", "pkg-b.bin")};
    const auto messages = RunInstall();
    EXPECT_EQ(Texts(messages, WM_INSTALL_LOG).back(), L"  [错误] 解压失败: pkg-a.bin");
    EXPECT_EQ(Texts(messages, WM_INSTALL_STATUS).back(), L"安装失败");
    EXPECT_EQ(DoneMessages(messages, 0), 1);
}

void WriteTree(const fs::path& root, const std::vector<std::pair<std::string, std::string>>& files)
{
    for (const auto& [name, bytes] : files) {
        fs::create_directories((root / name).parent_path());
        WriteFileBytes((root / name).wstring(), bytes);
    }
}

TEST_F(DoInstallTest, ConfigurationPhaseWritesEveryFileTheAgentReads)
{
    const fs::path install(Settings.installPath);
    WriteTree(install, {{"config-files/harrowby.json", "{\n  \"plugins\": {\n    \"entries\": {\"x\": {}}\n  },\n"
                                                       "  \"ai\": {\"baseUrl\": \"http://old\"},\n  \"gateway\": {\"port\": 18789}\n}\n"},
                        {"config-files/auth-profiles.json", "{\"key\": \"__API_KEY_PLACEHOLDER__\"}"},
                        {"dist/canvas-host/a2ui/quillmere.html", "<html></html>"},
                        {"dist/canvas-host/a2ui/a2ui.bundle.js", "bundle"}});
    const fs::path state = StateDirectoryUnder(UserProfileDirectory()).stateDir;
    fs::remove_all(state);
    Settings.apiKey = L"sk-\"quoted\"";
    Settings.model = L"qwen3.5-plus";
    Settings.port = L"18789";
    Settings.apiProvider = 0;
    Settings.dashscopeKey = L"sk-多模态";
    Manifest.packages = {Package("a", "pkg-a.bin")};
    const auto log = Texts(RunInstall(), WM_INSTALL_LOG);

    EXPECT_EQ(ReadFileBytes((install / "config.json").wstring()),
              "\xEF\xBB\xBF{\n  \"apiKey\": \"sk-\\\"quoted\\\"\",\n  \"model\": \"qwen3.5-plus\",\n"
              "  \"dashscopeApiKey\": \"sk-\xE5\xA4\x9A\xE6\xA8\xA1\xE6\x80\x81\",\n  \"gatewayPort\": 18789\n}\n")
        << "a quotation mark in a key is escaped, so the file stays JSON";
    const std::string agentConfig = ReadFileBytes((state / "harrowby.json").wstring());
    EXPECT_EQ(agentConfig.find("entries"), std::string::npos) << "plugin entries removed";
    EXPECT_NE(agentConfig.find("https://dashscope.aliyuncs.com/compatible-mode/v1"), std::string::npos);
    EXPECT_NE(agentConfig.find("\"mode\": \"local\""), std::string::npos);
    EXPECT_EQ(ReadFileBytes((state / "agents" / "main" / "agent" / "auth-profiles.json").wstring()),
              "{\"key\": \"sk-\\\"quoted\\\"\"}");
    EXPECT_EQ(DecryptCredential(ReadFileBytes((state / "credentials" / "qwen-portal_default").wstring())),
              "sk-\"quoted\"");
    EXPECT_EQ(DecryptCredential(ReadFileBytes((state / "credentials" / "dashscope-native").wstring())),
              "sk-\xE5\xA4\x9A\xE6\xA8\xA1\xE6\x80\x81");
    EXPECT_EQ(ReadFileBytes((state / "canvas" / "quillmere.html").wstring()), "<html></html>");
    EXPECT_EQ(ReadFileBytes((state / "canvas" / "a2ui.bundle.js").wstring()), "bundle");
    EXPECT_TRUE(HasLine(log, L"  配置文件已写入: config.json"));
    EXPECT_TRUE(HasLine(log, L"  harrowby.json → " + state.wstring()));
    EXPECT_TRUE(HasLine(log, L"  已清理 plugins.entries"));
    EXPECT_TRUE(HasLine(log, L"  API Key 已加密写入凭据文件"));
    EXPECT_TRUE(HasLine(log, L"  多模态 API Key 已加密写入凭据文件"));
    EXPECT_TRUE(HasLine(log, L"  stateDir → %USERPROFILE%\\.harrowby (默认)"));

    // A second installation replaces every file the first one copied.
    WriteTree(install, {{"config-files/harrowby.json", "{\n  \"v\": 2,\n  \"gateway\": {\"mode\": \"x\"}\n}\n"},
                        {"config-files/auth-profiles.json", "{\"v\": 2}"},
                        {"dist/canvas-host/a2ui/quillmere.html", "<html>2</html>"},
                        {"dist/canvas-host/a2ui/a2ui.bundle.js", "bundle 2"}});
    Settings.apiKey.clear();
    const auto again = RunInstall();
    EXPECT_EQ(Texts(again, WM_INSTALL_STATUS).back(), L"安装完成！");
    EXPECT_NE(ReadFileBytes((state / "harrowby.json").wstring()).find("\"v\": 2"), std::string::npos);
    EXPECT_EQ(ReadFileBytes((state / "agents" / "main" / "agent" / "auth-profiles.json").wstring()), "{\"v\": 2}")
        << "without a key the template is copied over the old file";
    EXPECT_EQ(ReadFileBytes((state / "canvas" / "quillmere.html").wstring()), "<html>2</html>");
    EXPECT_EQ(ReadFileBytes((state / "canvas" / "a2ui.bundle.js").wstring()), "bundle 2");
    fs::remove_all(state);
}

TEST_F(DoInstallTest, AnAgentConfigurationThatCannotBeReadIsLeftAsItIs)
{
    const fs::path state = StateDirectoryUnder(UserProfileDirectory()).stateDir;
    fs::remove_all(state);
    fs::create_directories(state);
    const std::string old = "{\n  \"kept\": true\n}\n";
    WriteFileBytes((state / "harrowby.json").wstring(), old);
    Manifest.packages = {Package("a", "pkg-a.bin")};
    // Held open without sharing, as another program may hold it: the minimal text cannot be
    // written, and reading it back gives nothing.
    HANDLE held = CreateFileW((state / "harrowby.json").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto messages = RunInstall();
    CloseHandle(held);
    EXPECT_EQ(ReadFileBytes((state / "harrowby.json").wstring()), old) << "never written back empty";
    EXPECT_FALSE(HasLine(Texts(messages, WM_INSTALL_LOG), L"  skills.load.extraDirs → C:/Quillmere/skills"));
    EXPECT_EQ(Texts(messages, WM_INSTALL_STATUS).back(), L"安装完成！");
    fs::remove_all(state);
}

// Restores an environment variable of this process when the test ends.
class SavedVariable {
public:
    explicit SavedVariable(const wchar_t* name) : name_(name)
    {
        wchar_t value[32768];
        const DWORD length = GetEnvironmentVariableW(name, value, 32768);
        present_ = length > 0;
        if (present_) value_.assign(value, length);
    }
    ~SavedVariable() { SetEnvironmentVariableW(name_, present_ ? value_.c_str() : nullptr); }

private:
    const wchar_t* name_;
    std::wstring value_;
    bool present_ = false;
};

TEST(UserProfileDirectory, EnvironmentFirstThenTheShellsProfileFolder)
{
    const SavedVariable saved(L"USERPROFILE");
    wchar_t shell[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, shell)));

    SetEnvironmentVariableW(L"USERPROFILE", L"C:\\Profiles\\someone");
    EXPECT_EQ(UserProfileDirectory().wstring(), L"C:\\Profiles\\someone");
    SetEnvironmentVariableW(L"USERPROFILE", nullptr);
    EXPECT_EQ(UserProfileDirectory().wstring(), shell) << "unset: never the relative .harrowby";
    SetEnvironmentVariableW(L"USERPROFILE", (L"C:\\" + std::wstring(300, L'p')).c_str());
    EXPECT_EQ(UserProfileDirectory().wstring(), shell) << "too long for the buffer";
    SetEnvironmentVariableW(L"USERPROFILE", L"");
    EXPECT_EQ(UserProfileDirectory().wstring(), shell) << "empty";
}

std::wstring StoredValue(const wchar_t* name)
{
    wchar_t buffer[1024] = {};
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_CURRENT_USER, kSettingsRegistryKey, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return L"<missing>";
    return buffer;
}

struct ShortcutFields {
    std::wstring target, directory, description;
};

ShortcutFields ReadShortcut(const std::wstring& path)
{
    ShortcutFields fields;
    CoInitialize(nullptr);
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link))) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
        SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
        wchar_t text[MAX_PATH] = {};
        link->GetPath(text, MAX_PATH, nullptr, 0);
        fields.target = text;
        link->GetWorkingDirectory(text, MAX_PATH);
        fields.directory = text;
        link->GetDescription(text, MAX_PATH);
        fields.description = text;
    }
    if (file) file->Release();
    if (link) link->Release();
    CoUninitialize();
    return fields;
}

TEST_F(DoInstallTest, FinishingSavesTheChoicesTheShortcutAndTheBanner)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsRegistryKey);
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsRegistryKey, L"DashscopeKey", REG_SZ, L"sk-earlier", 22),
              ERROR_SUCCESS);
    Settings.apiKey = L"sk-主键";
    Settings.model = L"qwen-max";
    Settings.port = L"28789";
    Settings.apiProvider = 1;
    Settings.dashscopeKey = L"";
    wchar_t desktop[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop)));
    const std::wstring shortcut = std::wstring(desktop) + L"\\Quillmere Gateway.lnk";
    DeleteFileW(shortcut.c_str());

    for (int run = 0; run < 2; ++run) {
        const auto messages = RunInstall();
        const auto log = Texts(messages, WM_INSTALL_LOG);
        ASSERT_GE(log.size(), 8u);
        const std::vector<std::wstring> tail(log.end() - 8, log.end());
        const std::wstring banner(40, L'═');
        EXPECT_EQ(tail, (std::vector<std::wstring>{L"  注册表配置已保存", L"  桌面快捷方式已创建", L"  技能市场仓库已配置", L"",
                                                   banner, L"  安装完成!", L"  安装目录: " + Settings.installPath, banner}));
        EXPECT_EQ(Percents(messages).back(), 100);
        EXPECT_EQ(Texts(messages, WM_INSTALL_STATUS).back(), L"安装完成！");
    }
    EXPECT_EQ(StoredValue(L"InstallPath"), Settings.installPath);
    EXPECT_EQ(StoredValue(L"ApiKey"), L"sk-主键");
    EXPECT_EQ(StoredValue(L"Model"), L"qwen-max");
    EXPECT_EQ(StoredValue(L"Port"), L"28789");
    EXPECT_EQ(StoredValue(L"ApiProvider"), L"1");
    EXPECT_EQ(StoredValue(L"DashscopeKey"), L"sk-earlier") << "an empty key leaves the stored one alone";
    EXPECT_EQ(StoredValue(L"SkillRepoUrl"), std::wstring(kVendorSite) + L"/new/quillmere");

    const ShortcutFields fields = ReadShortcut(shortcut);
    EXPECT_EQ(fields.target, Settings.installPath + L"\\launcher.exe");
    EXPECT_EQ(fields.directory, Settings.installPath);
    EXPECT_EQ(fields.description, L"启动 Quillmere Gateway");
    size_t shortcuts = 0;
    for (const auto& entry : fs::directory_iterator(desktop)) shortcuts += entry.path().extension() == L".lnk";
    EXPECT_EQ(shortcuts, 1u) << "a second run replaces the shortcut";
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsRegistryKey);
}

}  // namespace
