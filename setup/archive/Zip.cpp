#include "archive/Zip.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "archive/Inflate.h"
#include "archive/ZipRecords.h"
#include "base/Files.h"
#include "base/Split.h"
#include "base/Text.h"
#include "base/Utf8.h"
#include "base/WindowsNames.h"

namespace fs = std::filesystem;

namespace {

using namespace zip;

constexpr uint64_t kMaxArchiveSize = 1073741824;
constexpr uint64_t kMaxEntryOutput = 268435456;
constexpr uint64_t kMaxDeflateRatio = 1032;
constexpr uint64_t kOutputBudget = 536870912;
constexpr unsigned kMaxThreads = 8;

// Natively std::filesystem would convert wide text through the C locale; UTF-8 needs none.
fs::path WidePath(const std::wstring& wide)
{
    if constexpr (sizeof(wchar_t) == 2) {
        return fs::path(wide);
    } else {
        const std::string utf8 = WideToUtf8(wide);
        return fs::path(std::u8string(utf8.begin(), utf8.end()));
    }
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Nothing for rooted, drive, stream and device names, or a part ending in a dot or a space: Windows drops
// those, so ".. " climbs like ".." and "setup.exe." would overwrite "setup.exe".
std::optional<std::vector<std::string>> EntryPathParts(const std::string& name)
{
    if (name.empty() || IsSeparator(name.front()) || name.find_first_of(std::string(":\0", 2)) != std::string::npos)
        return std::nullopt;
    std::vector<std::string> parts;
    for (const std::string_view piece : SplitAt(name, "/\\")) {
        std::string part(piece);
        if (part.empty() || part == ".")
            continue;
        if (part.back() == '.' || part.back() == ' ' || IsDeviceName(Utf8ToWide(part)))
            return std::nullopt;
        parts.push_back(std::move(part));
    }
    return parts;
}

std::string JoinedParts(const std::vector<std::string>& parts)
{
    std::string joined;
    for (const std::string& part : parts) joined += (joined.empty() ? "" : "/") + part;
    return joined;
}

bool IsFolderName(const std::string& name) { return !name.empty() && IsSeparator(name.back()); }

// macOS puts resource forks and Finder data under a folder of this name; nobody asked for them.
bool IsMacMetadata(const std::string& name)
{
    for (const std::string_view part : SplitAt(name, "/\\"))
        if (part == "__MACOSX")
            return true;
    return false;
}

bool MakeDirectories(const fs::path& path, const RetryPacing& pacing)
{
    return static_cast<bool>(Retried([&] { return CreateFolders(path); }, pacing));
}

// One write per file; a file that could not be written in full is removed, not left cut short. One that
// cannot even be opened is left alone: whatever stands there is not ours.
bool WriteEntryFile(const fs::path& path, Bytes data, const RetryPacing& pacing)
{
    MakeDirectories(path.parent_path(), pacing);
    return static_cast<bool>(Retried(
        [&] { return WriteFileBytes(path, reinterpret_cast<const char*>(data.data()), data.size()); }, pacing));
}

// The room for the output is the declared size, or for an unknown (zero) one four times the data plus 1024.
uint64_t WantedRoom(const LocalEntry& entry)
{
    return entry.uncompressedSize != 0 ? entry.uncompressedSize : entry.compressedSize * 4 + 1024;
}

// The room actually made: never past the per-entry limit, and DEFLATE cannot turn one input byte into more
// than 1032, so a lying header buys no more memory. None for an entry declared larger than the limit.
uint64_t OutputRoom(const LocalEntry& entry)
{
    if (entry.method != kMethodDeflated || entry.uncompressedSize > kMaxEntryOutput)
        return 0;
    return std::min({WantedRoom(entry), kMaxEntryOutput, (entry.compressedSize + 1) * kMaxDeflateRatio});
}

// Output that overruns its room fails like bad data, unless the limit is what cut the room short.
std::optional<EntryProblem> InflateEntry(const LocalEntry& entry, Bytes data, std::vector<uint8_t>& output)
{
    if (entry.uncompressedSize > kMaxEntryOutput)
        return EntryProblem::TooLarge;
    try {
        output.assign(OutputRoom(entry), 0);
    } catch (const std::bad_alloc&) {
        return EntryProblem::TooLarge;
    }
    const int64_t produced = InflateRaw(data.data(), data.size(), output.data(), output.size());
    if (produced < 0)
        return WantedRoom(entry) > kMaxEntryOutput ? EntryProblem::TooLarge : EntryProblem::InflateFailed;
    output.resize(static_cast<size_t>(produced));
    return std::nullopt;
}

// The output buffers of the entries being inflated at once share one budget, so that memory stays bounded
// however many threads run. A share larger than the whole budget waits until it is the only one.
class OutputBudget {
public:
    void Take(uint64_t bytes)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return bytes == 0 || inUse_ == 0 || inUse_ + bytes <= kOutputBudget; });
        inUse_ += bytes;
    }
    void Give(uint64_t bytes)
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            inUse_ -= bytes;
        }
        room_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable room_;
    uint64_t inUse_ = 0;
};

// Holds a share of the budget for as long as it lives.
class BudgetShare {
public:
    BudgetShare(OutputBudget& budget, uint64_t bytes) : budget_(budget), bytes_(bytes) { budget_.Take(bytes_); }
    ~BudgetShare() { budget_.Give(bytes_); }
    BudgetShare(const BudgetShare&) = delete;
    BudgetShare& operator=(const BudgetShare&) = delete;

private:
    OutputBudget& budget_;
    uint64_t bytes_;
};

// A folder entry to make or an entry to turn into a file, with everything the walk learnt about it.
struct PlannedEntry {
    uint64_t offset;  // of its local header, by which failures are put in archive order
    LocalEntry entry;
    std::vector<std::string> parts;  // of its path below the destination
    fs::path target;
    Bytes data;
    StatedCrcs crcs;
    bool folder;
};

// Nothing when the file was written. The CRC is checked before the file is opened, so a damaged entry
// never replaces a good file from an earlier extraction.
std::optional<EntryProblem> ExtractFile(const PlannedEntry& file, OutputBudget& budget, const RetryPacing& pacing)
{
    const LocalEntry& entry = file.entry;
    if ((entry.flags & kFlagEncrypted) != 0)
        return EntryProblem::Encrypted;
    if (entry.method != kMethodStored && entry.method != kMethodDeflated)
        return EntryProblem::UnsupportedMethod;
    if (file.crcs.count == 0)
        return EntryProblem::ArchiveEndsEarly;
    // Declared before the output, so the share is given back only once the output is freed.
    const BudgetShare share(budget, OutputRoom(entry));
    std::vector<uint8_t> output;
    Bytes data = file.data;
    if (entry.method == kMethodDeflated) {
        if (const std::optional<EntryProblem> problem = InflateEntry(entry, data, output))
            return problem;
        data = output;
    }
    if (!file.crcs.MatchedBy(Crc32(data)))
        return EntryProblem::CrcMismatch;
    if (!WriteEntryFile(file.target, data, pacing))
        return EntryProblem::WriteFailed;
    return std::nullopt;
}

// The whole archive in one read; false when it is unreadable or over the size limit.
bool ReadArchive(const fs::path& path, std::vector<uint8_t>& bytes)
{
    std::error_code ec;
    const uintmax_t size = fs::file_size(path, ec);
    if (ec || size > kMaxArchiveSize)
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    try {
        bytes.assign(size, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    return static_cast<uintmax_t>(in.gcount()) == size;
}

// A failure with the offset of the entry's local header, by which failures are put in archive order.
struct PlacedFailure {
    uint64_t offset;
    EntryFailure failure;
};

// Windows finds a name without regard to case, in every script that has case. Compared by this key, two
// names Windows takes for one are always equal: ASCII letters fold to lower case, characters of the
// caseless scripts (CJK, kana, Hangul) stay, and every other non-ASCII character counts as one and the same.
std::wstring ComparisonKey(const std::string& part)
{
    std::wstring key = Utf8ToWide(part);
    for (wchar_t& c : key) {
        const auto code = static_cast<uint32_t>(c);
        const bool caseless = (code >= 0x2E80 && code < 0xA640) || (code >= 0xAC00 && code < 0xD800) || (code >= 0xF900 && code < 0xFB00);
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
        else if (code >= 0x80 && !caseless)
            c = L'\uFFFD';
    }
    return key;
}

// What the walk found: the entries to carry out in archive order, and those refused on the way.
struct ExtractionPlan {
    std::vector<PlannedEntry> entries;
    std::vector<PlacedFailure> failures;
    std::vector<uint64_t> reached;  // local header offsets of the entries handled, rising
};

// The walk follows the local headers, so entries stored back to back extract even when the end of the
// archive is lost. Nothing is written here; names are judged and sizes settled.
ExtractionPlan PlanExtraction(Bytes archive, const CentralDirectory& central, const fs::path& dest)
{
    ExtractionPlan plan;
    std::set<std::wstring> files;  // as Windows compares them
    LocalEntry entry;
    for (uint64_t position = 0; ReadLocalHeader(archive, position, entry);) {
        const CentralEntry* listed = central.Find(position);
        if (!SettleDescriptorSizes(listed, entry) || !Fits(archive.size(), entry.dataStart, entry.compressedSize)) {
            // An entry whose data the file cut off; one the central directory lists is named later.
            if (!listed && !IsFolderName(entry.name) && !IsMacMetadata(entry.name))
                plan.failures.push_back({position, {entry.name, EntryProblem::ArchiveEndsEarly}});
            break;
        }
        const uint64_t offset = position;
        plan.reached.push_back(offset);
        const Bytes data = archive.subspan(entry.dataStart, entry.compressedSize);
        const uint64_t dataEnd = entry.dataStart + entry.compressedSize;
        const uint64_t descriptorLength = DescriptorLength(archive, dataEnd, entry);
        position = dataEnd + descriptorLength;

        // Folders and macOS metadata never count; of the rest, every entry either becomes a file or is a failure.
        std::optional<std::vector<std::string>> parts = EntryPathParts(entry.name);
        const bool safe = parts && !parts->empty();
        const bool folder = IsFolderName(entry.name);
        if (folder && !(safe && (entry.flags & kFlagEncrypted) == 0 && !IsMacMetadata(entry.name)))
            continue;
        if (safe && IsMacMetadata(entry.name))
            continue;
        // A folder of such a name is not made; the files under it are refused by their own names.
        if (!IsValidUtf8(entry.name)) {
            if (!folder) plan.failures.push_back({offset, {entry.name, EntryProblem::NameNotUtf8}});
            continue;
        }
        if (!safe) {
            plan.failures.push_back({offset, {entry.name, EntryProblem::UnsafeName}});
            continue;
        }
        if (!folder && !files.insert(NameAsWindowsCompares(JoinedParts(*parts))).second) {
            plan.failures.push_back({offset, {entry.name, EntryProblem::DuplicateName}});
            continue;
        }
        fs::path target = dest;
        for (const std::string& part : *parts)
            target /= WidePath(Utf8ToWide(part));
        plan.entries.push_back({offset, entry, std::move(*parts), std::move(target), data,
                                StatedCrcsOf(archive, entry, dataEnd, descriptorLength, listed), folder});
    }
    return plan;
}

size_t GroupOf(std::vector<size_t>& group, size_t i)
{
    while (group[i] != i)
        i = group[i] = group[group[i]];
    return i;
}

// The entries as runs that may go side by side, each in archive order. Where one file is written twice, or
// a file stands where another entry needs a folder, the outcome depends on the order of the writes, so all
// entries using that path share a run. Folder entries that meet nothing are left out: they come first.
std::vector<std::vector<size_t>> IndependentRuns(const std::vector<PlannedEntry>& entries)
{
    struct PathUse {
        std::vector<size_t> asFile;
        std::vector<size_t> asFolder;
    };
    std::map<std::wstring, PathUse> uses;
    for (size_t i = 0; i < entries.size(); ++i) {
        std::wstring key;
        for (size_t part = 0; part < entries[i].parts.size(); ++part) {
            key += (part == 0 ? L"" : L"/") + ComparisonKey(entries[i].parts[part]);
            PathUse& use = uses[key];
            (!entries[i].folder && part + 1 == entries[i].parts.size() ? use.asFile : use.asFolder).push_back(i);
        }
    }
    std::vector<size_t> group(entries.size());
    for (size_t i = 0; i < group.size(); ++i)
        group[i] = i;
    for (const auto& [key, use] : uses) {
        if (use.asFile.empty() || (use.asFile.size() == 1 && use.asFolder.empty()))
            continue;
        for (const std::vector<size_t>* users : {&use.asFile, &use.asFolder})
            for (const size_t i : *users)
                group[GroupOf(group, i)] = GroupOf(group, use.asFile.front());
    }
    std::vector<size_t> members(entries.size(), 0);
    for (size_t i = 0; i < entries.size(); ++i)
        ++members[GroupOf(group, i)];
    std::vector<std::vector<size_t>> runs;
    std::map<size_t, size_t> runOfGroup;
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t root = GroupOf(group, i);
        if (entries[i].folder && members[root] == 1)
            continue;
        const auto [it, added] = runOfGroup.try_emplace(root, runs.size());
        if (added)
            runs.emplace_back();
        runs[it->second].push_back(i);
    }
    return runs;
}

bool Cancelled(const RetryPacing& pacing)
{
    return pacing.cancel && pacing.cancel->load();
}

// A folder entry is made (it never fails: whatever stands there stays); any other entry becomes a file or a problem.
std::optional<EntryProblem> CarryOut(const PlannedEntry& planned, OutputBudget& budget, const RetryPacing& pacing)
{
    if (planned.folder) {
        MakeDirectories(planned.target, pacing);
        return std::nullopt;
    }
    return ExtractFile(planned, budget, pacing);
}

// Each thread takes the next run until none is left; the first exception stops them all and is thrown
// again on the calling thread, which works as one of them.
void CarryOutRuns(const ExtractionPlan& plan, const std::vector<std::vector<size_t>>& runs, unsigned threads,
                  const RetryPacing& pacing, std::vector<std::optional<EntryProblem>>& problems)
{
    OutputBudget budget;
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex errorLock;
    std::exception_ptr error;
    const auto work = [&] {
        try {
            for (size_t run = next++; run < runs.size() && !stop; run = next++)
                for (const size_t i : runs[run]) {
                    if (Cancelled(pacing)) return;
                    problems[i] = CarryOut(plan.entries[i], budget, pacing);
                }
        } catch (...) {
            const std::lock_guard<std::mutex> lock(errorLock);
            if (!error)
                error = std::current_exception();
            stop = true;
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // no more threads to be had: those running share the work
        }
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
    if (error)
        std::rethrow_exception(error);
}

// Up to one thread per core, at most eight, and never more than there are runs. With one, every entry is
// carried out in archive order as it comes; with more, the lone folder entries are made first, then the
// runs go side by side.
std::vector<std::optional<EntryProblem>> CarryOutPlan(const ExtractionPlan& plan, const RetryPacing& pacing, int& threadsUsed)
{
    std::vector<std::optional<EntryProblem>> problems(plan.entries.size());
    const size_t cores = std::min<size_t>(std::thread::hardware_concurrency(), kMaxThreads);
    const std::vector<std::vector<size_t>> runs = cores > 1 ? IndependentRuns(plan.entries) : std::vector<std::vector<size_t>>{};
    const size_t threads = std::min(cores, runs.size());
    if (threads <= 1) {
        threadsUsed = 1;
        OutputBudget budget;
        for (size_t i = 0; i < plan.entries.size() && !Cancelled(pacing); ++i)
            problems[i] = CarryOut(plan.entries[i], budget, pacing);
        return problems;
    }
    threadsUsed = static_cast<int>(threads);
    std::vector<bool> inRun(plan.entries.size(), false);
    for (const std::vector<size_t>& run : runs)
        for (const size_t i : run)
            inRun[i] = true;
    for (size_t i = 0; i < plan.entries.size(); ++i)
        if (!inRun[i])
            MakeDirectories(plan.entries[i].target, pacing);
    CarryOutRuns(plan, runs, static_cast<unsigned>(threads), pacing, problems);
    return problems;
}

} // namespace

std::wstring EntryProblemText(EntryProblem problem)
{
    switch (problem) {
    case EntryProblem::CrcMismatch: return L"CRC 校验失败";
    case EntryProblem::InflateFailed: return L"数据损坏";
    case EntryProblem::WriteFailed: return L"写入失败";
    case EntryProblem::TooLarge: return L"文件过大";
    case EntryProblem::Encrypted: return L"已加密";
    case EntryProblem::UnsupportedMethod: return L"不支持的压缩方法";
    case EntryProblem::UnsafeName: return L"文件名不安全";
    case EntryProblem::ArchiveEndsEarly: return L"压缩包不完整";
    case EntryProblem::NameNotUtf8: return L"文件名不是有效的 UTF-8";
    case EntryProblem::DuplicateName: return L"与另一文件同名";
    }
    return L"";
}

namespace {

// A full disk found half-way would leave a half-unpacked tree; the declared sizes are asked about first.
std::optional<std::wstring> RoomProblem(const CentralDirectory& central, const RoomCheck& roomFor)
{
    if (!roomFor) return std::nullopt;
    uint64_t declared = 0;
    for (const CentralEntry& listed : central.entries) declared += std::min<uint64_t>(listed.uncompressed, kMaxEntryOutput);
    return roomFor(declared);
}

// What stood before any write, so that an undo can tell our files from the user's.
struct BeforeWriting {
    std::vector<bool> fileExisted;  // per planned entry
    std::vector<fs::path> missingFolders;
};

// Adds, to the folders the destination lacked, what the entries will find standing or missing.
void NoteBeforeWriting(const ExtractionPlan& plan, BeforeWriting& before)
{
    before.fileExisted.assign(plan.entries.size(), false);
    std::set<fs::path> noted(before.missingFolders.begin(), before.missingFolders.end());
    for (size_t i = 0; i < plan.entries.size(); ++i) {
        const PlannedEntry& planned = plan.entries[i];
        std::error_code ignored;
        before.fileExisted[i] = !planned.folder && fs::exists(fs::symlink_status(planned.target, ignored));
        for (fs::path& folder : MissingFolders(planned.folder ? planned.target : planned.target.parent_path()))
            if (noted.insert(folder).second) before.missingFolders.push_back(std::move(folder));
    }
}

// Entries a cancel kept from being reached have no problem either, but no file.
void ReportWhatWasMade(const ExtractionPlan& plan, const std::vector<std::optional<EntryProblem>>& problems,
                       BeforeWriting& before, ExtractReport& report)
{
    for (size_t i = 0; i < plan.entries.size(); ++i) {
        const PlannedEntry& planned = plan.entries[i];
        std::error_code ignored;
        if (!problems[i] && !planned.folder && (!report.cancelled || fs::exists(planned.target, ignored)))
            report.written.push_back({planned.target, before.fileExisted[i]});
    }
    for (fs::path& folder : before.missingFolders)
        if (IsFolder(folder)) report.foldersMade.push_back(std::move(folder));
}

// The central directory names what the walk did not reach; the failures go in archive order.
void ReportFailures(ExtractionPlan& plan, const CentralDirectory& central,
                    const std::vector<std::optional<EntryProblem>>& problems, ExtractReport& report)
{
    std::vector<PlacedFailure>& failures = plan.failures;
    for (size_t i = 0; i < plan.entries.size(); ++i) {
        if (problems[i])
            failures.push_back({plan.entries[i].offset, {plan.entries[i].entry.name, *problems[i]}});
        else if (!plan.entries[i].folder)
            ++report.filesWritten;
    }
    for (const CentralEntry& listed : central.entries)
        if (!IsFolderName(listed.name) && !IsMacMetadata(listed.name) &&
            !std::binary_search(plan.reached.begin(), plan.reached.end(), listed.localOffset))
            failures.push_back({listed.localOffset, {listed.name, EntryProblem::ArchiveEndsEarly}});
    std::stable_sort(failures.begin(), failures.end(), [](const PlacedFailure& a, const PlacedFailure& b) { return a.offset < b.offset; });
    for (PlacedFailure& placed : failures)
        report.failures.push_back(std::move(placed.failure));
}

}  // namespace

// Files are written on several threads where their order cannot matter; the report keeps the archive's order.
ExtractReport ExtractZip(const std::wstring& zipPath, const std::wstring& destDir, const RetryPacing& pacing,
                         const RoomCheck& roomFor)
{
    ExtractReport report;
    std::vector<uint8_t> buffer;
    if (!ReadArchive(WidePath(zipPath), buffer)) {
        report.archive = Failure(L"无法读取压缩包");
        return report;
    }
    const fs::path dest = WidePath(destDir);
    const Bytes archive(buffer);
    const CentralDirectory central = ReadCentralDirectory(archive);
    if (const std::optional<std::wstring> noRoom = RoomProblem(central, roomFor)) {
        report.archive = Failure(*noRoom);
        report.refusedForRoom = true;
        return report;
    }
    BeforeWriting before{{}, MissingFolders(dest)};
    MakeDirectories(dest, pacing);
    ExtractionPlan plan = PlanExtraction(archive, central, dest);
    NoteBeforeWriting(plan, before);
    const std::vector<std::optional<EntryProblem>> problems = CarryOutPlan(plan, pacing, report.threads);
    // After a cancel, what was written is partial whatever it counts: the caller removes it.
    report.cancelled = Cancelled(pacing);
    ReportWhatWasMade(plan, problems, before, report);
    if (report.cancelled) return report;
    ReportFailures(plan, central, problems, report);
    // Every archive ends with its end record; without it nothing tells what came after the cut, so the
    // archive as a whole is incomplete, whatever could be written from it.
    if (!central.found)
        report.archive = Failure(L"压缩包不完整");
    return report;
}

std::vector<fs::path> MissingFolders(const fs::path& folder)
{
    std::vector<fs::path> missing;
    std::error_code ignored;
    for (fs::path at = folder; !at.empty() && !fs::exists(fs::symlink_status(at, ignored)); at = at.parent_path()) {
        missing.push_back(at);
        if (at == at.parent_path()) break;
    }
    return {missing.rbegin(), missing.rend()};
}

// Anything already standing under that name counts as success, as a plain file does.
bool detail::CreateDirectoryTree(const std::wstring& path)
{
    if (path.empty())
        return true;
    const fs::path folder = WidePath(path);
    std::error_code ec;
    return fs::exists(folder, ec) || MakeDirectories(folder, {});
}
