#include "trace/TraceManager.h"

#include <cstdlib>
#include <cwchar>
#include <new>
#include <vector>

#include "common/FileTime.h"
#include "common/ScopedHandle.h"
#include "trace/Trace.h"
#include "paths/ModulePaths.h"
#include "strings/CaseFold.h"
#include "strings/XStringA.h"

namespace {

constexpr wchar_t kDefaultLogDirectory[] = L"Log";
constexpr wchar_t kExeExtension[] = L".exe";
constexpr wchar_t kErrorMark[] = L"<ERROR> ";
constexpr wchar_t kLineEnd[] = L"\r\n";
constexpr wchar_t kLogExtension[] = L".log";
constexpr LONGLONG kSecondsPerHour = 3600;
constexpr ULONGLONG kFileTimeTicksPerSecond = 10000000;
// Numbered files of one minute stop here: beyond it the last one goes on receiving lines rather
// than a rotation searching on without end.
constexpr int kMaxRotationSuffix = 9999;


XStringW ChannelName(const XStringW& exeName)
{
    // Only the exact lower-case extension is dropped: "X.EXE" keeps its name whole.
    const XStringW extension(kExeExtension);
    if (extension.IsSuffixOf(exeName)) {
        return exeName.Left(exeName.GetLength() - extension.GetLength());
    }
    return exeName;
}

// A file time as whole seconds (since 1601, UTC).
LONGLONG FileTimeToSeconds(const FILETIME& time)
{
    return static_cast<LONGLONG>(FileTimeValue(time) / kFileTimeTicksPerSecond);
}

// Windows appends atomically on a handle opened for appending only. Wine appends through a seek
// to the end followed by a positioned write, so two processes that append to one file at the same
// moment overwrite each other's lines. There, and only there, a mutex named after the log
// directory makes the processes that share the directory take turns. A line takes microseconds; a
// holder that keeps the mutex for a second is stuck, and lines are then written without it rather
// than stalling their callers.
constexpr DWORD kAppendLockTimeoutMs = 1000;

bool AppendsNeedATurn()
{
    static const bool underWine =
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return underWine;
}


// "(hh:mm:ss.mmm) <prefix> [<ERROR> ]<message>" and CR LF, stamped with the local time.
XStringW ComposeLine(const XStringW& prefix, bool error, const XStringW& message)
{
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    XStringW line;
    line.Format(L"(%02d:%02d:%02d.%03d) %@ ", static_cast<int>(now.wHour),
                static_cast<int>(now.wMinute), static_cast<int>(now.wSecond),
                static_cast<int>(now.wMilliseconds), prefix);
    if (error) {
        line += kErrorMark;
    }
    // The message ends at its first zero character, whatever its recorded length.
    line += message.GetString();
    line += kLineEnd;
    return line;
}

// One write per line on an append-only handle: lines of other threads and processes that write
// to the same file land whole, before or after this one.
bool AppendLine(HANDLE file, const XStringW& prefix, bool error, const XStringW& message)
{
    const XStringW line = ComposeLine(prefix, error, message);
    const DWORD bytes = static_cast<DWORD>(line.GetByteLength());
    DWORD written = 0;
    return ::WriteFile(file, line.GetString(), bytes, &written, nullptr) && written == bytes;
}

// The path the file system gives an open file or directory after resolving every link on the
// way; empty when it cannot tell.
XStringW ResolvedPath(HANDLE handle)
{
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD length = ::GetFinalPathNameByHandleW(handle, buffer, MAX_PATH + 1, FILE_NAME_NORMALIZED);
    if (length == 0) {
        return XStringW();
    }
    if (length <= MAX_PATH) {
        return XStringW(buffer);
    }
    std::vector<wchar_t> longer(length + 1);
    length = ::GetFinalPathNameByHandleW(handle, longer.data(), length + 1, FILE_NAME_NORMALIZED);
    return length > 0 && length <= longer.size() - 1 ? XStringW(longer.data()) : XStringW();
}

// The number a rotation within the minute gave fileName: 0 for the minute's own name
// "<stem>.log", n for "<stem>_<n>.log", -1 for a file of another minute.
int SuffixWithinMinute(const XStringW& fileName, const XStringW& minuteName)
{
    if (fileName.Compare(minuteName.GetString()) == 0) {
        return 0;
    }
    const int extensionLength = static_cast<int>(std::wcslen(kLogExtension));
    const int stemLength = minuteName.GetLength() - extensionLength;
    const wchar_t* const text = fileName.GetString();
    if (fileName.GetLength() <= stemLength + 1 ||
        std::wcsncmp(text, minuteName.GetString(), stemLength) != 0 || text[stemLength] != L'_') {
        return -1;
    }
    const wchar_t* const digits = text + stemLength + 1;
    const wchar_t* end = digits;
    int suffix = 0;
    for (; *end >= L'0' && *end <= L'9'; ++end) {
        suffix = suffix * 10 + (*end - L'0');
        if (suffix > kMaxRotationSuffix) {
            return -1;
        }
    }
    if (end == digits || std::wcscmp(end, kLogExtension) != 0) {
        return -1;
    }
    return suffix;
}

}  // namespace

XStringW AppendMutexName(const XStringW& directory)
{
    // Mutex names cannot hold a path (no backslashes), so the directory is hashed (FNV-1a, the
    // letters folded, as paths compare without regard to case).
    UINT hash = 2166136261u;
    for (const wchar_t c : FoldCase(directory.GetString())) {
        hash = (hash ^ c) * 16777619u;
    }
    XStringW name;
    name.Format(L"QuorbelTraceAppend_%08x", hash);
    return name;
}

CTraceManager::CTraceManager()
{
    ::InitializeCriticalSection(&lock);
}

CTraceManager::~CTraceManager()
{
    LeaveWriters();
    ::DeleteCriticalSection(&lock);
}

// Where appends need a turn, they take one only while another process writes to the directory
// too: a section named after the directory counts the writers, and a writer alone appends without
// the mutex. A newcomer counts itself first and then waits until no write made without the mutex
// is under way, so that no such write can meet one of its own. A writer that ends without
// leaving keeps the others taking turns: slower, never wrong.
CTraceManager::SharedWriters* CTraceManager::JoinWriters()
{
    if (writers != nullptr || writersTried || logDirectory.IsEmpty()) {
        return writers;
    }
    writersTried = true;
    XStringW name;
    name.Format(L"%@_writers", AppendMutexName(logDirectory));
    writersSection.Reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                              sizeof(SharedWriters), name.GetString()));
    if (!writersSection) {
        return nullptr;
    }
    writers = static_cast<SharedWriters*>(::MapViewOfFile(writersSection.Get(),
                                                          FILE_MAP_ALL_ACCESS, 0, 0,
                                                          sizeof(SharedWriters)));
    if (writers == nullptr) {
        return nullptr;
    }
    ::InterlockedIncrement(&writers->count);
    const ULONGLONG deadline = ::GetTickCount64() + kAppendLockTimeoutMs;
    while (::InterlockedCompareExchange(&writers->unguardedWrites, 0, 0) != 0 &&
           ::GetTickCount64() < deadline) {
        ::Sleep(0);
    }
    return writers;
}

void CTraceManager::LeaveWriters()
{
    const MutexLock guard(lock);
    if (writers != nullptr) {
        ::InterlockedDecrement(&writers->count);
        ::UnmapViewOfFile(writers);
        writers = nullptr;
    }
}

void CTraceManager::RegisterChannel(int level, const XStringW& exeName, const XStringW& directory)
{
    const MutexLock guard(lock);
    SetLogDirectory(directory);
    if (channels.find(TRACE_CHANNEL) == channels.end()) {
        auto record = std::make_unique<_TRACE_INFO_>();
        record->level = level;
        record->name = ChannelName(exeName);
        channels[TRACE_CHANNEL] = std::move(record);
    }
    if (levels.find(TRACE_CHANNEL) == levels.end()) {
        levels[TRACE_CHANNEL] = level;
    }
    channelOn.store(levels[TRACE_CHANNEL] >= 1, std::memory_order_release);
}

void CTraceManager::SetLogDirectory(const XStringW& directory)
{
    const MutexLock guard(lock);
    if (!logDirectory.IsEmpty()) {
        return;
    }
    XStringW chosen = directory.IsEmpty() ? XStringW(kDefaultLogDirectory) : directory;
    if (chosen.Find(L":\\") >= 0) {
        logDirectory = chosen;
        return;
    }
    const int length = chosen.GetLength();
    if (length > 0 && chosen.GetAt(length - 1) == L'\\') {
        chosen = chosen.Left(length - 1);
    }
    logDirectory.Format(L"%@\\%@", GetModuleDirectory(), chosen);
}

void CTraceManager::WriteChannelLine(const XStringW& prefix, bool error, const XStringW& message)
{
    const MutexLock guard(lock);
    if (!IsChannelOn()) {
        return;
    }
    const auto channel = channels.find(TRACE_CHANNEL);
    if (channel == channels.end() || !channel->second || channel->second->level < 1) {
        return;
    }
    _TRACE_INFO_& record = *channel->second;
    // A write that fails is tried once more on the file opened afresh (replaced, when it was
    // removed or became too large meanwhile).
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (record.file && !IsCurrent(record)) {
            record.file.Reset();
        }
        if (!record.file) {
            record.file = OpenLogFile(record.name, record.fileName);
            FILETIME created{};
            if (!record.file || !::GetFileTime(record.file.Get(), &created, nullptr, nullptr)) {
                record.file.Reset();
                return;
            }
            record.fileCreatedAt = FileTimeToSeconds(created);
        }
        if (Append(record.file.Get(), prefix, error, message)) {
            return;
        }
        record.file.Reset();
    }
}

bool CTraceManager::IsCurrent(const _TRACE_INFO_& record) const
{
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const DWORD size = ::GetFileSize(record.file.Get(), nullptr);
    return size != INVALID_FILE_SIZE && !IsLogFileFull(size) &&
           record.fileCreatedAt >= FileTimeToSeconds(now) - maxFileAgeHours * kSecondsPerHour;
}

bool CTraceManager::Append(HANDLE file, const XStringW& prefix, bool error, const XStringW& message)
{
    if (!AppendsNeedATurn()) {
        return AppendLine(file, prefix, error, message);
    }
    if (SharedWriters* const shared = JoinWriters()) {
        ::InterlockedIncrement(&shared->unguardedWrites);
        const bool alone = ::InterlockedCompareExchange(&shared->count, 0, 0) == 1;
        bool written = false;
        if (alone) {
            written = AppendLine(file, prefix, error, message);
        }
        ::InterlockedDecrement(&shared->unguardedWrites);
        if (alone) {
            return written;
        }
    }
    HANDLE mutex = appendMutexStuck ? nullptr : AppendMutex();
    const MutexLock appendLock(mutex, kAppendLockTimeoutMs);
    if (mutex != nullptr && !appendLock.Owns()) {
        appendMutexStuck = true;
    }
    return AppendLine(file, prefix, error, message);
}

void CTraceManager::WriteTraceLine(const XStringW& name, XStringW& fileName, const XStringW& prefix,
                                   bool error, const XStringW& message)
{
    const MutexLock guard(lock);
    const ScopedHandle file = OpenLogFile(name, fileName);
    if (file) {
        Append(file.Get(), prefix, error, message);
    }
}

ScopedHandle CTraceManager::OpenLogFile(const XStringW& name, XStringW& fileName)
{
    const MutexLock guard(lock);
    if (fileName.IsEmpty()) {
        fileName = MakeLogFileName(name);
    }
    OpenOutcome outcome = OpenOutcome::kFailed;
    ScopedHandle file = OpenForAppend(fileName, outcome);
    if (outcome == OpenOutcome::kRefused) {
        // A link in the current file's place: the lines go on in a new file of their own.
        return CreateLogFile(name, fileName);
    }
    if (!file) {
        return file;
    }
    if (outcome == OpenOutcome::kCreated) {
        ApplyRetention(file.Get(), fileName);
        return file;
    }
    if (IsLogFileFull(::GetFileSize(file.Get(), nullptr)) || !IsLogFileFresh(file.Get())) {
        file.Reset();
        return CreateLogFile(name, fileName);
    }
    return file;
}

bool CTraceManager::IsLogFileFresh(HANDLE file) const
{
    // Compared in UTC: a trip through local time costs more than the rest of the test, and a
    // local clock that jumps back at the end of daylight saving time would misjudge the age.
    FILETIME created{};
    if (!::GetFileTime(file, &created, nullptr, nullptr)) {
        return false;
    }
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const LONGLONG oldestFresh = FileTimeToSeconds(now) - maxFileAgeHours * kSecondsPerHour;
    return FileTimeToSeconds(created) >= oldestFresh;
}

ScopedHandle CTraceManager::CreateLogFile(const XStringW& name, XStringW& fileName)
{
    const MutexLock guard(lock);
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    const XStringW minuteName = MakeLogFileName(name, now, 0);
    // Numbers below the current file's were taken before it; the minute's own name comes first
    // when the current file is of another minute.
    for (int suffix = SuffixWithinMinute(fileName, minuteName) + 1;; ++suffix) {
        fileName = MakeLogFileName(name, now, suffix);
        OpenOutcome outcome = OpenOutcome::kFailed;
        ScopedHandle file = OpenForAppend(fileName, outcome);
        if (outcome == OpenOutcome::kRefused && suffix < kMaxRotationSuffix) {
            continue;  // a planted link takes no line; the next name may
        }
        if (outcome == OpenOutcome::kCreated) {
            ApplyRetention(file.Get(), fileName);
            return file;
        }
        if (!file || suffix >= kMaxRotationSuffix) {
            return file;
        }
        // Another process of the same log directory may have started this name already.
        const DWORD size = ::GetFileSize(file.Get(), nullptr);
        if (size == 0 || (!IsLogFileFull(size) && IsLogFileFresh(file.Get()))) {
            return file;
        }
    }
}

bool CTraceManager::IsLogFileFull(DWORD size) const
{
    return maxFileSizeMB >= 0 && static_cast<int>(size >> 20) >= maxFileSizeMB;
}

ScopedHandle CTraceManager::OpenForAppend(const XStringW& fileName, OpenOutcome& outcome)
{
    XStringW path;
    path.Format(L"%s\\%s", logDirectory.GetString(), fileName.GetString());
    ScopedHandle file = OpenWithoutFollowing(path, OPEN_EXISTING);
    outcome = OpenOutcome::kOpened;
    if (!file) {
        const DWORD error = ::GetLastError();
        outcome = OpenOutcome::kFailed;
        // A new file only in a directory of its own (made when missing), and only where the name
        // is free: Wine opens a dangling link as its missing target, and an open that may create
        // would create that target.
        if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) ||
            !IsLogDirectoryPlain()) {
            return file;
        }
        file = OpenWithoutFollowing(path, CREATE_NEW);
        if (file) {
            outcome = OpenOutcome::kCreated;
            verifiedFileName = fileName;
            return file;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS) {
            return file;
        }
        // Another process started the file meanwhile, or the name is a dangling link.
        file = OpenWithoutFollowing(path, OPEN_EXISTING);
        outcome = file ? OpenOutcome::kOpened : OpenOutcome::kRefused;
        if (!file) {
            return file;
        }
    }
    // Where a file lies is checked at its first open, as asking costs more than the rest of a
    // line; every open after it opens a link as itself, never its target.
    if (fileName.Compare(verifiedFileName.GetString()) == 0) {
        return file;
    }
    if (!IsLogDirectoryPlain()) {
        file.Reset();
        outcome = OpenOutcome::kFailed;
        return file;
    }
    if (!IsPlainFile(file.Get()) || !IsFileOfLogDirectory(file.Get(), fileName)) {
        file.Reset();
        outcome = OpenOutcome::kRefused;
        return file;
    }
    verifiedFileName = fileName;
    return file;
}

ScopedHandle CTraceManager::OpenWithoutFollowing(const XStringW& path, DWORD disposition)
{
    // Shared for deleting too: a file kept open must not keep retention in another process
    // from removing it.
    return ScopedHandle(::CreateFileW(path.GetString(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
}

bool CTraceManager::IsPlainFile(HANDLE file)
{
    // Not GetFileInformationByHandle: under Wine its volume serial costs more than a line.
    FILE_ATTRIBUTE_TAG_INFO information{};
    return ::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &information,
                                          sizeof(information)) &&
           (information.FileAttributes &
            (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

bool CTraceManager::IsLogDirectoryPlain()
{
    // Asked by path, which does not follow a link: Wine reports a symbolic link to a directory
    // as a reparse point only this way.
    DWORD attributes = ::GetFileAttributesW(logDirectory.GetString());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // The directory is made when it is missing: before the first line, or after someone
        // removed it. Only the last level is created; a missing parent fails the open.
        ::CreateDirectoryW(logDirectory.GetString(), nullptr);
        attributes = ::GetFileAttributesW(logDirectory.GetString());
    }
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Wine opens a symbolic link made on the host as its target and reports no reparse point for it;
// only the resolved path of the open file tells that it lies elsewhere.
bool CTraceManager::IsFileOfLogDirectory(HANDLE file, const XStringW& fileName)
{
    if (resolvedLogDirectory.IsEmpty() || resolvedFor.Compare(logDirectory.GetString()) != 0) {
        resolvedFor = logDirectory;
        resolvedLogDirectory = XStringW();
        const ScopedHandle directory(::CreateFileW(
            logDirectory.GetString(), FILE_READ_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (directory) {
            resolvedLogDirectory = ResolvedPath(directory.Get());
        }
    }
    const XStringW resolvedFile = ResolvedPath(file);
    // Where the file system cannot tell, the reparse point checks are all there is.
    if (resolvedLogDirectory.IsEmpty() || resolvedFile.IsEmpty()) {
        return true;
    }
    XStringW expected;
    expected.Format(L"%@\\%@", resolvedLogDirectory, fileName);
    return SameIgnoringCase(resolvedFile.GetString(), expected.GetString());
}

void CTraceManager::ApplyRetention(HANDLE newFile, const XStringW& newFileName)
{
    const TraceRetentionResult result =
        RemoveOldTraceFiles(logDirectory, newFileName, maxFolderBytes);
    // Said in the new file itself: a trace call from here would come back into the rotation.
    XStringW message;
    if (result.removed > 0) {
        message.Format(L"removed %d old trace files (%u KiB) to keep the folder within %u MiB",
                       result.removed, static_cast<unsigned>(result.removedBytes >> 10),
                       static_cast<unsigned>(maxFolderBytes >> 20));
        AppendLine(newFile, MakeTracePrefix("CTraceManager::CreateLogFile", __LINE__), false,
                   message);
    }
    if (result.failed > 0) {
        message.Format(L"%d old trace files could not be removed (GetLastError:%d)", result.failed,
                       result.lastError);
        AppendLine(newFile, MakeTracePrefix("CTraceManager::CreateLogFile", __LINE__), true,
                   message);
    }
}

HANDLE CTraceManager::AppendMutex()
{
    const MutexLock guard(lock);
    if (!appendMutex && !logDirectory.IsEmpty() && AppendsNeedATurn()) {
        const XStringW appendMutexName = AppendMutexName(logDirectory);
        appendMutex.Reset(::CreateMutexW(nullptr, FALSE, appendMutexName.GetString()));
    }
    return appendMutex.Get();
}

CTraceManager& GetTraceManager()
{
    // Built in static storage on the first call (the initialisation is thread-safe) and never
    // destroyed: other threads may still trace while the process runs its exit handlers.
    alignas(CTraceManager) static unsigned char storage[sizeof(CTraceManager)];
    static CTraceManager* const manager = [] {
        CTraceManager* const made = new (storage) CTraceManager();
        // The count of the directory's writers is left at exit; lines after it take turns.
        std::atexit([] { GetTraceManager().LeaveWriters(); });
        return made;
    }();
    return *manager;
}

bool IsTraceSwitchOn(const XStringW& fileName)
{
    XStringW path;
    path.Format(L"%@\\%@", GetModuleDirectory(), fileName);
    const ScopedHandle file(::CreateFileW(path.GetString(), FILE_GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.IsValid();
}

XStringW MakeTracePrefix(const char* functionName, int line)
{
    XStringA name(functionName);
    const wchar_t* const wideName = name.ToWide();
    XStringW prefix;
    prefix.AppendFormat(L"%s(%d) : ", wideName != nullptr ? wideName : L"", line);
    return prefix;
}

XStringW MakeLogFileName(const XStringW& name)
{
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return MakeLogFileName(name, now, 0);
}

XStringW MakeLogFileName(const XStringW& name, const SYSTEMTIME& time, int suffix)
{
    XStringW fileName;
    fileName.Format(L"%s_%02d%02d_%02d%02d", name.GetString(), static_cast<int>(time.wMonth),
                    static_cast<int>(time.wDay), static_cast<int>(time.wHour),
                    static_cast<int>(time.wMinute));
    if (suffix > 0) {
        fileName.AppendFormat(L"_%d", suffix);
    }
    fileName += kLogExtension;
    return fileName;
}
