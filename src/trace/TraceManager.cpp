#include "trace/TraceManager.h"

#include <cwchar>
#include <new>

#include "trace/Trace.h"
#include "paths/ModulePaths.h"
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

class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CRITICAL_SECTION& section) : section_(section)
    {
        ::EnterCriticalSection(&section_);
    }
    ~CriticalSectionGuard() { ::LeaveCriticalSection(&section_); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
    CRITICAL_SECTION& section_;
};

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
    ULARGE_INTEGER ticks{};
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    return static_cast<LONGLONG>(ticks.QuadPart / kFileTimeTicksPerSecond);
}

// Wine appends through a seek to the end followed by a positioned write, so two processes that
// append to one file at the same moment overwrite each other's lines (Windows appends atomically).
// A mutex named after the log directory makes the processes of a session that share the directory
// take turns. A line takes milliseconds; a holder that keeps the mutex longer is stuck, and the
// line is then written without it rather than stalling the caller.
constexpr DWORD kAppendLockTimeoutMs = 1000;

XStringW AppendMutexName(const XStringW& directory)
{
    // Mutex names cannot hold a path (no backslashes), so the directory is hashed (FNV-1a, with
    // ASCII letters folded to upper case, as paths compare without regard to case).
    UINT hash = 2166136261u;
    for (const wchar_t* c = directory.GetString(); *c != L'\0'; ++c) {
        const UINT folded = (*c >= L'a' && *c <= L'z') ? *c - L'a' + L'A' : *c;
        hash = (hash ^ folded) * 16777619u;
    }
    XStringW name;
    name.Format(L"QuorbelTraceAppend_%08x", hash);
    return name;
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

CTraceManager::CTraceManager()
{
    ::InitializeCriticalSection(&lock);
}

CTraceManager::~CTraceManager()
{
    ::DeleteCriticalSection(&lock);
}

void CTraceManager::RegisterChannel(int level, const XStringW& exeName, const XStringW& directory)
{
    const CriticalSectionGuard guard(lock);
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
    const CriticalSectionGuard guard(lock);
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
    const CriticalSectionGuard guard(lock);
    if (!IsChannelOn()) {
        return;
    }
    const auto channel = channels.find(TRACE_CHANNEL);
    if (channel == channels.end() || !channel->second || channel->second->level < 1) {
        return;
    }
    _TRACE_INFO_& record = *channel->second;
    WriteTraceLine(record.name, record.fileName, prefix, error, message);
}

void CTraceManager::WriteTraceLine(const XStringW& name, XStringW& fileName, const XStringW& prefix,
                                   bool error, const XStringW& message)
{
    const CriticalSectionGuard guard(lock);
    const MutexLock appendLock(AppendMutex(), kAppendLockTimeoutMs);
    const ScopedHandle file = OpenLogFile(name, fileName);
    if (!file) {
        return;
    }
    const XStringW line = ComposeLine(prefix, error, message);
    // One write per line on an append-only handle: lines of other threads and processes that
    // write to the same file land whole, before or after this one.
    DWORD written = 0;
    ::WriteFile(file.Get(), line.GetString(), static_cast<DWORD>(line.GetByteLength()), &written,
                nullptr);
}

ScopedHandle CTraceManager::OpenLogFile(const XStringW& name, XStringW& fileName)
{
    const CriticalSectionGuard guard(lock);
    if (fileName.IsEmpty()) {
        fileName = MakeLogFileName(name);
    }
    ScopedHandle file = OpenForAppend(fileName);
    if (!file) {
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
    const CriticalSectionGuard guard(lock);
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    const XStringW minuteName = MakeLogFileName(name, now, 0);
    // Numbers below the current file's were taken before it; the minute's own name comes first
    // when the current file is of another minute.
    for (int suffix = SuffixWithinMinute(fileName, minuteName) + 1;; ++suffix) {
        fileName = MakeLogFileName(name, now, suffix);
        ScopedHandle file = OpenForAppend(fileName);
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

ScopedHandle CTraceManager::OpenForAppend(const XStringW& fileName)
{
    XStringW path;
    path.Format(L"%s\\%s", logDirectory.GetString(), fileName.GetString());
    const auto open = [&path] {
        return ScopedHandle(::CreateFileW(path.GetString(), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    ScopedHandle file = open();
    if (!file) {
        // The directory is made when it is missing: before the first line, or after someone
        // removed it. Only the last level is created; a missing parent fails the open again.
        ::CreateDirectoryW(logDirectory.GetString(), nullptr);
        file = open();
    }
    return file;
}

HANDLE CTraceManager::AppendMutex()
{
    const CriticalSectionGuard guard(lock);
    if (!appendMutex && !logDirectory.IsEmpty()) {
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
    static CTraceManager* const manager = new (storage) CTraceManager();
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
