#include "trace/TraceManager.h"

#include <ctime>
#include <new>

#include "trace/Trace.h"
#include "paths/ModulePaths.h"

namespace {

constexpr wchar_t kDefaultLogDirectory[] = L"Log";
constexpr wchar_t kExeExtension[] = L".exe";
constexpr wchar_t kErrorMark[] = L"<ERROR> ";
constexpr wchar_t kLineEnd[] = L"\r\n";
constexpr int kSecondsPerHour = 3600;

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

// Seconds since 1970 of a local calendar time, daylight saving time decided by the runtime.
// Years before 1900 count as 0.
time_t LocalTimeToSeconds(const SYSTEMTIME& local)
{
    if (local.wYear < 1900) {
        return 0;
    }
    std::tm calendar{};
    calendar.tm_year = local.wYear - 1900;
    calendar.tm_mon = local.wMonth - 1;
    calendar.tm_mday = local.wDay;
    calendar.tm_hour = local.wHour;
    calendar.tm_min = local.wMinute;
    calendar.tm_sec = local.wSecond;
    calendar.tm_isdst = -1;
    return std::mktime(&calendar);
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

bool CTraceManager::IsChannelOn()
{
    const CriticalSectionGuard guard(lock);
    const auto level = levels.find(TRACE_CHANNEL);
    return level != levels.end() && level->second >= 1;
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
    const XStringW appendMutexName = AppendMutexName(logDirectory);
    const ScopedHandle appendMutex(::CreateMutexW(nullptr, FALSE, appendMutexName.GetString()));
    const MutexLock appendLock(appendMutex.Get(), kAppendLockTimeoutMs);
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
    FILETIME created{};
    ::GetFileTime(file, &created, nullptr, nullptr);
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    if (!::FileTimeToSystemTime(&created, &utc) ||
        !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
        return false;
    }
    const time_t createdSeconds = LocalTimeToSeconds(local);
    const time_t oldestFresh = std::time(nullptr) - static_cast<time_t>(maxFileAgeHours) *
                                                        kSecondsPerHour;
    return createdSeconds >= oldestFresh;
}

ScopedHandle CTraceManager::CreateLogFile(const XStringW& name, XStringW& fileName)
{
    const CriticalSectionGuard guard(lock);
    fileName = MakeLogFileName(name);
    return OpenForAppend(fileName);
}

bool CTraceManager::IsLogFileFull(DWORD size) const
{
    return maxFileSizeMB >= 0 && static_cast<int>(size >> 20) >= maxFileSizeMB;
}

ScopedHandle CTraceManager::OpenForAppend(const XStringW& fileName)
{
    XStringW path;
    path.Format(L"%s\\%s", logDirectory.GetString(), fileName.GetString());
    // Only the last level is created; a missing parent makes the open below fail.
    ::CreateDirectoryW(logDirectory.GetString(), nullptr);
    return ScopedHandle(::CreateFileW(path.GetString(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
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

XStringW MakeTracePrefix(const XStringA& functionName, int line)
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
    XStringW fileName;
    fileName.Format(L"%s_%02d%02d_%02d%02d.log", name.GetString(), static_cast<int>(now.wMonth),
                    static_cast<int>(now.wDay), static_cast<int>(now.wHour),
                    static_cast<int>(now.wMinute));
    return fileName;
}
