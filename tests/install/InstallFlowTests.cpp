#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <openssl/evp.h>

#include "BuildConfig.h"
#include "StoredZip.h"
#include "agentconfig/StateDirectory.h"
#include "base/Text.h"
#include "base/Files.h"
#include "install/FileSteps.h"
#include "install/Install.h"
#include "install/InstallRecord.h"
#include "install/Removal.h"
#include "uninstall/Uninstall.h"

using detail::ProgramsUnder;

namespace fs = std::filesystem;

namespace {

const std::wstring kBaseUrl = L"https://updates.example/new/quillmere/update/";
// Programs by their full paths, never a bare name, which would be looked for beside setup.exe and in
// the current (or unpacked) folder first: npm and node as the PATH names them, cmd.exe (without
// AutoRun) and reg.exe from the system folder.
const std::wstring kSystemFolder = L"C:\\Windows\\system32";
const std::wstring kNpm = L"C:\\Program Files\\nodejs\\npm.cmd";
const std::wstring kNode = L"C:\\Program Files\\nodejs\\node.exe";
const std::wstring kCmd = L"\"" + kSystemFolder + L"\\cmd.exe\" /d /c ";
const std::wstring kProductNpm =
    kCmd + L"\"\"" + kNpm + L"\" install --omit=dev --ignore-scripts --legacy-peer-deps 2>&1\"";
const std::wstring kSkillNpm = kCmd + L"\"\"" + kNpm + L"\" install --omit=dev 2>&1\"";
const std::wstring kNodeProbe = L"\"" + kNode + L"\" --version";
const std::wstring kRegDelete = L"\"" + kSystemFolder + L"\\reg.exe\" delete HKCU\\Environment /v HARROWBY_HOME /f";
const std::wstring kBanner(40, L'\u2550');

// ---- Files and archives ----

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Sha256Hex(const std::string& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kDigits[digest[i] >> 4]);
        hex.push_back(kDigits[digest[i] & 0x0F]);
    }
    return hex;
}

// ---- The fake Windows ----

struct Command {
    std::wstring line, directory;
    OutputMode output;
    bool cancellable;
};

struct Shortcut {
    fs::path link;
    std::wstring target, directory, description;
};

struct FakeWindows {
    fs::path downloadFolder;                                      // every download must land under it
    std::map<std::string, std::string> served;                    // file name → body
    std::map<std::string, std::deque<std::wstring>> failures;     // consumed one per attempt
    std::map<std::string, std::string> throwing;                  // file name → exception text
    std::set<std::string> withoutLength;
    std::set<std::string> cutOnce;                                // broken off half-way the first time
    std::set<std::string> unwritable;                             // the local file cannot be made
    std::wstring hashRefusal;                                     // why a download cannot be read for its hash
    std::vector<std::string> attempts;
    std::vector<int64_t> resumedFrom;                             // bytes the attempt was asked to keep
    std::vector<int64_t> declaredSizes;                           // the size each attempt was told to hold to
    std::deque<std::wstring> proxies;  // the proxy each attempt goes through, in order; none or empty: direct
    std::optional<std::string> nodeVersion;  // what the node.exe on PATH prints; nothing: no node.exe there
    bool nodeHangs = false;  // node.exe prints its version, then never ends
    std::optional<fs::path> npm = fs::path(kNpm);  // what PATH offers
    bool systemFolderKnown = true;
    std::set<std::wstring> systemPrograms;  // the names asked for in the system folder
    std::vector<std::string> npmLines = {"npm http fetch GET 200 https://registry/x",
                                         "added 3 packages, and audited 4 packages in 1s"};
    uint32_t npmExitCode = 0;
    bool npmStarted = true;
    std::vector<Command> commands;
    std::optional<uint32_t> msiExitCode = 0;
    std::vector<fs::path> msiPackages;
    int pathRefreshes = 0;
    std::map<std::wstring, std::wstring> environment;
    std::map<std::wstring, std::wstring> registry;  // subkey\name → text
    std::map<std::wstring, uint32_t> numbers;        // subkey\name → DWORD
    bool uninstallerFails = false;
    bool shortcutThrows = false;  // an error escaping the last phase, after the registry was written
    std::set<fs::path> held;      // files another program keeps open: they cannot be removed
    std::set<std::wstring> failingValues;           // registry values that cannot be written
    uint32_t regDeleteExitCode = 0;
    bool encryptionFails = false;
    std::vector<Shortcut> shortcuts;
    std::wstring lastCopyError;
    std::deque<FileResult> moveRefusals;            // answers to the next renames, before the real one
    int moves = 0;
    std::vector<RunningProgram> running;            // what the process list shows
    std::optional<uint64_t> freeBytes;              // the drive's free space; nothing: unknown
    std::deque<bool> answers;                       // the user's replies to 重试/取消, in order
    std::vector<std::wstring> questions;
    std::function<void()> onQuestion;               // what the user does before answering
    uint32_t clock = 1000;
    uint32_t tickStep = 10;
    std::vector<unsigned> pauses;
    std::function<void()> onPause;
    LocalTime startOfRun = {2026, 12, 9, 15, 30, 12, 0};
};

Outcome FakeDownload(FakeWindows& fake, const std::wstring& url, const fs::path& path, int64_t declaredBytes,
                     const DownloadProgressFn& progress, const std::atomic<bool>& cancel, PartialDownload& partial)
{
    if (url.rfind(kBaseUrl, 0) != 0) {
        ADD_FAILURE() << "fetched outside the update folder: " << WideToUtf8(url);
        return Failure(L"HTTP 404");
    }
    const std::string file = WideToUtf8(url.substr(kBaseUrl.size()));
    fake.attempts.push_back(file);
    fake.resumedFrom.push_back(partial.bytes);
    fake.declaredSizes.push_back(declaredBytes);
    EXPECT_FALSE(path.lexically_relative(fake.downloadFolder).native().starts_with(".."))
        << path << " is outside " << fake.downloadFolder;
    if (const auto thrown = fake.throwing.find(file); thrown != fake.throwing.end()) {
        if (thrown->second == "EACCES")
            throw fs::filesystem_error("cannot open", path, std::error_code(EACCES, std::generic_category()));
        throw std::runtime_error(thrown->second);
    }
    if (std::deque<std::wstring>& queued = fake.failures[file]; !queued.empty()) {
        const std::wstring why = queued.front();
        queued.pop_front();
        return Failure(why);
    }
    if (fake.unwritable.count(file)) {
        partial = {};
        partial.localFileFailed = true;
        return Failure(L"无法写入下载文件夹 " + path.parent_path().wstring() + L": 拒绝访问");
    }
    const auto served = fake.served.find(file);
    if (served == fake.served.end()) return Failure(L"HTTP 404");
    const std::string& body = served->second;
    const int64_t total = fake.withoutLength.count(file) ? 0 : static_cast<int64_t>(body.size());
    // A server that honours the range sends the rest; the file then must hold what came before.
    const size_t from = partial.bytes > 0 && fs::exists(path) &&
                                static_cast<int64_t>(fs::file_size(path)) == partial.bytes
                            ? static_cast<size_t>(partial.bytes)
                            : 0;
    std::ofstream out(path, std::ios::binary | (from > 0 ? std::ios::app : std::ios::trunc));
    if (!out) return Failure(L"cannot create " + path.wstring());
    partial = {};
    const size_t half = from + (body.size() - from) / 2;
    out.write(body.data() + from, static_cast<std::streamsize>(half - from)).flush();
    progress(static_cast<int64_t>(half), total, static_cast<int64_t>(from));
    if (cancel) {
        out.close();
        fs::remove(path);
        return Failure(L"用户取消");
    }
    if (fake.cutOnce.erase(file) > 0) {
        partial.bytes = static_cast<int64_t>(half);
        partial.validator = L"\"etag\"";
        return Failure(L"网络读取失败");
    }
    out.write(body.data() + half, static_cast<std::streamsize>(body.size() - half));
    progress(static_cast<int64_t>(body.size()), total, static_cast<int64_t>(from));
    return Success();
}

CommandResult FakeCommand(FakeWindows& fake, const CommandSettings& settings)
{
    fake.commands.push_back(
        {settings.commandLine, settings.workingDirectory, settings.output, settings.cancel != nullptr});
    if (settings.commandLine == kNodeProbe) {
        EXPECT_EQ(settings.waitLimitMs, 10000u) << "a node that hangs must not hold up the installation";
        EXPECT_EQ(settings.workingDirectory, fake.downloadFolder.wstring()) << "never the folder setup.exe ran from";
        EXPECT_TRUE(fs::is_directory(settings.workingDirectory)) << "a process cannot start in a missing folder";
        if (fake.nodeHangs) return {true, std::nullopt, "v22.0.0\r\n"};
        return {true, 0u, *fake.nodeVersion + "\r\n"};
    }
    if (settings.commandLine == kProductNpm) {
        if (!fake.npmStarted) return {};
        for (const std::string& line : fake.npmLines) {
            settings.onLine(line);
            if (settings.cancel && *settings.cancel) return {true, 1u, ""};
        }
        return {true, fake.npmExitCode, ""};
    }
    if (settings.commandLine == kSkillNpm) {
        if (settings.cancel && *settings.cancel) return {true, 1u, ""};  // stopped with its tree
        const fs::path folder(settings.workingDirectory);
        if (fs::exists(folder / "npm-fails")) return {true, 1u, ""};
        fs::create_directories(folder / "node_modules");
        return {true, 0u, ""};
    }
    if (settings.commandLine == kRegDelete) {
        EXPECT_EQ(settings.waitLimitMs, 5000u);
        return {true, fake.regDeleteExitCode, ""};
    }
    ADD_FAILURE() << "unexpected command: " << WideToUtf8(settings.commandLine);
    return {};
}

InstallPlatform FakePlatform(FakeWindows& fake)
{
    InstallPlatform platform;
    platform.download = [&fake](const std::wstring& url, const fs::path& path, int64_t declaredBytes,
                                const DownloadProgressFn& progress, const std::atomic<bool>& cancel, PartialDownload& partial) {
        const Outcome outcome = FakeDownload(fake, url, path, declaredBytes, progress, cancel, partial);
        partial.proxy = fake.proxies.empty() ? L"" : fake.proxies.front();
        if (!fake.proxies.empty()) fake.proxies.pop_front();
        return outcome;
    };
    platform.sha256 = [&fake](const fs::path& path, std::string& hex) {
        if (!fake.hashRefusal.empty()) return Failure(fake.hashRefusal);
        hex = Sha256Hex(ReadFile(path));
        return Success();
    };
    platform.runCommand = [&fake](const CommandSettings& settings) { return FakeCommand(fake, settings); };
    platform.runMsi = [&fake](const fs::path& package) {
        fake.msiPackages.push_back(package);
        return fake.msiExitCode;
    };
    platform.findOnPath = [&fake](const std::wstring& name) -> std::optional<fs::path> {
        if (name == L"node.exe")
            return fake.nodeVersion || fake.nodeHangs ? std::optional(fs::path(kNode)) : std::nullopt;
        EXPECT_EQ(name, L"npm.cmd");
        return fake.npm;
    };
    platform.systemProgram = [&fake](const std::wstring& name) -> std::optional<fs::path> {
        fake.systemPrograms.insert(name);
        if (!fake.systemFolderKnown) return std::nullopt;
        return fs::path(kSystemFolder + L"\\" + name);
    };
    platform.refreshPath = [&fake] {
        ++fake.pathRefreshes;
        return Success();
    };
    platform.environmentVariable = [&fake](const std::wstring& name) -> std::optional<std::wstring> {
        const auto found = fake.environment.find(name);
        return found == fake.environment.end() ? std::nullopt : std::optional(found->second);
    };
    platform.writeRegistryString = [&fake](const wchar_t* subkey, const wchar_t* name, const std::wstring& text) {
        if (fake.failingValues.count(name)) return Failure(L"拒绝访问。");
        fake.registry[std::wstring(subkey) + L"\\" + name] = text;
        return Success();
    };
    platform.readRegistryString = [&fake](const wchar_t* subkey, const wchar_t* name) -> std::optional<std::wstring> {
        const auto found = fake.registry.find(std::wstring(subkey) + L"\\" + name);
        return found == fake.registry.end() ? std::nullopt : std::optional(found->second);
    };
    platform.writeRegistryNumber = [&fake](const wchar_t* subkey, const wchar_t* name, uint32_t number) {
        fake.numbers[std::wstring(subkey) + L"\\" + name] = number;
        return Success();
    };
    platform.deleteRegistryValue = [&fake](const wchar_t* subkey, const wchar_t* name) {
        fake.registry.erase(std::wstring(subkey) + L"\\" + name);
        fake.numbers.erase(std::wstring(subkey) + L"\\" + name);
        return Success();
    };
    platform.deleteRegistryKey = [&fake](const wchar_t* subkey) {
        const std::wstring prefix = std::wstring(subkey) + L"\\";
        std::erase_if(fake.registry, [&prefix](const auto& value) { return value.first.starts_with(prefix); });
        std::erase_if(fake.numbers, [&prefix](const auto& value) { return value.first.starts_with(prefix); });
        return Success();
    };
    platform.registryKeyExists = [&fake](const wchar_t* subkey) {
        const std::wstring prefix = std::wstring(subkey) + L"\\";
        const auto under = [&prefix](const auto& value) { return value.first.starts_with(prefix); };
        return std::any_of(fake.registry.begin(), fake.registry.end(), under) ||
               std::any_of(fake.numbers.begin(), fake.numbers.end(), under);
    };
    platform.writeUninstaller = [&fake](const fs::path& file) {
        if (fake.uninstallerFails) return FileResult{5, L"拒绝访问。", false};
        return ReplaceFileBytes(file, "MZ uninstaller", 14);
    };
    platform.copyFile = [&fake](const fs::path& from, const fs::path& to) {
        FileResult copied = CopyFileOver(from, to);
        if (!copied) fake.lastCopyError = copied.reason;
        return copied;
    };
    platform.movePath = [&fake](const fs::path& from, const fs::path& to) {
        ++fake.moves;
        if (fake.moveRefusals.empty()) return MovePath(from, to);
        const FileResult refused = fake.moveRefusals.front();
        fake.moveRefusals.pop_front();
        return refused;
    };
    platform.removeFile = [&fake](const fs::path& file) {
        if (fake.held.count(file)) return FileResult{32, L"另一个程序正在使用此文件，进程无法访问。", false};
        return RemoveFile(file);
    };
    platform.removeTree = RemoveTree;
    platform.removeEmptyFolder = RemoveEmptyFolder;
    platform.createFolders = CreateFolders;
    platform.runningPrograms = [&fake] { return fake.running; };
    platform.freeSpace = [&fake](const fs::path&) { return fake.freeBytes; };
    platform.createShortcut = [&fake](const fs::path& link, const std::wstring& target, const std::wstring& directory,
                                      const std::wstring& description) {
        if (fake.shortcutThrows) throw std::runtime_error("shell link failed");
        fake.shortcuts.push_back({link, target, directory, description});
        WriteFile(link, "lnk");
        return std::optional<Outcome>(Success());
    };
    platform.encryptCredential = [&fake](const std::string& plaintext, std::string& sealed) {
        if (fake.encryptionFails) return Failure(L"无法生成随机数");
        sealed = "enc:fake:" + plaintext;
        return Success();
    };
    platform.tickCount = [&fake] { return std::exchange(fake.clock, fake.clock + fake.tickStep); };
    platform.localTime = [&fake] {
        LocalTime now = fake.startOfRun;
        now.millisecond = static_cast<int>(fake.clock % 1000);
        return now;
    };
    platform.sleep = [&fake](unsigned milliseconds) {
        fake.pauses.push_back(milliseconds);
        if (fake.onPause) fake.onPause();
    };
    return platform;
}

// ---- What the run reported ----

enum class Kind { Status, Log, Detail, Progress, Done };

struct Event {
    Kind kind;
    std::wstring text;
    int percent = 0;
    InstallEnd end = InstallEnd::Failed;
};

using Lines = std::vector<std::wstring>;

struct Recording {
    std::vector<Event> events;

    Lines Texts(Kind kind) const
    {
        Lines texts;
        for (const Event& event : events)
            if (event.kind == kind) texts.push_back(event.text);
        return texts;
    }
    Lines Statuses() const { return Texts(Kind::Status); }
    // The pipeline's own lines; after a failure the undo's lines and then the window's last line,
    // which names the log file, follow: UndoLines and LogFileLine give them on their own.
    Lines Logs() const
    {
        Lines log = Texts(Kind::Log);
        if (!log.empty() && log.back().rfind(L"  日志文件: ", 0) == 0) log.pop_back();
        log.resize(log.size() - UndoLines().size());
        return log;
    }
    Lines UndoLines() const
    {
        Lines log = Texts(Kind::Log);
        if (!log.empty() && log.back().rfind(L"  日志文件: ", 0) == 0) log.pop_back();
        const auto isUndoLine = [](const std::wstring& line) {
            for (const wchar_t* start : {L"  已撤销本次安装的更改", L"  [警告] 未能删除: ", L"  [警告] 未删除: ",
                                         L"  Node.js 已保留", L"  Playwright 浏览器引擎已保留: "})
                if (line.rfind(start, 0) == 0) return true;
            return false;
        };
        auto first = log.end();
        while (first != log.begin() && isUndoLine(*(first - 1))) --first;
        return Lines(first, log.end());
    }
    std::wstring LogFileLine() const
    {
        const Lines log = Texts(Kind::Log);
        return !log.empty() && log.back().rfind(L"  日志文件: ", 0) == 0 ? log.back() : L"";
    }
    Lines Details() const { return Texts(Kind::Detail); }
    std::vector<int> Progress() const
    {
        std::vector<int> values;
        for (const Event& event : events)
            if (event.kind == Kind::Progress) values.push_back(event.percent);
        return values;
    }
};

InstallEvents RecordingSink(Recording& recording, std::function<void(const Event&)> onEvent, FakeWindows& fake)
{
    const auto add = [&recording, onEvent](Event event) {
        recording.events.push_back(event);
        if (onEvent) onEvent(event);
    };
    return {[add](const std::wstring& text) { add({Kind::Status, text}); },
            [add](const std::wstring& text) { add({Kind::Log, text}); },
            [add](const std::wstring& text) { add({Kind::Detail, text}); },
            [add](int percent) { add({Kind::Progress, L"", percent}); },
            [add](InstallEnd end) { add({Kind::Done, L"", 0, end}); },
            [&fake](const std::wstring& question) {
                fake.questions.push_back(question);
                if (fake.onQuestion) fake.onQuestion();
                if (fake.answers.empty()) return false;
                const bool retry = fake.answers.front();
                fake.answers.pop_front();
                return retry;
            }};
}

// One line per entry, readable in a failure message.
std::string Shown(const Lines& lines)
{
    std::string all;
    for (const std::wstring& line : lines) all += "\n  | " + WideToUtf8(line);
    return all;
}

::testing::AssertionResult HasLine(const Lines& log, const std::wstring& line)
{
    if (std::find(log.begin(), log.end(), line) != log.end()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "missing line \"" << WideToUtf8(line) << "\" in:" << Shown(log);
}

// The lines appear in this order, other lines may come between.
::testing::AssertionResult HasLinesInOrder(const Lines& log, const Lines& lines)
{
    auto at = log.begin();
    for (const std::wstring& line : lines) {
        at = std::find(at, log.end(), line);
        if (at == log.end())
            return ::testing::AssertionFailure()
                   << "missing or out of order \"" << WideToUtf8(line) << "\" in:" << Shown(log);
        ++at;
    }
    return ::testing::AssertionSuccess();
}

// The log as it ran, without the warnings summed up at its end.
Lines BeforeSummary(const Lines& log)
{
    const auto summary = std::find_if(log.begin(), log.end(), [](const std::wstring& line) {
        return line.rfind(L"  共 ", 0) == 0 && line.find(L" 个警告:") != std::wstring::npos;
    });
    return Lines(log.begin(), summary);
}

Lines LinesContaining(const Lines& log, const std::wstring& part)
{
    Lines found;
    for (const std::wstring& line : log)
        if (line.find(part) != std::wstring::npos) found.push_back(line);
    return found;
}

// The last status is `status` and the done event, carrying `end`, comes once and last.
::testing::AssertionResult EndedWith(const Recording& run, const std::wstring& status, InstallEnd end)
{
    const Lines statuses = run.Statuses();
    if (statuses.empty() || statuses.back() != status)
        return ::testing::AssertionFailure() << "last status is not \"" << WideToUtf8(status)
                                             << "\":" << Shown(statuses) << "\nlog:" << Shown(run.Logs());
    const auto isDone = [](const Event& event) { return event.kind == Kind::Done; };
    const auto dones = std::count_if(run.events.begin(), run.events.end(), isDone);
    if (dones != 1 || run.events.back().kind != Kind::Done)
        return ::testing::AssertionFailure() << dones << " done events, or not last";
    if (run.events.back().end != end)
        return ::testing::AssertionFailure() << "done with " << static_cast<int>(run.events.back().end);
    // Only a run that did not succeed points at its log file, as the window's last line.
    const std::wstring pointer = run.LogFileLine();
    const bool points = pointer.rfind(L"  日志文件: ", 0) == 0 && pointer.ends_with(L"install-20261209-153012.log");
    if (points != (end != InstallEnd::Succeeded))
        return ::testing::AssertionFailure() << "log file line \"" << WideToUtf8(pointer) << "\"";
    return ::testing::AssertionSuccess();
}

// The end of a run that got through finishing, with its warnings summed up before the banner.
Lines FinishingTail(const std::wstring& installPath, const Lines& warnings = {})
{
    Lines tail = {L"  注册表配置已保存", L"  桌面快捷方式已创建", L"  技能市场仓库已配置", L"  已添加到“应用和功能”",
                  L"  安装记录已保存: uninstall.dat"};
    if (!warnings.empty()) tail.push_back(L"  共 " + std::to_wstring(warnings.size()) + L" 个警告:");
    tail.insert(tail.end(), warnings.begin(), warnings.end());
    for (const std::wstring& line : {std::wstring(), kBanner, std::wstring(L"  安装完成!"), L"  安装目录: " + installPath, kBanner})
        tail.push_back(line);
    return tail;
}

Lines LastLines(const Lines& log, size_t count)
{
    return Lines(log.end() - static_cast<std::ptrdiff_t>(std::min(count, log.size())), log.end());
}

// ---- The fixture: a fresh machine under a temp folder for each test ----

class InstallFlowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        root = fs::temp_directory_path() / ("quillmere-flow-" + name + "-" + std::to_string(std::random_device{}()));
        Reset();
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // Nothing installed, nothing served, the wizard's default choices.
    void Reset()
    {
        std::error_code ignored;
        fs::remove_all(root, ignored);
        job.folders = {root / "temp/", root / "LocalAppData", root / "profile", root / "Desktop"};
        for (const fs::path& folder :
             {job.folders.temp, job.folders.localAppData, job.folders.profile, job.folders.desktop})
            fs::create_directories(folder);
        fake = FakeWindows{};
        fake.downloadFolder = DownloadDir();
        job.choices = InstallerSettings{};
        job.choices.installPath = Install().wstring();
        job.manifest = ReleaseManifest{};
        job.manifest.baseUrl = kBaseUrl;
        job.cancelRequested = false;
    }

    Recording Run(std::function<void(const Event&)> onEvent = {})
    {
        Recording recording;
        const InstallPlatform platform = FakePlatform(fake);
        DoInstall(job, platform, RecordingSink(recording, std::move(onEvent), fake));
        return recording;
    }

    // Cancels the run from inside the window's handler, as the user would, once an event of this
    // kind shows the text.
    std::function<void(const Event&)> CancelOn(Kind kind, const std::wstring& text)
    {
        return [this, kind, text](const Event& event) {
            if (event.kind == kind && event.text.find(text) != std::wstring::npos) job.cancelRequested = true;
        };
    }

    ManifestPackage& AddPackage(const char* id, const std::string& file, const char* desc, const std::string& bytes)
    {
        fake.served[file] = bytes;
        job.manifest.packages.push_back({id, file, desc, static_cast<int64_t>(bytes.size()), false, false});
        return job.manifest.packages.back();
    }

    void AddSkill(const char* id, const std::string& file, const char* name, bool required, bool selected)
    {
        job.manifest.skills.push_back({id, file, name, "", 1000, required, selected});
    }

    void MakeSkillFolder(const char* name, bool withPackage, bool failing = false)
    {
        const fs::path folder = Install() / "skills" / name;
        fs::create_directories(folder);
        if (withPackage) WriteFile(folder / "package.json", "{}");
        if (failing) WriteFile(folder / "npm-fails", "");
    }

    std::vector<std::wstring> DirectoriesOf(const std::wstring& commandLine) const
    {
        std::vector<std::wstring> directories;
        for (const Command& command : fake.commands)
            if (command.line == commandLine) directories.push_back(command.directory);
        return directories;
    }

    fs::path Install() const { return root / "Quillmere"; }
    // Files in the download folder other than the run's log file.
    std::vector<fs::path> DownloadsLeft() const
    {
        std::vector<fs::path> left;
        for (const auto& entry : fs::recursive_directory_iterator(DownloadDir()))
            if (entry.is_regular_file() && entry.path().extension() != ".log") left.push_back(entry.path());
        return left;
    }
    fs::path DownloadDir() const { return root / "temp" / "Quillmere_Setup"; }
    StateDirectory State() const { return StateDirectoryUnder(job.folders.profile); }
    std::wstring Setting(const wchar_t* name) const { return std::wstring(kSettingsRegistryKey) + L"\\" + name; }
    std::wstring Entry(const wchar_t* name) const
    {
        return std::wstring(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillmere\\") + name;
    }

    fs::path root;
    FakeWindows fake;
    InstallJob job;
};

std::string ProductZip(const std::string& agentConfig, const std::string& authProfiles, const std::string& page,
                       const std::string& bundle)
{
    return StoredZip({{"launcher.exe", "MZ"},
                      {"package.json", "{\"name\": \"quillmere\"}"},
                      {"config-files/harrowby.json", agentConfig},
                      {"config-files/auth-profiles.json", authProfiles},
                      {"dist/canvas-host/a2ui/quillmere.html", page},
                      {"dist/canvas-host/a2ui/a2ui.bundle.js", bundle}});
}

const std::string kAgentTemplate =
    "{\n  \"plugins\": {\n    \"entries\": {\"x\": {}}\n  },\n  \"ai\": {\"baseUrl\": \"http://old\"},\n"
    "  \"gateway\": {\"port\": 18789}\n}\n";
const std::string kAuthTemplate = "{\"key\": \"__API_KEY_PLACEHOLDER__\"}";
const std::string kProductZip = ProductZip(kAgentTemplate, kAuthTemplate, "<html></html>", "bundle");

// ---- A complete run ----

TEST_F(InstallFlowTest, ACompleteRunInstallsEveryKindOfPackageAndSkillAndSavesTheChoices)
{
    job.choices = {Install().wstring(), L"sk-\"quoted\"", L"qwen-max", L"28789", 1, L"sk-多模态"};
    job.manifest.version = "2.1.0";
    fake.environment[L"HARROWBY_HOME"] = L"C:\\old";
    // A kind of its own wins over the extract flag: the installer is run, never unpacked.
    AddPackage("node", "node.msi", "Node.js 运行环境", "msi bytes").extract = true;
    AddPackage("playwright", "playwright.zip", "浏览器引擎", StoredZip({{"chromium-1/chrome.txt", "browser"}}));
    AddPackage("quillmere", "quillmere.zip", "Quillmere 主程序", kProductZip).extract = true;
    AddPackage("tool", "tools/tool.txt", "辅助工具", "tool");
    fake.served["skill-a.zip"] = StoredZip({{"SKILL.md", "# a"}, {"package.json", "{}"}});
    fake.served["skill-b.zip"] = StoredZip({{"SKILL.md", "# b"}});
    fake.served["skill-c.zip"] = StoredZip({{"SKILL.md", "# c"}});
    AddSkill("a", "skill-a.zip", "技能甲", true, false);
    AddSkill("b", "skill-b.zip", "技能乙", false, true);
    AddSkill("c", "skill-c.zip", "技能丙", false, false);
    AddSkill("../evil", "skill-b.zip", "", false, true);

    const Recording run = Run();
    const Lines log = run.Logs();
    const std::wstring installPath = job.choices.installPath;
    const StateDirectory state = State();

    EXPECT_EQ(Shown(run.Statuses()),
              Shown({L"检测本地环境...", L"创建安装目录...", L"正在下载 Node.js 运行环境...", L"正在安装 Node.js...",
                     L"正在下载 浏览器引擎...", L"正在安装浏览器引擎...", L"正在下载 Quillmere 主程序...",
                     L"正在安装 Quillmere 主程序...", L"正在下载 辅助工具...", L"正在安装 Skills...",
                     L"正在安装 技能甲 (1/3)...", L"正在安装 技能乙 (2/3)...", L"正在安装 ../evil (3/3)...",
                     L"正在写入配置...", L"正在部署用户目录配置...", L"正在安装运行时依赖 (npm install)...",
                     L"正在安装 Skills 依赖...", L"正在保存注册表...", L"安装完成！"}));
    EXPECT_EQ(run.Progress(), (std::vector<int>{9, 18, 27, 36, 45, 54, 63, 72, 81, 90, 100}))
        << "4 packages, 3 skills to install (a refused one included), 4 fixed phases";
    EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), L"正在检测本地环境...");
    EXPECT_TRUE(HasLinesInOrder(
        log, {L"安装目录: " + installPath, L"  正在安装 Node.js: node.msi", L"  Node.js 安装成功",
              L"  解压 Playwright → " + (job.folders.localAppData / "ms-playwright").wstring(), L"  Playwright 安装完成",
              L"  解压 quillmere.zip → " + installPath, L"  Quillmere 主程序 安装完成", L"下载: tools/tool.txt (4 B)",
              L"  tools/tool.txt → " + installPath, L"  技能甲 安装完成", L"  技能乙 安装完成",
              L"  [警告] 下载失败: ../evil - 文件名无效", L"Skills 安装完成 (3 个技能)", L"  配置文件已写入: config.json",
              L"  目录已创建: " + state.stateDir.wstring(), L"  harrowby.json → " + state.stateDir.wstring(),
              L"  已清理 plugins.entries", L"  已注入 tools.exec (host=gateway, security=full)",
              L"  baseUrl → https://coding.dashscope.aliyuncs.com/v1", L"  已注入 gateway.mode=local",
              L"  skills.load.extraDirs → " + installPath + L"/skills",
              L"  auth-profiles.json → " + state.agentDir.wstring() + L" (API Key 已填入)",
              L"  API Key 已加密写入凭据文件", L"  多模态 API Key 已加密写入凭据文件",
              L"  quillmere.html → " + state.canvasDir.wstring(), L"  已清理旧版 HARROWBY_HOME = C:\\old",
              L"  stateDir → %USERPROFILE%\\.harrowby (默认)",
              L"  执行 npm install --omit=dev --ignore-scripts --legacy-peer-deps",
              L"  npm http fetch GET 200 https://registry/x", L"  added 3 packages, and audited 4 packages in 1s",
              L"  npm install 完成", L"  安装依赖: a", L"  Skills 依赖安装完成 (1 个)"}));
    const Lines tail = FinishingTail(installPath, {L"  [警告] 下载失败: ../evil - 文件名无效"});
    EXPECT_EQ(Shown(LastLines(log, tail.size())), Shown(tail)) << "the one warning is repeated before the banner";

    // What was fetched, run and written through Windows.
    EXPECT_EQ(fake.attempts, (std::vector<std::string>{"node.msi", "playwright.zip", "quillmere.zip", "tools/tool.txt",
                                                       "skill-a.zip", "skill-b.zip"}))
        << "neither the unticked optional skill nor the refused one is fetched";
    EXPECT_EQ(fake.msiPackages, (std::vector<fs::path>{DownloadDir() / "node.msi"}));
    EXPECT_EQ(fake.pathRefreshes, 1) << "node's folder reaches our PATH after a successful install";
    EXPECT_EQ(DirectoriesOf(kProductNpm), (std::vector<std::wstring>{installPath}));
    EXPECT_EQ(DirectoriesOf(kSkillNpm), (std::vector<std::wstring>{(Install() / "skills" / "a").wstring()}));
    EXPECT_EQ(DirectoriesOf(kRegDelete), std::vector<std::wstring>{L""}) << "reg.exe itself, without cmd.exe";
    EXPECT_EQ(fake.systemPrograms, (std::set<std::wstring>{L"cmd.exe", L"reg.exe"}));
    for (const Command& command : fake.commands) {
        if (command.line == kProductNpm) {
            EXPECT_EQ(command.output, OutputMode::Lines) << "relayed line by line";
        }
        if (command.line == kProductNpm || command.line == kSkillNpm) {
            EXPECT_TRUE(command.cancellable) << "a cancellation must be able to stop npm: " << WideToUtf8(command.line);
        }
    }
    EXPECT_EQ(fake.registry, (std::map<std::wstring, std::wstring>{
                                 {Setting(L"InstallPath"), installPath}, {Setting(L"ApiKey"), L"sk-\"quoted\""},
                                 {Setting(L"Model"), L"qwen-max"}, {Setting(L"Port"), L"28789"},
                                 {Setting(L"ApiProvider"), L"1"}, {Setting(L"DashscopeKey"), L"sk-多模态"},
                                 {Setting(L"SkillRepoUrl"), std::wstring(kVendorSite) + L"/new/quillmere"},
                                 {Entry(L"DisplayName"), L"Quillmere"},
                                 {Entry(L"DisplayIcon"), installPath + L"\\launcher.exe"},
                                 {Entry(L"DisplayVersion"), L"2.1.0"},
                                 {Entry(L"Publisher"), L"Quillmere"},
                                 {Entry(L"InstallLocation"), installPath},
                                 {Entry(L"InstallDate"), L"20261209"},
                                 {Entry(L"UninstallString"), L"\"" + (Install() / "uninstall.exe").wstring() + L"\""}}));
    EXPECT_EQ(ReadFile(Install() / "uninstall.exe"), "MZ uninstaller");
    EXPECT_EQ(fake.numbers[Entry(L"NoModify")], 1u);
    EXPECT_EQ(fake.numbers[Entry(L"NoRepair")], 1u);
    // Everything in the fresh folder is ours; the record itself was rewritten after the size was taken.
    uint64_t bytes = 0, recordBytes = fs::file_size(Install() / "uninstall.dat");
    for (const auto& entry : fs::recursive_directory_iterator(Install()))
        if (entry.is_regular_file()) bytes += entry.file_size();
    EXPECT_GE(fake.numbers[Entry(L"EstimatedSize")], (bytes - recordBytes) / 1024);
    EXPECT_LE(fake.numbers[Entry(L"EstimatedSize")], (bytes + 1023) / 1024 + 1);
    EXPECT_GT(fake.numbers[Entry(L"EstimatedSize")], 0u);
    ASSERT_EQ(fake.shortcuts.size(), 1u);
    EXPECT_EQ(fake.shortcuts[0].link, job.folders.desktop / "Quillmere Gateway.lnk");
    EXPECT_EQ(fake.shortcuts[0].target, installPath + L"\\launcher.exe");
    EXPECT_EQ(fake.shortcuts[0].directory, installPath);
    EXPECT_EQ(fake.shortcuts[0].description, L"启动 Quillmere Gateway");

    // The detail line is cleared once per finished download.
    const Lines details = run.Details();
    EXPECT_EQ(std::count(details.begin(), details.end(), L""), 6);
    ASSERT_FALSE(details.empty());
    EXPECT_EQ(details.back(), L"");

    // Files on disk.
    EXPECT_EQ(ReadFile(job.folders.localAppData / "ms-playwright" / "chromium-1" / "chrome.txt"), "browser");
    EXPECT_EQ(ReadFile(Install() / "launcher.exe"), "MZ");
    EXPECT_FALSE(fs::exists(Install() / "node.msi")) << "the node installer is not unpacked";
    EXPECT_EQ(ReadFile(Install() / "tool.txt"), "tool") << "copied under its file name alone";
    EXPECT_EQ(ReadFile(Install() / "skills" / "a" / "SKILL.md"), "# a") << "required, so installed though unticked";
    EXPECT_EQ(ReadFile(Install() / "skills" / "b" / "SKILL.md"), "# b");
    EXPECT_FALSE(fs::exists(Install() / "skills" / "c")) << "an unticked optional skill is not installed";
    EXPECT_FALSE(fs::exists(Install() / "evil")) << "a skill id that climbs out is refused";
    EXPECT_EQ(ReadFile(Install() / "config.json"),
              "\xEF\xBB\xBF{\n  \"apiKey\": \"sk-\\\"quoted\\\"\",\n  \"model\": \"qwen-max\",\n"
              "  \"dashscopeApiKey\": \"sk-多模态\",\n  \"gatewayPort\": 28789\n}\n");
    const std::string agentConfig = ReadFile(state.stateDir / "harrowby.json");
    EXPECT_EQ(agentConfig.find("entries"), std::string::npos) << agentConfig;
    for (const std::string& part : {std::string("\"baseUrl\": \"https://coding.dashscope.aliyuncs.com/v1\""),
                                    std::string("\"mode\": \"local\""),
                                    "\"extraDirs\": [\"" + WideToUtf8(installPath) + "/skills\"]"})
        EXPECT_NE(agentConfig.find(part), std::string::npos) << part << " not in:\n" << agentConfig;
    EXPECT_EQ(ReadFile(state.agentDir / "auth-profiles.json"), "{\"key\": \"sk-\\\"quoted\\\"\"}");
    EXPECT_EQ(ReadFile(state.stateDir / "credentials" / "qwen-portal_default"), "enc:fake:sk-\"quoted\"");
    EXPECT_EQ(ReadFile(state.stateDir / "credentials" / "dashscope-native"), "enc:fake:sk-多模态");
    EXPECT_EQ(ReadFile(state.canvasDir / "quillmere.html"), "<html></html>");
    EXPECT_EQ(ReadFile(state.canvasDir / "a2ui.bundle.js"), "bundle");
    EXPECT_EQ(DownloadsLeft(), std::vector<fs::path>{}) << "every download is removed once in place";
}

// ---- Components already on the machine ----

TEST_F(InstallFlowTest, NodeFromMajorVersion22IsKeptAndShrinksThePlan)
{
    const struct { std::optional<std::string> version; bool kept; const char* why; } rows[] = {
        {"v22.0.0", true, "the oldest accepted release"},
        {"v23.1.0", true, "a newer release"},
        {"v21.7.3", false, "too old: downloaded and installed"},
        {std::nullopt, false, "no node.exe on PATH: nothing is started"},
        {"node: bad option: --version", false, "a node.exe whose output holds no version"},
        {"hangs", false, "a node that printed v22 and then hung past the probe's time"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        Reset();
        fake.nodeHangs = row.version == "hangs";
        fake.nodeVersion = fake.nodeHangs ? std::nullopt : row.version;
        AddPackage("node", "node.msi", "Node.js 运行环境", std::string(2048, 'n'));
        AddPackage("tool", "tool.txt", "辅助工具", "tool");
        const Recording run = Run();
        const Lines log = run.Logs();
        EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
        if (row.kept) {
            EXPECT_TRUE(HasLinesInOrder(log, {L"  Node.js 已安装: " + Utf8ToWide(*row.version) + L"，跳过下载 (2.0 KB)",
                                              L"本地已有组件可节省下载: 2.0 KB", L"跳过: Node.js 运行环境 (本地已存在)"}));
            EXPECT_EQ(fake.attempts, (std::vector<std::string>{"tool.txt"}));
            EXPECT_TRUE(fake.msiPackages.empty());
            EXPECT_EQ(run.Progress(), (std::vector<int>{20, 40, 60, 80, 100}));
        } else {
            EXPECT_TRUE(LinesContaining(log, L"本地已有组件可节省下载").empty()) << Shown(log);
            EXPECT_EQ(fake.attempts, (std::vector<std::string>{"node.msi", "tool.txt"}));
            EXPECT_EQ(fake.msiPackages.size(), 1u);
            EXPECT_EQ(run.Progress(), (std::vector<int>{16, 33, 50, 66, 83, 100}));
        }
        EXPECT_EQ(DirectoriesOf(kNodeProbe).size(), row.version ? 1u : 0u);
    }
}

TEST_F(InstallFlowTest, BrowsersAreKeptOnlyWhenTheirFolderHasContent)
{
    enum class Folder { Missing, Empty, WithFile };
    const struct { Folder folder; bool kept; const char* why; } rows[] = {
        {Folder::Missing, false, "never installed"},
        {Folder::Empty, false, "an empty folder is what an interrupted download leaves"},
        {Folder::WithFile, true, "browsers present"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        Reset();
        const fs::path browsers = job.folders.localAppData / "ms-playwright";
        if (row.folder != Folder::Missing) fs::create_directories(browsers);
        if (row.folder == Folder::WithFile) WriteFile(browsers / "chromium.txt", "browser");
        AddPackage("playwright", "playwright.zip", "浏览器引擎", StoredZip({{"chromium-2/chrome.txt", "new"}})).size = 1000;
        const Recording run = Run();
        const Lines log = run.Logs();
        EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
        EXPECT_EQ(static_cast<bool>(HasLine(log, L"  Playwright 浏览器引擎已存在，跳过下载 (1000 B)")), row.kept) << Shown(log);
        EXPECT_EQ(static_cast<bool>(HasLine(log, L"跳过: 浏览器引擎 (本地已存在)")), row.kept);
        EXPECT_EQ(static_cast<bool>(HasLine(log, L"本地已有组件可节省下载: 1000 B")), row.kept);
        EXPECT_EQ(fake.attempts.empty(), row.kept);
        EXPECT_EQ(fs::exists(browsers / "chromium-2" / "chrome.txt"), !row.kept);
        EXPECT_EQ(run.Progress().size(), row.kept ? 4u : 5u);
    }
}

// ---- Download failures ----

TEST_F(InstallFlowTest, APackageFailingThreeTimesEndsTheRunBeforeLaterPackages)
{
    const struct { const char* file; int failures; const wchar_t* error; const char* why; } rows[] = {
        {"flaky.bin", 3, L"HTTP 500", "the server answers 500 three times"},
        {"missing.bin", 0, L"HTTP 404", "the file is not on the server"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        Reset();
        AddPackage("a", row.file, "包 a", "aaaa");
        if (row.failures == 0) fake.served.erase(row.file);
        fake.failures[row.file].assign(row.failures, row.error);
        AddPackage("b", "later.bin", "包 b", "bbbb");
        const Recording run = Run();
        const Lines log = run.Logs();
        const std::wstring error = row.error;
        EXPECT_EQ(Shown(LinesContaining(log, L"重试")),
                  Shown({L"  下载失败 - " + error + L"，3秒后重试 (1/3)...", L"  下载失败 - " + error + L"，3秒后重试 (2/3)..."}));
        EXPECT_EQ(fake.pauses, (std::vector<unsigned>{3000, 3000}));
        EXPECT_EQ(fake.attempts, (std::vector<std::string>(3, row.file))) << "nothing of the later package";
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), L"  [错误] 下载失败: " + Utf8ToWide(row.file) + L" - " + error);
        EXPECT_TRUE(EndedWith(run, L"下载失败", InstallEnd::Failed));
        EXPECT_TRUE(run.Progress().empty());
    }
}

TEST_F(InstallFlowTest, AThirdAttemptThatSucceedsCompletesTheRun)
{
    AddPackage("a", "flaky.bin", "包 a", "aaaa");
    fake.failures["flaky.bin"] = {L"HTTP 500", L"HTTP 500"};
    const Recording run = Run();
    EXPECT_TRUE(HasLinesInOrder(run.Logs(), {L"  下载失败 - HTTP 500，3秒后重试 (1/3)...",
                                             L"  下载失败 - HTTP 500，3秒后重试 (2/3)...",
                                             L"  flaky.bin → " + job.choices.installPath}));
    EXPECT_EQ(fake.attempts.size(), 3u);
    EXPECT_EQ(ReadFile(Install() / "flaky.bin"), "aaaa");
    EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
}

TEST_F(InstallFlowTest, PackageNamesThatLeaveTheDownloadFolderAreNeverFetched)
{
    for (const char* file : {"../escape.bin", "sub/../../escape.bin", "C:/Windows/escape.bin",
                             "\\\\server\\share\\x.bin", "/escape.bin"}) {
        SCOPED_TRACE(file);
        Reset();
        AddPackage("a", file, "包 a", "aaaa");
        AddPackage("b", "later.bin", "包 b", "bbbb");
        const Recording run = Run();
        const Lines log = run.Logs();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), L"  [错误] 下载失败: " + Utf8ToWide(file) + L" - 文件名无效");
        EXPECT_TRUE(fake.attempts.empty()) << "the run ends there";
        EXPECT_FALSE(fs::exists(root / "temp" / "escape.bin"));
        EXPECT_TRUE(EndedWith(run, L"下载失败", InstallEnd::Failed));
    }
    // GBK bytes read as UTF-8: every such name would become the same replacement characters.
    Reset();
    AddPackage("a", "\xb0\xa1.bin", "包 a", "aaaa");
    const Recording gbk = Run();
    EXPECT_EQ(gbk.Logs().back(), L"  [错误] 下载失败: " + Utf8ToWide("\xb0\xa1.bin") + L" - 文件名不是有效的 UTF-8");
    EXPECT_TRUE(fake.attempts.empty());
}

TEST_F(InstallFlowTest, ARefusedBaseUrlIsNamedInTheLogAndTheDownloadsStayOnTheBuiltInServer)
{
    AddPackage("a", "a.bin", "包 a", "aaaa");
    job.manifest.refusedBaseUrl = L"http://mirror.example/q/";
    const Recording run = Run();
    EXPECT_TRUE(HasLine(run.Logs(), L"  [警告] 清单中的 baseUrl 不是 https，已忽略: http://mirror.example/q/"));
    EXPECT_EQ(fake.attempts, std::vector<std::string>{"a.bin"}) << "fetched from the built-in server, as the fake checks";
    EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
}

TEST_F(InstallFlowTest, SkillsWhoseFoldersWindowsCannotTellApartAreInstalledOnce)
{
    AddPackage("a", "a.bin", "包 a", "aaaa");
    fake.served["first.zip"] = StoredZip({{"SKILL.md", "# first"}});
    fake.served["second.zip"] = StoredZip({{"SKILL.md", "# second"}});
    AddSkill("Web-Search", "first.zip", "搜索", false, true);
    AddSkill("WEB-SEARCH", "second.zip", "搜索二", false, true);
    AddSkill("\xff\xfe", "second.zip", "乱码", false, true);
    const Recording run = Run();
    EXPECT_TRUE(HasLine(run.Logs(), L"  [警告] 下载失败: 搜索二 - 与另一文件同名"));
    EXPECT_TRUE(HasLine(run.Logs(), L"  [警告] 下载失败: 乱码 - 文件名不是有效的 UTF-8"));
    EXPECT_EQ(ReadFile(Install() / "skills" / "Web-Search" / "SKILL.md"), "# first") << "the first is not overwritten";
    EXPECT_EQ(std::count(fake.attempts.begin(), fake.attempts.end(), "second.zip"), 0);
    EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
}

TEST_F(InstallFlowTest, AProductArchiveThatIsNoZipFailsTheRunAndIsKept)
{
    AddPackage("quillmere", "quillmere.zip", "Quillmere 主程序", "not a zip at all").extract = true;
    AddPackage("b", "later.bin", "包 b", "bbbb");
    const Recording run = Run();
    ASSERT_FALSE(run.Logs().empty());
    EXPECT_EQ(run.Logs().back(), L"  [错误] 解压失败: quillmere.zip");
    EXPECT_TRUE(EndedWith(run, L"安装失败", InstallEnd::Failed));
    EXPECT_EQ(fake.attempts, (std::vector<std::string>{"quillmere.zip"}));
    EXPECT_TRUE(fs::exists(DownloadDir() / "quillmere.zip"));
    EXPECT_TRUE(run.Progress().empty());
}

TEST_F(InstallFlowTest, AnInstallDirectoryThatCannotBeCreatedFailsTheRun)
{
    WriteFile(root / "blocker", "a file where a folder should go");
    job.choices.installPath = (root / "blocker" / "inside").wstring();
    AddPackage("a", "a.bin", "包 a", "aaaa");
    const Recording run = Run();
    ASSERT_FALSE(run.Logs().empty());
    EXPECT_EQ(run.Logs().back(), L"[错误] 无法创建安装目录！");
    EXPECT_TRUE(EndedWith(run, L"安装失败", InstallEnd::Failed));
    EXPECT_TRUE(fake.attempts.empty());
}

TEST_F(InstallFlowTest, NodeInstallerExitCodesDecideOnlyTheLogLine)
{
    const struct {
        std::optional<uint32_t> exitCode;
        const wchar_t* line;  // nullptr: neither line
        int refreshes;
        const char* why;
    } rows[] = {
        {0u, L"  Node.js 安装成功", 1, "installed"},
        {3010u, L"  Node.js 安装成功", 1, "installed, a restart pending"},
        {1603u, L"  [警告] Node.js 安装退出码: 1603", 0, "a fatal installer error is only a warning"},
        {1602u, L"  [警告] Node.js 安装已取消: 未获得管理员权限 (退出码 1602)", 0,
         "the user said no to the administrator prompt: only a warning, saying so"},
        {std::nullopt, nullptr, 0, "the installer never started"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        Reset();
        fake.msiExitCode = row.exitCode;
        AddPackage("node", "node.msi", "Node.js 运行环境", "msi");
        const Recording run = Run();
        const Lines log = run.Logs();
        if (row.line) {
            EXPECT_TRUE(HasLine(log, row.line));
        }
        EXPECT_EQ(LinesContaining(BeforeSummary(log), L"Node.js 安装").size(), row.line ? 1u : 0u) << Shown(log);
        EXPECT_EQ(fake.pathRefreshes, row.refreshes);
        EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
    }
}

TEST_F(InstallFlowTest, AMissingSkillIsRetriedThenOnlyWarned)
{
    fake.nodeVersion = "v22.0.0";
    AddPackage("node", "node.msi", "Node.js 运行环境", std::string(2048, 'n'));
    AddPackage("a", "pkg-a.bin", "包 a", "aaaa");
    AddPackage("b", "pkg-b.bin", "包 b", "bbbb");
    fake.served["skill-b.zip"] = StoredZip({{"SKILL.md", "# b"}});
    AddSkill("s1", "no-such-skill.zip", "", true, false);
    AddSkill("s2", "skill-b.zip", "", false, true);
    AddSkill("s3", "skill-b.zip", "", false, false);
    const Recording run = Run();
    const Lines log = run.Logs();
    EXPECT_TRUE(HasLinesInOrder(log, {L"  下载失败 - HTTP 404，重试 (1/3)...", L"  下载失败 - HTTP 404，重试 (2/3)...",
                                      L"  [警告] 下载失败: s1 - HTTP 404", L"  s2 安装完成", L"Skills 安装完成 (2 个技能)"}));
    EXPECT_EQ(fake.pauses, (std::vector<unsigned>{2000, 2000}));
    EXPECT_EQ(std::count(fake.attempts.begin(), fake.attempts.end(), "no-such-skill.zip"), 3);
    EXPECT_FALSE(fs::exists(Install() / "skills" / "s1"));
    EXPECT_EQ(run.Progress(), (std::vector<int>{12, 25, 37, 50, 62, 75, 87, 100}));
    const Lines tail = FinishingTail(job.choices.installPath, {L"  [警告] 下载失败: s1 - HTTP 404"});
    EXPECT_EQ(Shown(LastLines(log, tail.size())), Shown(tail));
    EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
}

// ---- Steps that fail are never reported as done ----

TEST_F(InstallFlowTest, AFailedStepIsAWarningInsteadOfItsSuccessLine)
{
    const struct {
        std::function<void()> breakIt;
        const wchar_t* successLine;
        const wchar_t* warning;  // how the warning line starts
        const char* why;
    } rows[] = {
        {[this] { fs::create_directories(Install() / "config.json"); },
         L"  配置文件已写入: config.json", L"  [警告] 配置文件写入失败: ", "a folder where config.json goes"},
        {[this] { fs::create_directories(State().stateDir / "credentials" / "qwen-portal_default"); },
         L"  API Key 已加密写入凭据文件", L"  [警告] 凭据文件写入失败: ", "a folder where the credential file goes"},
        {[this] { fs::create_directories(State().agentDir / "auth-profiles.json"); },
         L"  auth-profiles.json → ", L"  [警告] auth-profiles.json 写入失败: ", "a folder where the profiles go"},
        {[this] { fake.failingValues.insert(L"Model"); },
         L"  注册表配置已保存", L"  [警告] 注册表配置保存失败: 拒绝访问。", "one choice cannot be saved"},
        {[this] { fake.failingValues.insert(L"SkillRepoUrl"); },
         L"  技能市场仓库已配置", L"  [警告] 技能市场仓库配置失败: 拒绝访问。", "the repository cannot be recorded"},
        {[this] { fake.uninstallerFails = true; },
         L"  已添加到“应用和功能”", L"  [警告] 卸载程序写入失败: 拒绝访问。", "no uninstaller, so no entry that offers one"},
        {[this] { fake.regDeleteExitCode = 1; },
         L"  已清理旧版 HARROWBY_HOME", L"  [警告] 旧版 HARROWBY_HOME 清理失败: reg 退出码 1", "reg cannot delete it"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        Reset();
        job.choices.apiKey = L"sk-main";
        fake.environment[L"HARROWBY_HOME"] = L"C:\\old";
        AddPackage("quillmere", "quillmere.zip", "Quillmere 主程序", kProductZip).extract = true;
        row.breakIt();
        const Recording run = Run();
        const Lines log = run.Logs();
        const Lines warnings = LinesContaining(log, row.warning);
        EXPECT_TRUE(LinesContaining(log, row.successLine).empty()) << Shown(log);
        ASSERT_EQ(warnings.size(), 2u) << "once where it happened, once in the summary:" << Shown(log);
        EXPECT_EQ(warnings[0].rfind(row.warning, 0), 0u);
        EXPECT_TRUE(HasLinesInOrder(log, {warnings[0], L"  共 1 个警告:", warnings[0], L"  安装完成!"}));
        EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded)) << "the run goes on as before";
    }
}

TEST_F(InstallFlowTest, CredentialsAndProfilesAreNeverLostToAFailure)
{
    const StateDirectory state = State();
    WriteFile(state.stateDir / "credentials" / "qwen-portal_default", "enc:earlier");
    WriteFile(state.agentDir / "auth-profiles.json", "{\"key\": \"earlier\"}");
    job.choices.apiKey = L"sk-new";
    fake.encryptionFails = true;
    AddPackage("quillmere", "quillmere.zip", "Quillmere 主程序", kProductZip).extract = true;
    // A template that cannot be read: a folder stands in its place.
    fake.served["quillmere.zip"] = StoredZip({{"launcher.exe", "MZ"}});
    fs::create_directories(Install() / "config-files" / "auth-profiles.json");
    const Recording run = Run();
    const Lines log = run.Logs();
    EXPECT_TRUE(HasLine(log, L"  [警告] API Key 加密失败，凭据文件未更改"));
    EXPECT_EQ(LinesContaining(log, L"  [警告] auth-profiles.json 模板无法读取，未更改: ").size(), 2u) << Shown(log);
    EXPECT_TRUE(LinesContaining(log, L"已加密写入凭据文件").empty());
    EXPECT_EQ(ReadFile(state.stateDir / "credentials" / "qwen-portal_default"), "enc:earlier");
    EXPECT_EQ(ReadFile(state.agentDir / "auth-profiles.json"), "{\"key\": \"earlier\"}");
    EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
}

TEST_F(InstallFlowTest, WithoutNpmOnThePathOrASystemFolderNothingIsStartedByABareName)
{
    const struct { bool npmOnPath; bool systemFolderKnown; Lines expected; const char* why; } rows[] = {
        {false, true, {L"  已清理旧版 HARROWBY_HOME = C:\\old", L"  [警告] 未找到 npm，请确认 Node.js 已安装",
                       L"  Skills 依赖安装完成 (0 个)"},
         "no npm.cmd on PATH: never one from the unpacked folders"},
        {true, false, {L"  [警告] 旧版 HARROWBY_HOME 清理失败: 无法启动 reg", L"  [警告] 未找到 npm，请确认 Node.js 已安装",
                       L"  Skills 依赖安装完成 (0 个)"},
         "no system folder: never a cmd.exe or reg.exe found by the search order"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        Reset();
        if (!row.npmOnPath) fake.npm.reset();
        fake.systemFolderKnown = row.systemFolderKnown;
        fake.environment[L"HARROWBY_HOME"] = L"C:\\old";
        AddPackage("a", "a.bin", "包 a", "aaaa");
        MakeSkillFolder("with-package", true);
        const Recording run = Run();
        EXPECT_TRUE(HasLinesInOrder(run.Logs(), row.expected));
        for (const Command& command : fake.commands)
            EXPECT_EQ(command.line.find(L"npm"), std::wstring::npos) << WideToUtf8(command.line);
        EXPECT_EQ(fake.commands.size(), row.systemFolderKnown ? 1u : 0u) << "only reg.exe, by its full path";
        EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
    }
}

// ---- Every byte checked ----

// A stored archive whose listed entries carry one flipped data byte each, so their CRC no longer holds.
std::string DamagedZip(const std::vector<std::pair<std::string, std::string>>& files, const std::set<std::string>& damaged)
{
    std::string archive = StoredZip(files);
    for (const auto& [name, data] : files) {
        if (!damaged.count(name)) continue;
        const size_t at = archive.find(name + data);
        archive[at + name.size()] ^= 0x20;
    }
    return archive;
}

TEST_F(InstallFlowTest, AFileThatIsNotWhatItsHashSaysIsRetriedThenRefused)
{
    AddPackage("tool", "tool.txt", "辅助工具", "<html>502 Bad Gateway</html>").sha256 = Sha256Hex("the real tool");
    AddPackage("b", "later.bin", "包 b", "bbbb");
    const Recording run = Run();
    const Lines log = run.Logs();
    EXPECT_EQ(Shown(LinesContaining(log, L"校验失败")),
              Shown({L"  下载失败 - 校验失败，3秒后重试 (1/3)...", L"  下载失败 - 校验失败，3秒后重试 (2/3)...",
                     L"  [错误] 下载失败: tool.txt - 校验失败"}));
    EXPECT_EQ(fake.attempts, (std::vector<std::string>(3, "tool.txt")));
    EXPECT_FALSE(fs::exists(Install() / "tool.txt")) << "an error page is never installed as the file";
    EXPECT_EQ(DownloadsLeft(), std::vector<fs::path>{}) << "nothing of it is left to install later";
    EXPECT_TRUE(EndedWith(run, L"下载失败", InstallEnd::Failed));

    // A file that cannot be read for its hash is not called a mismatch.
    Reset();
    AddPackage("tool", "tool.txt", "辅助工具", "the real tool").sha256 = Sha256Hex("the real tool");
    fake.hashRefusal = L"另一个程序正在使用此文件，进程无法访问";
    EXPECT_TRUE(HasLine(Run().Logs(), L"  [错误] 下载失败: tool.txt - 无法读取下载的文件以校验: " + fake.hashRefusal));
}

TEST_F(InstallFlowTest, ASkillThatIsNotWhatItsHashSaysIsAWarning)
{
    AddPackage("a", "a.bin", "包 a", "aaaa");
    fake.served["skill.zip"] = "<html>404</html>";
    AddSkill("s", "skill.zip", "技能", true, true);
    job.manifest.skills.back().sha256 = Sha256Hex(StoredZip({{"SKILL.md", "# s"}}));
    const Recording run = Run();
    EXPECT_TRUE(HasLinesInOrder(run.Logs(), {L"  下载失败 - 校验失败，重试 (1/3)...", L"  下载失败 - 校验失败，重试 (2/3)...",
                                             L"  [警告] 下载失败: 技能 - 校验失败"}));
    EXPECT_FALSE(fs::exists(Install() / "skills" / "s"));
    EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
}

TEST_F(InstallFlowTest, AHashIsTakenInEitherCaseAndAMalformedOneIsNeverFetched)
{
    const std::string lower = Sha256Hex("test");
    std::string upper = lower;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    const struct {
        std::string hash;
        bool valid;
        const char* why;
    } rows[] = {
        {lower, true, "lower case"},
        {upper, true, "upper case"},
        {"", true, "no hash: taken as it comes"},
        {lower.substr(0, 8), false, "too short"},
        {lower + "0", false, "too long"},
        {"zz" + lower.substr(2), false, "not hex"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        Reset();
        AddPackage("tool", "tool.txt", "辅助工具", "test").sha256 = row.hash;
        const Recording run = Run();
        if (row.valid) {
            EXPECT_EQ(ReadFile(Install() / "tool.txt"), "test");
            EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
        } else {
            ASSERT_FALSE(run.Logs().empty());
            EXPECT_EQ(run.Logs().back(), L"  [错误] 下载失败: tool.txt - 校验值无效");
            EXPECT_TRUE(fake.attempts.empty()) << "no request for a hash that cannot be one";
            EXPECT_TRUE(EndedWith(run, L"下载失败", InstallEnd::Failed));
        }
    }
}

TEST_F(InstallFlowTest, ARetryAfterABrokenTransferFetchesOnlyTheRestAndChecksTheWhole)
{
    const std::string body(8192, 'p');
    AddPackage("a", "big.bin", "包 a", body).sha256 = Sha256Hex(body);
    fake.cutOnce.insert("big.bin");
    const Recording run = Run();
    EXPECT_TRUE(HasLine(run.Logs(), L"  下载失败 - 网络读取失败，3秒后重试 (1/3)..."));
    EXPECT_EQ(fake.resumedFrom, (std::vector<int64_t>{0, 4096})) << "the second attempt keeps the first half";
    EXPECT_EQ(ReadFile(Install() / "big.bin"), body);
    EXPECT_EQ(Shown(run.Details()), Shown({L"4.0 KB / 8.0 KB (50%)  0.4 MB/s", L"6.0 KB / 8.0 KB (75%)  0.2 MB/s",
                                      L"8.0 KB / 8.0 KB (100%)  0.2 MB/s", L""}))
        << "the resumed attempt's speed counts only what it received: 2 KB in 10 ms, 4 KB in 20 ms";
    EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));

    // A download folder that cannot be written to is named at once, not tried three times.
    Reset();
    AddPackage("a", "big.bin", "包 a", body);
    fake.unwritable.insert("big.bin");
    const Recording unwritable = Run();
    EXPECT_EQ(fake.attempts.size(), 1u);
    EXPECT_TRUE(HasLine(unwritable.Logs(), L"  [错误] 下载失败: big.bin - 无法写入下载文件夹 " + DownloadDir().wstring() + L": 拒绝访问"));
    EXPECT_TRUE(EndedWith(unwritable, L"下载失败", InstallEnd::Failed));

    // Broken off, then gone from the server: the last attempt fails and nothing of it is left.
    Reset();
    AddPackage("a", "big.bin", "包 a", body);
    fake.cutOnce.insert("big.bin");
    const Recording failed = Run([this](const Event& event) {
        if (event.kind == Kind::Log && event.text.find(L"(1/3)") != std::wstring::npos) fake.served.erase("big.bin");
    });
    EXPECT_EQ(fake.attempts.size(), 3u);
    EXPECT_EQ(DownloadsLeft(), std::vector<fs::path>{}) << "no half file is left behind";
    EXPECT_TRUE(EndedWith(failed, L"下载失败", InstallEnd::Failed));

    // Broken off, then cancelled in the pause: nothing is left either.
    Reset();
    AddPackage("a", "big.bin", "包 a", body);
    fake.cutOnce.insert("big.bin");
    const Recording cancelled = Run(CancelOn(Kind::Log, L"(1/3)"));
    EXPECT_EQ(fake.attempts.size(), 2u);
    EXPECT_EQ(DownloadsLeft(), std::vector<fs::path>{});
    EXPECT_TRUE(EndedWith(cancelled, L"已取消", InstallEnd::Failed));
}

TEST_F(InstallFlowTest, OnlyASizeThatCanBeOneIsHeldToAndTheRestAreShownAsUnknown)
{
    AddPackage("a", "a.bin", "包 a", "aaaa");
    AddPackage("n", "none.bin", "包 n", "nnnn").size = -1;
    AddPackage("h", "huge.bin", "包 h", "hhhh").size = int64_t{3} << 40;
    const Recording run = Run();
    EXPECT_EQ(fake.declaredSizes, (std::vector<int64_t>{4, 0, 0})) << "0 tells the download that any size will do";
    EXPECT_TRUE(HasLinesInOrder(run.Logs(), {L"下载: a.bin (4 B)", L"下载: none.bin (未知大小)", L"下载: huge.bin (未知大小)"}));
    EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
}

TEST_F(InstallFlowTest, TheProxyADownloadWentThroughIsNamedOnceUnlessItChanges)
{
    // a.bin breaks off once, so it takes two attempts; b.bin one.
    const struct { std::deque<std::wstring> proxies; Lines lines; const char* why; } rows[] = {
        {{}, {L"下载: a.bin (4 B)", L"下载: b.bin (4 B)"}, "direct: nothing to say"},
        {{L"p.corp:1", L"p.corp:1", L"p.corp:1"}, {L"下载: a.bin (4 B)", L"  通过代理 p.corp:1", L"下载: b.bin (4 B)",
                                                 L"  通过代理 p.corp:1"}, "once per download, not per attempt"},
        {{L"p.corp:1", L"", L""}, {L"下载: a.bin (4 B)", L"  通过代理 p.corp:1", L"下载: b.bin (4 B)"},
         "a retry that went direct"},
        {{L"p.corp:1", L"q.corp:2", L""}, {L"下载: a.bin (4 B)", L"  通过代理 p.corp:1", L"  通过代理 q.corp:2",
                                          L"下载: b.bin (4 B)"}, "a retry through another proxy"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        Reset();
        AddPackage("a", "a.bin", "包 a", "aaaa");
        AddPackage("b", "b.bin", "包 b", "bbbb");
        fake.cutOnce.insert("a.bin");
        fake.proxies = row.proxies;
        const Recording run = Run();
        Lines shown;
        for (const std::wstring& line : run.Logs())
            if (line.rfind(L"下载: ", 0) == 0 || line.find(L"通过代理") != std::wstring::npos) shown.push_back(line);
        EXPECT_EQ(Shown(shown), Shown(row.lines));
        EXPECT_TRUE(HasLinesInOrder(run.Logs(), {L"下载: a.bin (4 B)", L"  下载失败 - 网络读取失败，3秒后重试 (1/3)...",
                                                 L"下载: b.bin (4 B)"}));
        EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
    }
}

TEST_F(InstallFlowTest, AProductArchiveWithDamagedEntriesFailsTheRunNamingEach)
{
    std::vector<std::pair<std::string, std::string>> files = {{"launcher.exe", "MZ launcher"}, {"readme.txt", "hi"}};
    for (int i = 0; i < 24; ++i) files.push_back({"lib/part" + std::to_string(i) + ".js", "part " + std::to_string(i)});
    std::set<std::string> damaged = {"launcher.exe"};
    for (int i = 0; i < 24; ++i) damaged.insert("lib/part" + std::to_string(i) + ".js");
    AddPackage("quillmere", "quillmere.zip", "Quillmere 主程序", DamagedZip(files, damaged)).extract = true;
    const Recording run = Run();
    const Lines failures = LinesContaining(run.Logs(), L"  [错误] 解压失败: ");
    ASSERT_EQ(failures.size(), 21u) << Shown(run.Logs());
    EXPECT_EQ(failures.front(), L"  [错误] 解压失败: launcher.exe (CRC 校验失败)");
    EXPECT_EQ(failures[19], L"  [错误] 解压失败: lib/part18.js (CRC 校验失败)");
    EXPECT_EQ(failures.back(), L"  [错误] 解压失败: 另有 5 个文件");
    EXPECT_EQ(run.Logs().back(), failures.back());
    EXPECT_FALSE(fs::exists(Install() / "launcher.exe")) << "a damaged file is never left to be started";
    EXPECT_TRUE(EndedWith(run, L"安装失败", InstallEnd::Failed));
}

TEST_F(InstallFlowTest, AReinstallationWhoseProductFailsOrIsCancelledLeavesTheEarlierProductAsItWas)
{
    AddPackage("quillmere", "quillmere.zip", "Quillmere 主程序", kProductZip).extract = true;
    ASSERT_TRUE(EndedWith(Run(), L"安装完成！", InstallEnd::Succeeded));
    WriteFile(Install() / "notes.txt", "the user's own");
    const auto earlierProductStands = [this](const Recording& run) {
        EXPECT_EQ(ReadFile(Install() / "launcher.exe"), "MZ") << Shown(run.Logs());
        EXPECT_EQ(ReadFile(Install() / "package.json"), "{\"name\": \"quillmere\"}");
        EXPECT_EQ(ReadFile(Install() / "notes.txt"), "the user's own");
        EXPECT_FALSE(fs::exists(root / "Quillmere.staging")) << "the staging folder is removed";
    };

    // One damaged entry: the good ones of the new version must not replace the earlier files either.
    fake.served["quillmere.zip"] = DamagedZip({{"launcher.exe", "MZ v2"}, {"package.json", "{}"}, {"z.txt", "z"}}, {"z.txt"});
    const Recording failed = Run();
    EXPECT_TRUE(HasLine(failed.Logs(), L"  [错误] 解压失败: z.txt (CRC 校验失败)"));
    EXPECT_TRUE(EndedWith(failed, L"安装失败", InstallEnd::Failed));
    earlierProductStands(failed);

    // A cancel while unpacking stops before the next entry.
    fake.served["quillmere.zip"] = StoredZip({{"launcher.exe", "MZ v2"}, {"package.json", "{}"}});
    const Recording cancelled = Run(CancelOn(Kind::Log, L"  解压 quillmere.zip"));
    EXPECT_TRUE(EndedWith(cancelled, L"已取消", InstallEnd::Failed));
    EXPECT_FALSE(HasLine(cancelled.Logs(), L"  Quillmere 主程序 安装完成"));
    earlierProductStands(cancelled);
}

TEST_F(InstallFlowTest, ABrowserArchiveThatIsIncompleteLeavesNoBrowserFolderAndIsTriedAgain)
{
    const std::string archive =
        DamagedZip({{"chromium-1/chrome.txt", "browser"}, {"chromium-1/icudtl.dat", "icu"}}, {"chromium-1/icudtl.dat"});
    AddPackage("playwright", "playwright.zip", "浏览器引擎", archive);
    const fs::path browsers = job.folders.localAppData / "ms-playwright";
    const Recording run = Run();
    EXPECT_TRUE(HasLine(run.Logs(), L"  [警告] 解压失败: chromium-1/icudtl.dat (CRC 校验失败)"));
    EXPECT_FALSE(HasLine(run.Logs(), L"  Playwright 安装完成"));
    EXPECT_FALSE(fs::exists(browsers)) << "no half-filled folder that would count as installed";
    EXPECT_TRUE(std::none_of(fs::directory_iterator(job.folders.localAppData), fs::directory_iterator(),
                             [](const fs::directory_entry&) { return true; }))
        << "the staging folder is gone too";
    EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));

    fake.served["playwright.zip"] = StoredZip({{"chromium-1/chrome.txt", "browser"}, {"chromium-1/icudtl.dat", "icu"}});
    job.cancelRequested = false;
    const Recording again = Run();
    EXPECT_FALSE(HasLine(again.Logs(), L"跳过: 浏览器引擎 (本地已存在)")) << "the next run tries again";
    EXPECT_EQ(ReadFile(browsers / "chromium-1" / "icudtl.dat"), "icu");
}

// ---- Windows as it is: other programs holding our files, a product still running ----

// Windows reports a file held by a virus scanner or an indexer as a sharing violation (32).
const FileResult kHeldBySomeoneElse = {32, L"另一个程序正在使用此文件，进程无法访问", true};

TEST_F(InstallFlowTest, TheBrowserFolderIsMovedIntoPlaceOnceAScannerLetsGo)
{
    const fs::path browsers = job.folders.localAppData / "ms-playwright";
    struct Row {
        std::deque<FileResult> refusals;
        int cancelAfterPauses;  // the user cancels during the pauses; -1: never
        bool installed;
        int moves;
        const char* reason;
    };
    const FileResult full = {112, L"磁盘空间不足", false};
    const std::vector<Row> rows = {
        {{kHeldBySomeoneElse, kHeldBySomeoneElse, kHeldBySomeoneElse}, -1, true, 4, "refused three times, then free"},
        {std::deque<FileResult>(40, kHeldBySomeoneElse), -1, false, 24, "held for good: about ten seconds, then given up"},
        {std::deque<FileResult>(40, kHeldBySomeoneElse), 2, false, 3, "a cancel ends the waiting"},
        {{full}, -1, false, 1, "a full disk is never waited out"},
    };
    for (const Row& row : rows) {
        Reset();
        AddPackage("playwright", "playwright.zip", "浏览器引擎", StoredZip({{"chromium-1/chrome.txt", "browser"}}));
        fake.moveRefusals = row.refusals;
        fake.onPause = [&] {
            if (row.cancelAfterPauses >= 0 && static_cast<int>(fake.pauses.size()) >= row.cancelAfterPauses)
                job.cancelRequested = true;
        };
        const Recording run = Run();
        EXPECT_EQ(fake.moves, row.moves) << row.reason;
        EXPECT_EQ(run.Statuses().back(), row.cancelAfterPauses >= 0 ? L"已取消" : L"安装完成！") << row.reason;
        EXPECT_EQ(HasLine(run.Logs(), L"  Playwright 安装完成"), row.installed) << row.reason << Shown(run.Logs());
        const Lines moveFailures = LinesContaining(run.Logs(), L"  [警告] Playwright 移动失败: " + browsers.wstring() + L" - ");
        const size_t named = row.installed ? 0u : row.cancelAfterPauses >= 0 ? 1u : 2u;  // a cancelled run has no summary
        EXPECT_EQ(moveFailures.size(), named) << row.reason << ": where it happens and in the summary";
        if (!moveFailures.empty()) {
            EXPECT_TRUE(moveFailures.front().ends_with(row.refusals.back().reason)) << row.reason;
        }
        EXPECT_FALSE(HasLine(run.Logs(), L"  [警告] Playwright 解压失败")) << row.reason << ": the archive was whole";
        EXPECT_EQ(fs::exists(browsers / "chromium-1" / "chrome.txt"), row.installed) << row.reason;
        EXPECT_FALSE(fs::exists(fs::path(browsers) += ".staging")) << row.reason;
        unsigned waited = 0;
        for (const unsigned pause : fake.pauses) {
            EXPECT_LE(pause, 1000u) << row.reason << ": a cancel must be seen within a second or two";
            waited += pause;
        }
        if (row.moves == 24) {
            EXPECT_GE(waited, 10000u) << row.reason;
            EXPECT_LE(waited, 12000u) << row.reason;
        }
    }
}

TEST_F(InstallFlowTest, AProductStillRunningIsClosedFirstOrTheRunStopsWithNothingTouched)
{
    const std::wstring launcher = (Install() / "launcher.exe").wstring();
    struct Row {
        std::vector<RunningProgram> running;
        std::deque<bool> answers;
        size_t questions;
        const wchar_t* status;
        const char* reason;
    };
    const std::vector<Row> rows = {
        {{{4242, launcher}}, {false}, 1, L"已取消", "取消: nothing of the installation is touched"},
        {{{4242, launcher}}, {true}, 1, L"安装完成！", "重试 after the user closed it"},
        {{{7, L"C:\\Windows\\explorer.exe"}, {8, Install().wstring() + L"-old\\launcher.exe"}}, {}, 0, L"安装完成！",
         "programs elsewhere, even in a folder whose name begins alike, do not count"},
    };
    for (const Row& row : rows) {
        Reset();
        WriteFile(Install() / "launcher.exe", "old launcher");
        AddPackage("quillmere", "quillmere.zip", "Quillmere 主程序", StoredZip({{"launcher.exe", "new launcher"}}))
            .extract = true;
        fake.running = row.running;
        fake.answers = row.answers;
        fake.onQuestion = [this] { fake.running.clear(); };  // what 重试 finds, if the user closed it
        const Recording run = Run();
        ASSERT_EQ(fake.questions.size(), row.questions) << row.reason;
        if (row.questions > 0) {
            EXPECT_NE(fake.questions[0].find(launcher), std::wstring::npos) << "the box names what runs";
            EXPECT_TRUE(HasLine(run.Statuses(), L"Quillmere 正在运行")) << row.reason;
        }
        const bool completed = std::wstring(row.status) == L"安装完成！";
        EXPECT_TRUE(EndedWith(run, row.status, completed ? InstallEnd::Succeeded : InstallEnd::Failed)) << row.reason;
        EXPECT_EQ(ReadFile(Install() / "launcher.exe"), completed ? "new launcher" : "old launcher") << row.reason;
        EXPECT_EQ(fake.attempts.empty(), !completed) << "a cancel comes before any download";
    }
    // Letter case does not tell two Windows paths apart; forward slashes are separators too.
    const std::vector<RunningProgram> programs = {{1, L"c:\\QUILLMERE\\Gateway\\node.exe"},
                                                  {2, L"C:/Quillmere/launcher.exe"},
                                                  {3, L"C:\\Quillmere"},
                                                  {4, L"C:\\QuillmereData\\x.exe"}};
    EXPECT_EQ(ProgramsUnder(programs, L"C:\\Quillmere\\"),
              (std::vector<std::wstring>{L"c:\\QUILLMERE\\Gateway\\node.exe", L"C:/Quillmere/launcher.exe"}));
}

// Too little room is found before the first byte is written, not as a half-unpacked tree.
TEST_F(InstallFlowTest, ADriveWithTooLittleRoomIsNamedBeforeAnythingIsUnpacked)
{
    const std::string product = StoredZip({{"launcher.exe", std::string(3000, 'L')}, {"lib/a.js", std::string(2000, 'a')}});
    AddPackage("quillmere", "quillmere.zip", "Quillmere 主程序", product).extract = true;
    fake.served["skill.zip"] = StoredZip({{"SKILL.md", std::string(2048, 's')}});
    AddSkill("s", "skill.zip", "技能", false, true);
    fake.freeBytes = 4096;
    const Recording run = Run();
    EXPECT_EQ(run.Logs().back(), L"  [错误] 解压失败: quillmere.zip - 磁盘空间不足（需要 4.9 KB，可用 4.0 KB）");
    EXPECT_FALSE(fs::exists(Install() / "launcher.exe")) << "nothing written";
    EXPECT_TRUE(EndedWith(run, L"安装失败", InstallEnd::Failed));

    // A skill that does not fit is a warning; the run goes on.
    Reset();
    AddPackage("a", "a.bin", "包 a", "aaaa");
    fake.served["skill.zip"] = StoredZip({{"SKILL.md", std::string(2048, 's')}});
    AddSkill("s", "skill.zip", "技能", false, true);
    fake.freeBytes = 1000;
    const Recording skill = Run();
    EXPECT_TRUE(HasLine(skill.Logs(), L"  [警告] 解压失败: 技能 - 磁盘空间不足（需要 2.0 KB，可用 1000 B）"));
    EXPECT_FALSE(fs::exists(Install() / "skills" / "s" / "SKILL.md"));
    EXPECT_TRUE(EndedWith(skill, L"安装完成！", InstallEnd::Succeeded));
}

TEST_F(InstallFlowTest, ALargeDownloadPostsAFewHundredEventsAndEndsOnItsTrueSize)
{
    constexpr int64_t kSize = int64_t{1} << 30;
    constexpr int64_t kChunk = 16 * 1024;
    AddPackage("a", "big.bin", "大文件", "");
    job.manifest.packages.back().size = kSize;
    fake.tickStep = 0;
    InstallPlatform platform = FakePlatform(fake);
    // 64 MB/s: a chunk every quarter of a millisecond, sixteen seconds in all.
    platform.download = [this](const std::wstring&, const fs::path& path, int64_t, const DownloadProgressFn& progress,
                               const std::atomic<bool>&, PartialDownload&) {
        std::ofstream(path, std::ios::binary) << "x";
        for (int64_t done = kChunk; done <= kSize; done += kChunk) {
            if (done % (4 * kChunk) == 0) ++fake.clock;
            progress(done, kSize, 0);
        }
        return Success();
    };
    Recording run;
    DoInstall(job, platform, RecordingSink(run, {}, fake));
    const Lines details = run.Details();
    EXPECT_GT(details.size(), 100u);
    EXPECT_LT(details.size() + run.Progress().size() + run.Logs().size(), 400u) << "every event is a posted message";
    ASSERT_GE(details.size(), 2u);
    EXPECT_EQ(details.back(), L"") << "the line is cleared once the file is in";
    EXPECT_NE(details[details.size() - 2].find(L"1.00 GB / 1.00 GB"), std::wstring::npos)
        << WideToUtf8(details[details.size() - 2]);
    const std::vector<int> progress = run.Progress();
    EXPECT_EQ(std::adjacent_find(progress.begin(), progress.end()), progress.end()) << "the bar only when it moves";
}

TEST_F(InstallFlowTest, ASkillWithADamagedEntryIsAWarningPerEntry)
{
    AddPackage("a", "a.bin", "包 a", "aaaa");
    fake.served["skill.zip"] = DamagedZip({{"SKILL.md", "# s"}, {"tool.py", "print(1)"}}, {"tool.py"});
    AddSkill("s", "skill.zip", "技能", true, true);
    const Recording run = Run();
    EXPECT_TRUE(HasLine(run.Logs(), L"  [警告] 解压失败: 技能/tool.py (CRC 校验失败)"));
    EXPECT_FALSE(HasLine(run.Logs(), L"  技能 安装完成"));
    EXPECT_FALSE(fs::exists(Install() / "skills" / "s" / "tool.py"));
    EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
}

// ---- The log file ----

TEST_F(InstallFlowTest, TheLogFileKeepsEveryLineAndStatusWithTimeButNoKey)
{
    job.choices.apiKey = L"sk-secret-main";
    job.choices.dashscopeKey = L"sk-secret-multi";
    AddPackage("quillmere", "quillmere.zip", "Quillmere 主程序", kProductZip).extract = true;
    const Recording run = Run();
    const std::string file = ReadFile(DownloadDir() / "install-20261209-153012.log");
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file.rfind("2026-12-09 15:30:12.", 0), 0u) << "local time to the millisecond";
    for (const std::wstring& line : run.Logs())
        EXPECT_NE(file.find(" " + WideToUtf8(line) + "\n"), std::string::npos) << WideToUtf8(line);
    for (const std::wstring& status : run.Statuses())
        EXPECT_NE(file.find(" [状态] " + WideToUtf8(status) + "\n"), std::string::npos) << WideToUtf8(status);
    EXPECT_TRUE(file.ends_with(" [结束] 安装完成！\n")) << "the last line names the outcome";
    for (const char* key : {"sk-secret-main", "sk-secret-multi"})
        EXPECT_EQ(file.find(key), std::string::npos) << key << " reached the log file";
    EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
}

// A run that dies in the middle of a phase still leaves what it logged up to two seconds before.
TEST_F(InstallFlowTest, TheLogFileCatchesUpWithinTwoSecondsInsideAPhase)
{
    AddPackage("a", "a.bin", "包 a", "aaaa");
    AddPackage("b", "b.bin", "包 b", "bbbb");
    fake.tickStep = 700;
    std::string seenMidPhase;
    Run([&](const Event& event) {
        if (event.kind == Kind::Log && event.text == L"下载: b.bin (4 B)")
            seenMidPhase = ReadFile(DownloadDir() / "install-20261209-153012.log");
    });
    EXPECT_NE(seenMidPhase.find("下载: a.bin (4 B)"), std::string::npos) << seenMidPhase;
}

TEST_F(InstallFlowTest, AFailedRunPointsAtItsLogFileAndALogThatCannotBeWrittenIsNoFailure)
{
    AddPackage("a", "missing.bin", "包 a", "aaaa");
    fake.served.erase("missing.bin");
    const Recording failed = Run();
    const fs::path file = DownloadDir() / "install-20261209-153012.log";
    EXPECT_EQ(failed.LogFileLine(), L"  日志文件: " + file.wstring());
    EXPECT_TRUE(ReadFile(file).ends_with(" [结束] 下载失败\n"));

    // A folder where the file should go: the run ends as it would have, only without the pointer.
    Reset();
    AddPackage("a", "a.bin", "包 a", "aaaa");
    AddPackage("b", "missing.bin", "包 b", "bbbb");
    fake.served.erase("missing.bin");
    fs::create_directories(file);
    const Recording unlogged = Run();
    EXPECT_EQ(unlogged.LogFileLine(), L"");
    EXPECT_EQ(unlogged.Statuses().back(), L"下载失败");
    EXPECT_TRUE(fs::is_directory(file));
}

// ---- Cancellation at each point the worker looks ----

TEST_F(InstallFlowTest, CancelDuringADownloadLeavesNoPartialFile)
{
    AddPackage("a", "slow.bin", "包 a", std::string(4096, 's'));
    AddPackage("b", "later.bin", "包 b", "bbbb");
    const Recording run = Run(CancelOn(Kind::Detail, L"KB"));
    ASSERT_FALSE(run.Logs().empty());
    EXPECT_EQ(run.Logs().back(), L"  [错误] 下载失败: slow.bin - 用户取消");
    EXPECT_EQ(fake.attempts, (std::vector<std::string>{"slow.bin"})) << "no retry once cancelled";
    EXPECT_FALSE(fs::exists(DownloadDir() / "slow.bin"));
    EXPECT_TRUE(EndedWith(run, L"已取消", InstallEnd::Failed));
}

TEST_F(InstallFlowTest, CancelDuringThePauseBetweenAttemptsEndsAfterTheNextAttempt)
{
    AddPackage("a", "flaky.bin", "包 a", "aaaa");
    fake.failures["flaky.bin"].assign(3, L"HTTP 500");
    AddPackage("b", "later.bin", "包 b", "bbbb");
    const Recording run = Run(CancelOn(Kind::Log, L"(1/3)"));
    const Lines log = run.Logs();
    EXPECT_EQ(fake.attempts, (std::vector<std::string>{"flaky.bin", "flaky.bin"}));
    EXPECT_TRUE(LinesContaining(log, L"(2/3)").empty()) << Shown(log);
    EXPECT_EQ(log.back(), L"  [错误] 下载失败: flaky.bin - HTTP 500");
    EXPECT_TRUE(EndedWith(run, L"已取消", InstallEnd::Failed));
}

TEST_F(InstallFlowTest, CancelAtTheSkillsPhaseFetchesNoSkill)
{
    AddPackage("a", "a.bin", "包 a", "aaaa");
    fake.served["skill-a.zip"] = StoredZip({{"SKILL.md", "# a"}});
    AddSkill("a", "skill-a.zip", "", true, true);
    const Recording run = Run(CancelOn(Kind::Status, L"正在安装 Skills..."));
    EXPECT_EQ(fake.attempts, (std::vector<std::string>{"a.bin"}));
    EXPECT_TRUE(LinesContaining(run.Logs(), L"Skills 安装完成").empty());
    EXPECT_FALSE(fs::exists(Install() / "config.json")) << "no later phase runs";
    EXPECT_TRUE(EndedWith(run, L"已取消", InstallEnd::Failed));
}

TEST_F(InstallFlowTest, CancelDuringTheProductsNpmStopsItAndSavesNothing)
{
    AddPackage("a", "a.bin", "包 a", "aaaa");
    MakeSkillFolder("with-package", true);
    const Recording run = Run(CancelOn(Kind::Log, L"  npm http fetch"));
    const Lines log = run.Logs();
    EXPECT_TRUE(HasLinesInOrder(log, {L"  [警告] npm install 退出码: 1",
                                      L"  可稍后手动执行: npm install --omit=dev --ignore-scripts --legacy-peer-deps"}));
    EXPECT_EQ(log.back(), L"  可稍后手动执行: npm install --omit=dev --ignore-scripts --legacy-peer-deps");
    EXPECT_FALSE(HasLine(log, L"  added 3 packages, and audited 4 packages in 1s")) << "npm was stopped";
    EXPECT_TRUE(DirectoriesOf(kSkillNpm).empty());
    EXPECT_TRUE(fake.registry.empty());
    EXPECT_TRUE(fake.shortcuts.empty());
    EXPECT_TRUE(EndedWith(run, L"已取消", InstallEnd::CancelledQuietly));
}

TEST_F(InstallFlowTest, CancelDuringSkillNpmRunsNoFurtherFolder)
{
    AddPackage("a", "a.bin", "包 a", "aaaa");
    MakeSkillFolder("first", true);
    MakeSkillFolder("second", true);
    const Recording run = Run(CancelOn(Kind::Log, L"  安装依赖: "));
    EXPECT_EQ(LinesContaining(run.Logs(), L"  安装依赖: ").size(), 1u);
    EXPECT_EQ(DirectoriesOf(kSkillNpm).size(), 1u);
    EXPECT_TRUE(LinesContaining(run.Logs(), L"npm install 失败").empty()) << "a folder the user stopped did not fail";
    EXPECT_TRUE(fake.registry.empty());
    EXPECT_TRUE(EndedWith(run, L"已取消", InstallEnd::CancelledQuietly));
}

// ---- Errors that escape a phase ----

TEST_F(InstallFlowTest, AnExceptionFromADownloadFailsTheRunWithItsMessage)
{
    AddPackage("a", "a.bin", "包 a", "aaaa");
    fake.throwing["a.bin"] = "disk gone";
    const Recording run = Run();
    ASSERT_FALSE(run.Logs().empty());
    EXPECT_EQ(run.Logs().back(), L"[错误] 安装异常: disk gone");
    EXPECT_TRUE(EndedWith(run, L"安装失败", InstallEnd::Failed));

    // A file-system error reads as the system words its code, with the path, not as the library's text.
    fake.throwing["a.bin"] = "EACCES";
    const Recording denied = Run();
    EXPECT_EQ(denied.Logs().back(), L"[错误] 安装异常: " +
                                        Utf8ToWide(std::generic_category().message(EACCES)) + L": " +
                                        (DownloadDir() / "a.bin").wstring());
}

TEST_F(InstallFlowTest, AnAgentTemplateThatCannotBeCopiedFailsTheRun)
{
    AddPackage("a", "a.bin", "包 a", "aaaa");
    WriteFile(Install() / "config-files" / "harrowby.json", kAgentTemplate);
    fs::create_directories(State().stateDir / "harrowby.json");  // a folder where the copy should go
    const Recording run = Run();
    ASSERT_FALSE(fake.lastCopyError.empty());
    EXPECT_EQ(run.Logs().back(), L"[错误] 安装异常: " + fake.lastCopyError + L": " +
                                     (State().stateDir / "harrowby.json").wstring());
    EXPECT_TRUE(fake.registry.empty());
    EXPECT_TRUE(EndedWith(run, L"安装失败", InstallEnd::Failed));
}

// ---- npm ----

TEST_F(InstallFlowTest, ProductNpmOutcomesAreOnlyReported)
{
    const struct { bool started; uint32_t exitCode; Lines expected; const char* why; } rows[] = {
        {true, 0, {L"  npm http fetch GET 200 https://registry/x", L"  added 3 packages, and audited 4 packages in 1s",
                   L"  npm install 完成"}, "npm's own lines are relayed"},
        {true, 1, {L"  [警告] npm install 退出码: 1",
                   L"  可稍后手动执行: npm install --omit=dev --ignore-scripts --legacy-peer-deps"},
         "cmd.exe starts but npm fails"},
        {false, 0, {L"  [警告] 未找到 npm，请确认 Node.js 已安装"}, "nothing to start"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        Reset();
        fake.npmStarted = row.started;
        fake.npmExitCode = row.exitCode;
        AddPackage("a", "a.bin", "包 a", "aaaa");
        const Recording run = Run();
        const Lines log = run.Logs();
        EXPECT_TRUE(HasLinesInOrder(log, row.expected));
        EXPECT_EQ(LinesContaining(BeforeSummary(log), L"[警告]").size(), row.started && row.exitCode == 0 ? 0u : 1u)
            << Shown(log);
        EXPECT_TRUE(HasLine(run.Statuses(), L"正在安装 Skills 依赖..."));
        EXPECT_TRUE(LinesContaining(log, L"Skills 依赖安装完成").empty()) << "no skills folder, no summary";
        EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
    }
}

TEST_F(InstallFlowTest, SkillNpmRunsInEachFolderWithAPackageAndCountsSuccesses)
{
    AddPackage("a", "a.bin", "包 a", "aaaa");
    MakeSkillFolder("with-package", true);
    MakeSkillFolder("without-package", false);
    MakeSkillFolder("broken", true, true);
    const Recording run = Run();
    const Lines log = run.Logs();
    EXPECT_TRUE(HasLine(log, L"  安装依赖: with-package"));
    EXPECT_TRUE(HasLinesInOrder(log, {L"  安装依赖: broken", L"    [警告] broken npm install 失败 (退出码: 1)"}));
    EXPECT_FALSE(HasLine(log, L"  安装依赖: without-package"));
    EXPECT_TRUE(HasLine(log, L"  Skills 依赖安装完成 (1 个)")) << "only the successful folder counts";
    std::vector<std::wstring> folders = DirectoriesOf(kSkillNpm);
    std::sort(folders.begin(), folders.end());
    EXPECT_EQ(folders, (std::vector<std::wstring>{(Install() / "skills" / "broken").wstring(),
                                                  (Install() / "skills" / "with-package").wstring()}));
    EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
}

TEST_F(InstallFlowTest, SkillFoldersWithoutPackageJsonCountNothing)
{
    AddPackage("a", "a.bin", "包 a", "aaaa");
    MakeSkillFolder("without-package", false);
    const Lines log = Run().Logs();
    EXPECT_TRUE(HasLine(log, L"  Skills 依赖安装完成 (0 个)"));
    EXPECT_TRUE(DirectoriesOf(kSkillNpm).empty());
}

// Where Windows refuses the listing (access denied), a link that loops does it here.
TEST_F(InstallFlowTest, ASkillsFolderThatCannotBeListedIsAWarningNotAFailedRun)
{
    AddPackage("a", "a.bin", "包 a", "aaaa");
    fs::create_directories(Install());
    fs::create_symlink("skills", Install() / "skills");
    const Recording run = Run();
    const Lines warned = LinesContaining(run.Logs(), L"  [警告] 无法读取 Skills 目录，未安装其依赖: ");
    ASSERT_EQ(warned.size(), 2u) << "said, then summed up";
    EXPECT_EQ(warned[0], L"  [警告] 无法读取 Skills 目录，未安装其依赖: " +
                             Utf8ToWide(std::generic_category().message(ELOOP)));
    EXPECT_TRUE(LinesContaining(run.Logs(), L"Skills 依赖安装完成").empty());
    EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
}

// ---- Transfer lines ----

TEST_F(InstallFlowTest, TransferLinesShowTheAverageSpeedOfTheCurrentAttempt)
{
    fake.clock = 0xFFFFFFF0u;  // the retried attempt starts just before the tick count wraps
    fake.tickStep = 10;
    AddPackage("a", "a.bin", "包 a", std::string(20480, 'a'));
    fake.failures["a.bin"] = {L"HTTP 500"};
    AddPackage("n", "nolength.bin", "包 n", std::string(20480, 'n'));
    fake.withoutLength.insert("nolength.bin");
    fake.served["skill.zip"] = std::string(20480, 's');
    AddSkill("s", "skill.zip", "", true, true);
    const Recording run = Run();
    // 10 KB in 10 ms and 20 KB in 20 ms are both 1.0 MB/s; timing from the first attempt, or from the
    // previous chunk, would show other speeds.
    EXPECT_EQ(Shown(run.Details()),
              Shown({L"10.0 KB / 20.0 KB (50%)  1.0 MB/s", L"20.0 KB / 20.0 KB (100%)  1.0 MB/s", L"",  // package
                     L"",                                                                           // no length
                     L"10.0 KB / 20.0 KB  1.0 MB/s", L"20.0 KB / 20.0 KB  1.0 MB/s", L""}));        // skill
    EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
}

// ---- Installing again ----

TEST_F(InstallFlowTest, ASecondInstallationReplacesWhatTheFirstPutInPlace)
{
    const StateDirectory state = State();
    const auto runToTheEnd = [this] {
        job.cancelRequested = false;
        const Recording run = Run();
        const Lines tail = FinishingTail(job.choices.installPath);
        EXPECT_EQ(Shown(LastLines(run.Logs(), tail.size())), Shown(tail));
        EXPECT_TRUE(HasLine(run.Logs(), L"  tools/tool.txt → " + job.choices.installPath));
        EXPECT_EQ(run.Progress().back(), 100);
        EXPECT_TRUE(EndedWith(run, L"安装完成！", InstallEnd::Succeeded));
        return run.Logs();
    };
    job.choices.apiKey = L"sk-first";
    job.choices.apiProvider = 1;
    job.choices.dashscopeKey = L"sk-earlier";
    AddPackage("quillmere", "quillmere.zip", "Quillmere 主程序", kProductZip).extract = true;
    AddPackage("tool", "tools/tool.txt", "辅助工具", "tool");
    runToTheEnd();
    ASSERT_EQ(ReadFile(Install() / "tool.txt"), "tool");

    fake.served["tools/tool.txt"] = "tool v2";
    fake.served["quillmere.zip"] =
        ProductZip("{\n  \"v\": 2,\n  \"gateway\": {\"mode\": \"x\"}\n}\n", "{\"v\": 2}", "<html>2</html>", "bundle 2");
    job.choices.apiKey.clear();
    job.choices.apiProvider = 0;
    job.choices.dashscopeKey.clear();
    const Lines log = runToTheEnd();

    EXPECT_EQ(ReadFile(Install() / "tool.txt"), "tool v2");
    EXPECT_NE(ReadFile(state.stateDir / "harrowby.json").find("\"v\": 2"), std::string::npos);
    EXPECT_TRUE(HasLine(log, L"  auth-profiles.json → " + state.agentDir.wstring()));
    EXPECT_EQ(ReadFile(state.agentDir / "auth-profiles.json"), "{\"v\": 2}")
        << "without a key the template is copied as it is";
    EXPECT_EQ(ReadFile(state.canvasDir / "quillmere.html"), "<html>2</html>");
    EXPECT_EQ(ReadFile(state.canvasDir / "a2ui.bundle.js"), "bundle 2");
    EXPECT_EQ(ReadFile(state.stateDir / "credentials" / "qwen-portal_default"), "enc:fake:sk-first")
        << "an empty key leaves the earlier credential alone";
    EXPECT_EQ(fake.registry[Setting(L"ApiProvider")], L"0");
    EXPECT_EQ(fake.registry[Setting(L"DashscopeKey")], L"sk-earlier") << "an empty key keeps the stored one";
    EXPECT_EQ(fake.shortcuts.size(), 2u);
}


// ---- The record, and the undo of a first installation that did not finish ----

TEST_F(InstallFlowTest, AFirstInstallationThatDoesNotFinishLeavesNothingOfItsOwn)
{
    const struct { bool reachesRegistry; const char* why; } rows[] = {
        {false, "cancelled in npm, after the product, a skill and the configuration were in place"},
        {true, "an error in the last phase, after the registry was written"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        Reset();
        fake.registry[Setting(L"Model")] = L"earlier model";  // left by something before us
        fake.registry[Setting(L"ApiKey")] = L"sk-earlier";
        job.choices.apiKey = L"sk-new";
        fs::create_directories(job.folders.profile / ".harrowby");
        WriteFile(job.folders.profile / ".harrowby" / "harrowby.json", "{\"user\": 1}");
        fake.nodeVersion = "v18.0.0";
        AddPackage("node", "node.msi", "Node.js", "msi");
        AddPackage("playwright", "playwright.zip", "浏览器", StoredZip({{"chromium/chrome.txt", "b"}}));
        AddPackage("quillmere", "quillmere.zip", "Quillmere 主程序", kProductZip).extract = true;
        fake.served["skill-a.zip"] = StoredZip({{"SKILL.md", "# a"}, {"package.json", "{}"}});
        AddSkill("a", "skill-a.zip", "技能甲", true, true);
        fake.shortcutThrows = row.reachesRegistry;
        const Recording run = Run(row.reachesRegistry ? std::function<void(const Event&)>{}
                                                      : CancelOn(Kind::Log, L"  npm http fetch"));

        EXPECT_EQ(Shown(run.UndoLines()),
                  Shown({L"  已撤销本次安装的更改", L"  Node.js 已保留（其他程序也可能使用）",
                         L"  Playwright 浏览器引擎已保留: " + (job.folders.localAppData / "ms-playwright").wstring()}));
        EXPECT_FALSE(fs::exists(Install())) << "the folder this run created goes, with everything in it";
        EXPECT_TRUE(fs::exists(job.folders.profile / ".harrowby" / "harrowby.json"))
            << "a file that stood before is never removed";
        EXPECT_FALSE(fs::exists(State().agentDir.parent_path().parent_path())) << "the folders made below it go";
        EXPECT_FALSE(fs::exists(State().canvasDir));
        EXPECT_FALSE(fs::exists(State().stateDir / "credentials"));
        EXPECT_TRUE(fs::exists(job.folders.localAppData / "ms-playwright" / "chromium" / "chrome.txt"));
        EXPECT_EQ(fake.registry, (std::map<std::wstring, std::wstring>{{Setting(L"Model"), L"earlier model"},
                                                                       {Setting(L"ApiKey"), L"sk-earlier"}}))
            << "earlier values come back, ours go";
        EXPECT_TRUE(fake.numbers.empty());
        EXPECT_FALSE(fs::exists(job.folders.desktop / "Quillmere Gateway.lnk"));
        EXPECT_EQ(fake.shortcuts.size(), 0u);
        EXPECT_FALSE(run.LogFileLine().empty()) << "the log file in the download folder stays for whoever helps";
        EXPECT_EQ(HasLine(run.Logs(), L"  注册表配置已保存"), row.reachesRegistry);
    }
}

TEST_F(InstallFlowTest, AnUndoNamesWhatItCouldNotRemoveAndKeepsWhatTheUserPutThere)
{
    AddPackage("quillmere", "quillmere.zip", "Quillmere 主程序", kProductZip).extract = true;
    fake.held.insert(Install() / "launcher.exe");
    const Recording run = Run([this](const Event& event) {
        if (event.kind == Kind::Log && event.text == L"  npm http fetch GET 200 https://registry/x") {
            WriteFile(Install() / "dist" / "notes.txt", "the user's own");
            job.cancelRequested = true;
        }
    });
    const Lines undo = run.UndoLines();
    EXPECT_TRUE(HasLine(undo, L"  [警告] 未能删除: " + (Install() / "launcher.exe").wstring() +
                                  L" - 另一个程序正在使用此文件，进程无法访问。"));
    EXPECT_TRUE(HasLine(undo, L"  [警告] 未删除: " + (Install() / "dist").wstring() + L" - 其中还有其他文件"));
    EXPECT_FALSE(HasLine(undo, L"  已撤销本次安装的更改")) << "never a success line for a partial undo";
    EXPECT_EQ(ReadFile(Install() / "dist" / "notes.txt"), "the user's own");
    EXPECT_FALSE(fs::exists(Install() / "config.json"));
    EXPECT_FALSE(fs::exists(Install() / "dist" / "canvas-host"));
}

TEST_F(InstallFlowTest, AnExistingFolderKeepsItsFilesAndAFailedReinstallationKeepsTheEarlierOne)
{
    WriteFile(Install() / "readme-of-the-user.txt", "mine");
    WriteFile(job.folders.temp / "Quillmere_Uninstall" / "uninstall-4711.exe", "the copy an uninstaller ran from");
    WriteFile(job.folders.temp / "Quillmere_Uninstall" / "notes.txt", "not an uninstaller copy");
    AddPackage("quillmere", "quillmere.zip", "Quillmere 主程序", kProductZip).extract = true;
    AddPackage("tool", "tools/tool.txt", "辅助工具", "tool");
    ASSERT_TRUE(EndedWith(Run(), L"安装完成！", InstallEnd::Succeeded));
    EXPECT_FALSE(fs::exists(job.folders.temp / "Quillmere_Uninstall" / "uninstall-4711.exe")) << "a copy left by an uninstaller";
    EXPECT_TRUE(fs::exists(job.folders.temp / "Quillmere_Uninstall" / "notes.txt"));
    const std::optional<InstallRecord> first = ParseInstallRecord(ReadFile(Install() / "uninstall.dat"));
    ASSERT_TRUE(first);
    EXPECT_TRUE(std::none_of(first->folders.begin(), first->folders.end(), [this](const fs::path& f) { return f == Install(); }))
        << "a folder that stood before is not ours";
    EXPECT_EQ(ReadFile(Install() / "uninstall.dat").find("sk-"), std::string::npos) << "the record never holds a key";

    // The second run adds a skill, then fails on a package after it.
    fake.served["skill-b.zip"] = StoredZip({{"SKILL.md", "# b"}});
    AddSkill("b", "skill-b.zip", "技能乙", true, true);
    job.manifest.packages.insert(job.manifest.packages.begin(), {"x", "missing.bin", "缺失", 4, false, false});
    job.cancelRequested = false;
    fake.attempts.clear();
    const Recording second = Run();
    EXPECT_TRUE(EndedWith(second, L"下载失败", InstallEnd::Failed));
    EXPECT_TRUE(second.UndoLines().empty()) << "nothing of the earlier installation is taken away";
    EXPECT_EQ(ReadFile(Install() / "launcher.exe"), "MZ");
    EXPECT_EQ(ReadFile(Install() / "readme-of-the-user.txt"), "mine");
    const std::optional<InstallRecord> merged = ParseInstallRecord(ReadFile(Install() / "uninstall.dat"));
    ASSERT_TRUE(merged);
    EXPECT_EQ(merged->files.size(), first->files.size()) << "the failed run wrote nothing new before it stopped";
}

TEST_F(InstallFlowTest, TheUninstallerRemovesExactlyWhatTheRecordListsAndTheStateDirectoryOnlyWhenAsked)
{
    for (const bool withStateDirectory : {false, true}) {
        SCOPED_TRACE(withStateDirectory ? "state directory ticked" : "state directory kept");
        Reset();
        job.choices.apiKey = L"sk-main";
        WriteFile(Install() / "old" / "kept.txt", "the user's file before the installation");
        AddPackage("quillmere", "quillmere.zip", "Quillmere 主程序", kProductZip).extract = true;
        fake.served["skill-a.zip"] = StoredZip({{"SKILL.md", "# a"}, {"package.json", "{}"}});
        AddSkill("a", "skill-a.zip", "技能甲", true, true);
        ASSERT_TRUE(EndedWith(Run(), L"安装完成！", InstallEnd::Succeeded));
        ASSERT_TRUE(fs::exists(Install() / "skills" / "a" / "node_modules"));
        WriteFile(Install() / "dist" / "mine.txt", "put there after the installation");
        WriteFile(State().stateDir / "sessions" / "today.json", "the agent's own data");

        // Quillmere still runs: asked once, the user stops, and nothing is touched.
        fake.running = {{7, (Install() / "launcher.exe").wstring()}};
        const InstallPlatform platform = FakePlatform(fake);
        Recording stopped;
        EXPECT_EQ(Uninstall(Install(), withStateDirectory, platform, RecordingSink(stopped, {}, fake)), UninstallEnd::Stopped);
        EXPECT_EQ(fake.questions.size(), 1u);
        EXPECT_TRUE(fs::exists(Install() / "launcher.exe"));
        EXPECT_FALSE(fake.registry.empty());

        fake.running.clear();
        Recording removal;
        const UninstallEnd end = Uninstall(Install(), withStateDirectory, platform, RecordingSink(removal, {}, fake));
        EXPECT_EQ(UninstallExitCode(end), 0) << Shown(removal.Texts(Kind::Log));
        EXPECT_EQ(removal.Statuses().back(), L"卸载完成");
        const Lines log = removal.Texts(Kind::Log);
        EXPECT_TRUE(HasLine(log, L"  已删除: " + (Install() / "launcher.exe").wstring()));
        EXPECT_TRUE(HasLine(log, L"  已保留: " + (Install() / "dist").wstring() + L" (其中还有其他文件)"));
        EXPECT_EQ(HasLine(log, L"  配置和 API Key 已保留: " + State().stateDir.wstring()), !withStateDirectory);
        std::set<fs::path> left;
        for (const auto& entry : fs::recursive_directory_iterator(Install())) left.insert(entry.path());
        EXPECT_EQ(left, (std::set<fs::path>{Install() / "old", Install() / "old" / "kept.txt", Install() / "dist",
                                            Install() / "dist" / "mine.txt"}));
        EXPECT_EQ(fs::exists(State().stateDir), !withStateDirectory);
        if (!withStateDirectory) {
            EXPECT_EQ(ReadFile(State().stateDir / "credentials" / "qwen-portal_default"), "enc:fake:sk-main");
        }
        EXPECT_TRUE(fake.registry.empty()) << "our key and the Apps & Features entry";
        EXPECT_TRUE(fake.numbers.empty());
        EXPECT_FALSE(fs::exists(job.folders.desktop / "Quillmere Gateway.lnk"));
        EXPECT_FALSE(fs::exists(DownloadDir())) << "the download folder, which the installation created";
        EXPECT_TRUE(fs::exists(job.folders.desktop)) << "never a folder that was there before";
    }
}

TEST_F(InstallFlowTest, WithoutARecordTheUninstallerTouchesNothing)
{
    for (const char* record : {"", "quillmere-install-record 1\nfile\tnew\t/cut off"}) {
        SCOPED_TRACE(record);
        Reset();
        WriteFile(Install() / "launcher.exe", "MZ");
        WriteFile(Install() / "uninstall.dat", record);
        Recording removal;
        const InstallPlatform platform = FakePlatform(fake);
        const UninstallEnd end = Uninstall(Install(), true, platform, RecordingSink(removal, {}, fake));
        EXPECT_EQ(end, UninstallEnd::NoRecord);
        EXPECT_EQ(UninstallExitCode(end), 1);
        EXPECT_TRUE(fs::exists(Install() / "launcher.exe"));
        EXPECT_EQ(removal.Statuses().back(), L"无法卸载");
    }
}

TEST_F(InstallFlowTest, ATickedStateDirectoryGoesWholeOnlyUnderTheAgentsOwnName)
{
    WriteFile(job.folders.profile / "Documents" / "mine.txt", "the user's");
    InstallRecord damaged;
    damaged.installDir = Install();
    damaged.stateDir = job.folders.profile;  // a record that names the profile itself
    const InstallPlatform platform = FakePlatform(fake);
    const RemovalReport report = RemoveRecorded(damaged, platform, {}, {RemovalPurpose::Uninstall, true});
    EXPECT_EQ(ReadFile(job.folders.profile / "Documents" / "mine.txt"), "the user's");
    EXPECT_TRUE(report.removed.empty());
}

}  // namespace
