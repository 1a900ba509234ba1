#include <gtest/gtest.h>

#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "StoredZip.h"
#include "WineTestSupport_win32.h"
#include "BuildConfig.h"
#include "agentconfig/StateDirectory.h"
#include "base/KnownFolders.h"
#include "base/SystemError.h"
#include "base/Text.h"
#include "install/Install.h"
#include "install/Process.h"
#include "vault/Cipher_win32.h"
#include "wizard/WindowEvents_win32.h"

// What only real Windows shows: the installation's platform calls one by one, and one whole run
// through them. The flow itself is tested natively with a fake platform.

namespace fs = std::filesystem;

namespace {

const std::wstring kBase = L"http://127.0.0.1:" + std::to_wstring(HTTP_TEST_PORT) + L"/new/quillmere/update/";
const InstallPlatform kWindows = Win32InstallPlatform();

std::wstring ReadEnvironment(const wchar_t* name)
{
    std::wstring buffer(32767, L'\0');
    buffer.resize(GetEnvironmentVariableW(name, buffer.data(), 32767));
    return buffer;
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

std::wstring TestProgramDirectory()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring program = path;
    return program.substr(0, program.find_last_of(L'\\'));
}

// Stand-ins under the names of the programs the installer starts, beside this program (as a download
// would sit beside setup.exe) and in a current folder of their own; each leaves "<name>.ran" when it
// runs. They are removed, and the current folder restored, when the test ends.
class PlantedPrograms {
public:
    PlantedPrograms()
    {
        wchar_t current[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, current);
        savedCurrent_ = current;
        fs::remove_all(currentFolder_);
        fs::create_directories(currentFolder_);
        const fs::path stub = fs::path(TestProgramDirectory()) / L"planted_program.exe";
        for (const fs::path& folder : Folders()) {
            for (const wchar_t* name : kPrograms)
                EXPECT_TRUE(CopyFileW(stub.c_str(), (folder / name).c_str(), FALSE)) << WideToUtf8(folder / name);
            WriteFileBytes((folder / L"node.cmd").wstring(),
                           "@echo off\r\ntype nul > \"%~f0.ran\"\r\necho v99.0.0\r\n");
        }
        SetCurrentDirectoryW(currentFolder_.c_str());
    }

    ~PlantedPrograms()
    {
        SetCurrentDirectoryW(savedCurrent_.c_str());
        ClearMarkers();
        for (const wchar_t* name : kPrograms) DeleteFileW((fs::path(TestProgramDirectory()) / name).c_str());
        DeleteFileW((fs::path(TestProgramDirectory()) / L"node.cmd").c_str());
        std::error_code ignored;
        fs::remove_all(currentFolder_, ignored);
    }

    PlantedPrograms(const PlantedPrograms&) = delete;
    PlantedPrograms& operator=(const PlantedPrograms&) = delete;

    // The stand-ins that ran, as "<folder>\<name>".
    std::vector<std::wstring> Ran() const
    {
        std::vector<std::wstring> ran;
        for (const fs::path& folder : Folders())
            for (const auto& entry : fs::directory_iterator(folder))
                if (entry.path().extension() == L".ran")
                    ran.push_back(entry.path().parent_path() / entry.path().stem());
        std::sort(ran.begin(), ran.end());
        return ran;
    }

    void ClearMarkers() const
    {
        for (const std::wstring& program : Ran()) DeleteFileW((program + L".ran").c_str());
    }

    const fs::path& CurrentFolder() const { return currentFolder_; }

private:
    static constexpr const wchar_t* kPrograms[] = {L"cmd.exe", L"node.exe", L"msiexec.exe", L"reg.exe"};

    std::vector<fs::path> Folders() const { return {fs::path(TestProgramDirectory()), currentFolder_}; }

    const fs::path currentFolder_ = L"C:\\QuillmereTests\\planted-current";
    std::wstring savedCurrent_;
};

std::wstring SystemFolder()
{
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return folder;
}

TEST(KnownFolders, EnvironmentFirstThenTheShellsProfileFolder)
{
    const SavedVariable saved(L"USERPROFILE");
    wchar_t shell[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, shell)));

    SetEnvironmentVariableW(L"USERPROFILE", L"C:\\Profiles\\someone");
    EXPECT_EQ(FindKnownFolders().profile.wstring(), L"C:\\Profiles\\someone");
    SetEnvironmentVariableW(L"USERPROFILE", nullptr);
    EXPECT_EQ(FindKnownFolders().profile.wstring(), shell) << "unset: never the relative .harrowby";
    SetEnvironmentVariableW(L"USERPROFILE", (L"C:\\" + std::wstring(300, L'p')).c_str());
    EXPECT_EQ(FindKnownFolders().profile.wstring(), shell) << "too long for the buffer";
    SetEnvironmentVariableW(L"USERPROFILE", L"");
    EXPECT_EQ(FindKnownFolders().profile.wstring(), shell) << "empty";
}

TEST(KnownFolders, LocalAppDataTempAndDesktopAreAbsolute)
{
    const SavedVariable saved(L"LOCALAPPDATA");
    const KnownFolders folders = FindKnownFolders();
    EXPECT_EQ(folders.localAppData.wstring(), ReadEnvironment(L"LOCALAPPDATA"));
    wchar_t desktop[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop)));
    EXPECT_EQ(folders.desktop.wstring(), desktop);
    EXPECT_TRUE(folders.temp.is_absolute());
    EXPECT_EQ(folders.temp.wstring().back(), L'\\');
    SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
    EXPECT_TRUE(FindKnownFolders().localAppData.is_absolute()) << "unset: the shell's folder, not %LOCALAPPDATA%";
}

TEST(PlatformCalls, EnvironmentVariablesUnsetAndEmptyAreNothing)
{
    const SavedVariable saved(L"QUILLMERE_TEST_VAR");
    SetEnvironmentVariableW(L"QUILLMERE_TEST_VAR", L"D:\\old home");
    EXPECT_EQ(kWindows.environmentVariable(L"QUILLMERE_TEST_VAR"), std::optional<std::wstring>(L"D:\\old home"));
    SetEnvironmentVariableW(L"QUILLMERE_TEST_VAR", L"");
    EXPECT_FALSE(kWindows.environmentVariable(L"QUILLMERE_TEST_VAR"));
    SetEnvironmentVariableW(L"QUILLMERE_TEST_VAR", nullptr);
    EXPECT_FALSE(kWindows.environmentVariable(L"QUILLMERE_TEST_VAR"));
}

TEST(PlatformCalls, CopyReplacesAnEarlierFileAndSaysWhyItFailed)
{
    const fs::path folder = L"C:\\QuillmereTests\\copy";
    fs::remove_all(folder);
    fs::create_directories(folder);
    WriteFileBytes((folder / L"new.txt").wstring(), "v2");
    WriteFileBytes((folder / L"old.txt").wstring(), "v1 and longer");
    EXPECT_TRUE(kWindows.copyFile(folder / L"new.txt", folder / L"old.txt"));
    EXPECT_EQ(ReadFileBytes((folder / L"old.txt").wstring()), "v2");
    const FileResult missing = kWindows.copyFile(folder / L"missing.txt", folder / L"x.txt");
    EXPECT_EQ(missing.code, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(missing.reason, SystemErrorText(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(missing.transient);
    fs::remove_all(folder);
}

TEST(PlatformCalls, NodeIsInstalledThroughMsiexecAndItsFolderReachesOurPath)
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
    const SavedVariable savedProcessPath(L"PATH");
    const PlantedPrograms planted;

    EXPECT_EQ(kWindows.runMsi(WindowsPathFromUnix(STUBS_DIR) + L"\\node-stub.msi"), std::optional<uint32_t>(0));
    ASSERT_TRUE(kWindows.refreshPath());
    const std::wstring path = ReadEnvironment(L"PATH");
    EXPECT_NE(path.find(L"QuillmereTestNode"), std::wstring::npos) << WideToUtf8(path);
    EXPECT_EQ(path.find(L'%'), std::wstring::npos) << "references are expanded: " << WideToUtf8(path);
    EXPECT_NE(path.find(L"C:\\windows\\system32;"), std::wstring::npos) << WideToUtf8(path);

    const std::wstring notAPackage = WindowsPathFromUnix(HTTP_TEST_ROOT) + L"\\not-a-package.msi";
    WriteFileBytes(notAPackage, "plain bytes");
    const std::optional<uint32_t> failed = kWindows.runMsi(notAPackage);
    ASSERT_TRUE(failed.has_value()) << "msiexec itself starts";
    EXPECT_NE(*failed, 0u) << "a file that is no installer package makes msiexec fail";
    EXPECT_EQ(planted.Ran(), std::vector<std::wstring>{}) << "only the system's msiexec.exe runs";
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

TEST(PlatformCalls, RegistryValuesAndTheShortcutAreWrittenAndReplaced)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsRegistryKey);
    const fs::path desktop = FindKnownFolders().desktop;
    const fs::path link = desktop / L"Quillmere Gateway.lnk";
    DeleteFileW(link.c_str());
    for (const wchar_t* model : {L"qwen-max", L"qwen-主力"}) {
        EXPECT_TRUE(kWindows.writeRegistryString(kSettingsRegistryKey, L"Model", model));
        const std::optional<Outcome> saved =
            kWindows.createShortcut(link, L"C:\\Quillmere\\launcher.exe", L"C:\\Quillmere", L"启动 Quillmere Gateway");
        ASSERT_TRUE(saved.has_value());
        EXPECT_TRUE(*saved);
        EXPECT_EQ(StoredValue(L"Model"), model);
    }
    const ShortcutFields fields = ReadShortcut(link.wstring());
    EXPECT_EQ(fields.target, L"C:\\Quillmere\\launcher.exe");
    EXPECT_EQ(fields.directory, L"C:\\Quillmere");
    EXPECT_EQ(fields.description, L"启动 Quillmere Gateway");
    size_t shortcuts = 0;
    for (const auto& entry : fs::directory_iterator(desktop)) shortcuts += entry.path().extension() == L".lnk";
    EXPECT_EQ(shortcuts, 1u) << "a second save replaces the shortcut";
    DeleteFileW(link.c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsRegistryKey);
}

TEST(PlatformCalls, CredentialsAreSealedForThisMachine)
{
    std::string sealed;
    ASSERT_TRUE(kWindows.encryptCredential("sk-本机", sealed));
    std::string opened;
    ASSERT_TRUE(DecryptCredential(sealed, opened));
    EXPECT_EQ(opened, "sk-本机");
}

// One whole run on the real platform, with a file that only Windows can hold shut.
TEST(DoInstallOnWindows, AnAgentConfigurationThatCannotBeReadIsLeftAsItIs)
{
    HWND window = CreateMessageSinkWindow();
    const std::wstring root = WindowsPathFromUnix(HTTP_TEST_ROOT);
    CreateDirectoryW(root.c_str(), nullptr);
    WriteFileBytes(root + L"\\pkg-a.bin", PatternBytes(20000, 1));
    InstallJob job;
    job.manifest.baseUrl = kBase;
    job.manifest.packages = {{"a", "pkg-a.bin", "包 a", 20000, false, false}};
    job.choices.installPath = L"C:\\QuillmereTests\\locked-config";
    job.folders = FindKnownFolders();
    fs::remove_all(fs::path(job.choices.installPath));
    const fs::path state = StateDirectoryUnder(job.folders.profile).stateDir;
    fs::remove_all(state);
    fs::create_directories(state);
    const std::string old = "{\n  \"kept\": true\n}\n";
    WriteFileBytes((state / "harrowby.json").wstring(), old);
    // Held open without sharing, as another program may hold it: the minimal text cannot be
    // written, and reading it back gives nothing.
    HANDLE held = CreateFileW((state / "harrowby.json").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    DoInstall(job, kWindows, WindowEvents(window));
    CloseHandle(held);
    std::vector<std::wstring> log, statuses;
    for (const ReceivedMessage& m : DrainInstallMessages()) {
        if (m.message == WM_INSTALL_LOG) log.push_back(m.text);
        if (m.message == WM_INSTALL_STATUS) statuses.push_back(m.text);
    }
    DestroyMessageSinkWindow(window);
    EXPECT_EQ(ReadFileBytes((state / "harrowby.json").wstring()), old) << "never written back empty";
    EXPECT_EQ(std::count(log.begin(), log.end(), L"  skills.load.extraDirs → C:/QuillmereTests/locked-config/skills"), 0);
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::wstring& line) { return line.starts_with(L"  [警告] harrowby.json 无法读取，未修改: "); }),
              2)
        << "named where it happens and again in the summary";
    EXPECT_NE(std::find(log.begin(), log.end(), L"下载: pkg-a.bin (19.5 KB)"), log.end());
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), L"安装完成！");
    fs::remove_all(state);
    DeleteFileW((job.folders.desktop / L"Quillmere Gateway.lnk").c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsRegistryKey);
}

// Only the system's programs and those on PATH run: never an npm.cmd an archive brings along, nor a
// cmd.exe, node.exe, node.cmd or reg.exe planted beside the installer or in its current folder. The real
// ones (the stubs on PATH and the system's own) do their work: node is found, npm installs in both
// folders, reg removes the old variable.
TEST(DoInstallOnWindows, OnlyTheSystemsAndThePathsProgramsRunNeverPlantedOnes)
{
    HWND window = CreateMessageSinkWindow();
    const std::wstring root = WindowsPathFromUnix(HTTP_TEST_ROOT);
    const std::wstring markers = L"C:\\QuillmereTests\\planted";
    fs::remove_all(fs::path(markers));
    fs::create_directories(fs::path(markers));
    const auto planted = [&markers](const char* name) {
        return "@echo off\r\necho planted> \"" + WideToUtf8(markers) + "\\" + name + "\"\r\nexit /b 0\r\n";
    };
    const std::string product = StoredZip({{"launcher.exe", "MZ"}, {"package.json", "{}"}, {"npm.cmd", planted("product")}});
    const std::string skill = StoredZip({{"package.json", "{}"}, {"npm.cmd", planted("skill")}});
    WriteFileBytes(root + L"\\planted-product.zip", product);
    WriteFileBytes(root + L"\\planted-skill.zip", skill);
    InstallJob job;
    job.manifest.baseUrl = kBase;
    job.manifest.packages = {{"node", "never-fetched.msi", "Node.js", 100, false, false},
                             {"quillmere", "planted-product.zip", "主程序", static_cast<int64_t>(product.size()), true, false}};
    job.manifest.skills = {{"planted", "planted-skill.zip", "", "", static_cast<int64_t>(skill.size()), true, true}};
    job.choices.installPath = L"C:\\QuillmereTests\\planted-npm";
    job.choices.apiKey = L"sk-test";
    job.folders = FindKnownFolders();
    fs::remove_all(fs::path(job.choices.installPath));
    const SavedVariable savedPath(L"PATH");
    SetEnvironmentVariableW(L"PATH", (WindowsPathFromUnix(STUBS_DIR) + L";" + ReadEnvironment(L"PATH")).c_str());
    const SavedVariable savedHome(L"HARROWBY_HOME");
    SetEnvironmentVariableW(L"HARROWBY_HOME", L"C:\\old-home");
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Environment", L"HARROWBY_HOME", REG_SZ, L"C:\\old-home", 24),
              ERROR_SUCCESS);
    const PlantedPrograms programs;
    // Live: started by a bare name, as before, the search order finds the stand-ins.
    RunCommand({.commandLine = L"cmd.exe /c exit 0"});
    RunCommand({.commandLine = L"\"" + SystemFolder() + L"\\cmd.exe\" /d /c node --version",
                .output = OutputMode::Collect});
    EXPECT_EQ(programs.Ran(), (std::vector<std::wstring>{(programs.CurrentFolder() / L"node.exe").wstring(),
                                                         TestProgramDirectory() + L"\\cmd.exe"}));
    programs.ClearMarkers();

    DoInstall(job, kWindows, WindowEvents(window));
    std::vector<std::wstring> log, statuses;
    for (const ReceivedMessage& m : DrainInstallMessages()) {
        if (m.message == WM_INSTALL_LOG) log.push_back(m.text);
        if (m.message == WM_INSTALL_STATUS) statuses.push_back(m.text);
    }
    DestroyMessageSinkWindow(window);

    const fs::path install(job.choices.installPath);
    EXPECT_EQ(programs.Ran(), std::vector<std::wstring>{});
    EXPECT_FALSE(fs::exists(fs::path(markers) / L"product")) << "the product's own npm.cmd ran";
    EXPECT_FALSE(fs::exists(fs::path(markers) / L"skill")) << "the skill's own npm.cmd ran";
    EXPECT_NE(std::find(log.begin(), log.end(), L"  Node.js 已安装: v22.0.0，跳过下载 (100 B)"), log.end())
        << "node.exe from PATH answered the probe";
    EXPECT_TRUE(fs::exists(install / L"node_modules" / L".package-lock.json")) << "npm from PATH ran for the product";
    EXPECT_TRUE(fs::exists(install / L"skills" / L"planted" / L"node_modules" / L".package-lock.json"))
        << "npm from PATH ran for the skill";
    EXPECT_NE(std::find(log.begin(), log.end(), L"  已清理旧版 HARROWBY_HOME = C:\\old-home"), log.end());
    EXPECT_NE(RegGetValueW(HKEY_CURRENT_USER, L"Environment", L"HARROWBY_HOME", RRF_RT_ANY, nullptr, nullptr, nullptr),
              ERROR_SUCCESS) << "the system's reg.exe removed the value";
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), L"安装完成！");
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Environment", L"HARROWBY_HOME");
    fs::remove_all(fs::path(markers));
    fs::remove_all(StateDirectoryUnder(job.folders.profile).stateDir);
    DeleteFileW((job.folders.desktop / L"Quillmere Gateway.lnk").c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsRegistryKey);
}

}  // namespace
