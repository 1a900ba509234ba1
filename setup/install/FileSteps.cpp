#include "FileSteps.h"

#include "agentconfig/WholeFile.h"
#include "net/Progress.h"

namespace fs = std::filesystem;

namespace {

// Windows compares file names without regard to case; the installation folder's names are
// compared the same way, letter for letter in ASCII, which is where case occurs in them.
std::wstring FoldedFolderText(std::wstring text)
{
    for (wchar_t& c : text) {
        if (c == L'/') c = L'\\';
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    while (!text.empty() && text.back() == L'\\') text.pop_back();
    return text;
}

constexpr wchar_t kInstallBlocked[] =
    L"Quillmere 正在运行，安装无法继续。\n\n请先关闭 Quillmere 及其 Gateway 窗口，然后点击“重试”；"
    L"点击“取消”将停止安装，已安装的文件保持不变。";

std::wstring RunningProgramsText(const std::wstring& question, const std::vector<std::wstring>& programs)
{
    std::wstring text = question + L"\n\n正在运行的程序:";
    for (const std::wstring& program : programs) text += L"\n" + program;
    return text;
}

// A copy tried again while another program refuses it for a moment.
FileResult CopyRetried(const InstallRun& run, const fs::path& from, const fs::path& to)
{
    return Retried([&] { return run.platform.copyFile(from, to); }, PacingOf(run));
}

}  // namespace

RetryPacing PacingOf(const InstallRun& run)
{
    return {run.platform.sleep, &run.job.cancelRequested};
}

FileResult MoveRetried(const InstallRun& run, const fs::path& from, const fs::path& to)
{
    return Retried([&] { return run.platform.movePath(from, to); }, PacingOf(run));
}

FileResult RemoveFileRetried(const InstallRun& run, const fs::path& file)
{
    return Retried([&] { return run.platform.removeFile(file); }, PacingOf(run));
}

FileResult RemoveTreeRetried(const InstallRun& run, const fs::path& folder)
{
    return Retried([&] { return run.platform.removeTree(folder); }, PacingOf(run));
}

FileResult CreateFoldersRetried(const InstallRun& run, const fs::path& folder)
{
    return Retried([&] { return run.platform.createFolders(folder); }, PacingOf(run));
}

RoomCheck RoomIn(const InstallRun& run, const fs::path& destination)
{
    return [&run, destination](uint64_t declared) -> std::optional<std::wstring> {
        const std::optional<uint64_t> available = run.platform.freeSpace(destination);
        if (!available || declared <= *available) return std::nullopt;
        return L"磁盘空间不足（需要 " + FormatSize(static_cast<int64_t>(declared)) + L"，可用 " +
               FormatSize(static_cast<int64_t>(*available)) + L"）";
    };
}

std::vector<std::wstring> detail::ProgramsUnder(const std::vector<RunningProgram>& programs, const fs::path& folder)
{
    const std::wstring prefix = FoldedFolderText(folder.wstring()) + L"\\";
    std::vector<std::wstring> under;
    for (const RunningProgram& program : programs)
        if (prefix.size() > 1 && FoldedFolderText(program.image).rfind(prefix, 0) == 0) under.push_back(program.image);
    return under;
}

// Windows refuses to overwrite a running program, so a product left running would fail its own
// update half-way; the user closes it first, or stops with nothing touched.
bool WaitUntilNothingRunsFrom(const InstallRun& run, const fs::path& folder)
{
    return WaitUntilNothingRunsFrom(run.platform, run.events, folder, kInstallBlocked);
}

bool WaitUntilNothingRunsFrom(const InstallPlatform& platform, const InstallEvents& events, const fs::path& folder,
                              const std::wstring& question)
{
    for (;;) {
        const std::vector<std::wstring> running = detail::ProgramsUnder(platform.runningPrograms(), folder);
        if (running.empty()) return true;
        events.status(L"Quillmere 正在运行");
        for (const std::wstring& program : running) events.log(L"  正在运行: " + program);
        if (!events.askRetry || !events.askRetry(RunningProgramsText(question, running))) return false;
    }
}

bool Exists(const fs::path& path)
{
    std::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

FileResult CreateFoldersRecorded(const InstallRun& run, const fs::path& folder)
{
    const std::vector<fs::path> missing = MissingFolders(folder);
    const FileResult made = CreateFoldersRetried(run, folder);
    for (const fs::path& created : missing)
        if (IsFolder(created)) RecordFolder(run.record, created);
    return made;
}

// A failed write that still left a new file behind leaves it ours to remove.
void NoteWrite(const InstallRun& run, const fs::path& file, bool existedBefore, bool succeeded)
{
    if (succeeded || (!existedBefore && Exists(file))) RecordFile(run.record, file, existedBefore);
}

FileResult CopyRecorded(const InstallRun& run, const fs::path& from, const fs::path& to)
{
    const bool existed = Exists(to);
    const FileResult copied = CopyRetried(run, from, to);
    NoteWrite(run, to, existed, static_cast<bool>(copied));
    return copied;
}

Outcome WriteRecorded(const InstallRun& run, const fs::path& file, const std::string& bytes)
{
    const bool existed = Exists(file);
    const Outcome written = WriteWholeFile(file, bytes, PacingOf(run));
    NoteWrite(run, file, existed, static_cast<bool>(written));
    return written;
}

// The record lists itself, so that the uninstaller removes it too.
Outcome SaveInstallRecord(const InstallRun& run)
{
    const fs::path file = InstallDirectory(run) / kInstallRecordName;
    RecordFile(run.record, file, Exists(file));
    InstallRecord whole = run.earlier ? MergeInstallRecords(*run.earlier, run.record) : run.record;
    whole.installDir = InstallDirectory(run);
    return WriteWholeFile(file, InstallRecordText(whole), PacingOf(run));
}

void RecordExtraction(const InstallRun& run, const ExtractReport& report)
{
    for (const fs::path& folder : report.foldersMade) RecordFolder(run.record, folder);
    for (const ExtractedFile& file : report.written) RecordFile(run.record, file.path, file.existedBefore);
}
