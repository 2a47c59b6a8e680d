#include "WatchTestHelpers.h"

#include <atomic>
#include <cstdlib>

#include "config/CQuorbelServiceHelper.h"
#include "service/CWindowService.h"
#include "trace/Trace.h"
#include "trace/TraceManager.h"

using namespace testing_support;

namespace watch_test {

namespace {
constexpr wchar_t kLogDirectoryName[] = L"unit_watch_log";
constexpr wchar_t kLogDirectory[] = L"C:\\QuorbelTests\\unit_watch_log";

void TurnTraceOnOnce()
{
    // Emptied now and removed at process exit, when nothing traces any more.
    static const ScratchDir logDirectory(kLogDirectoryName);
    static const bool turnedOn = [] {
        GetTraceManager().RegisterChannel(1, L"unit_watch.exe", logDirectory.Path().c_str());
        return true;
    }();
    (void)turnedOn;
}

std::atomic<int> launchCount{0};
}  // namespace

TraceCapture::TraceCapture()
{
    TurnTraceOnOnce();
    static std::atomic<int> sequence{0};
    marker_ = L"capture " + std::to_wstring(GetCurrentProcessId()) + L"." +
              std::to_wstring(++sequence) + L"." + std::to_wstring(GetTickCount());
    TraceLog("TraceCapture", __LINE__, L"%s", marker_.c_str());
}

std::wstring TraceCapture::Text() const
{
    const std::wstring text = ReadAllLogFiles(kLogDirectory);
    const size_t at = text.find(marker_);
    return at == std::wstring::npos ? std::wstring() : text.substr(at + marker_.size());
}

int TraceCapture::Count(const std::wstring& fragment) const
{
    return Occurrences(Text(), fragment);
}

std::wstring CopySleeper(const std::wstring& directory, const std::wstring& fileName)
{
    const std::wstring path = directory + L"\\" + fileName;
    CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_sleeper.exe", path);
    return path;
}

std::wstring CopyLateStarter(const std::wstring& directory, const std::wstring& fileName,
                             DWORD delayMs, const std::wstring& target)
{
    const std::wstring path = directory + L"\\" + fileName;
    CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_late_start.exe", path);
    WriteTextFile(path + L".target", std::to_string(delayMs) + "\n" + Utf8(target) + "\n");
    return path;
}

WatchListKey::WatchListKey()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, CQuorbelServiceHelper::kBaseKeyPath);
}

WatchListKey::~WatchListKey()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, CQuorbelServiceHelper::kBaseKeyPath);
    // The parent goes too unless something else keeps keys in it.
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\QUORBEL");
}

void WatchListKey::AddEntry(const std::wstring& name, const std::wstring& path,
                            const std::wstring& status)
{
    const std::wstring entryKey = std::wstring(CQuorbelServiceHelper::kBaseKeyPath) + L"\\" + name;
    SetString(entryKey, L"Path", path);
    SetString(entryKey, L"Status", status);
}

void WatchListKey::RemoveEntry(const std::wstring& name)
{
    const std::wstring entryKey = std::wstring(CQuorbelServiceHelper::kBaseKeyPath) + L"\\" + name;
    RegDeleteTreeW(HKEY_CURRENT_USER, entryKey.c_str());
}

void WatchListKey::SetIntervalText(const std::wstring& text)
{
    SetString(CQuorbelServiceHelper::kBaseKeyPath, L"Interval", text);
}

void WatchListKey::SetIntervalDword(DWORD value)
{
    RegSetKeyValueW(HKEY_CURRENT_USER, CQuorbelServiceHelper::kBaseKeyPath, L"Interval",
                    REG_DWORD, &value, sizeof(value));
}

DWORD CountingLauncher(const XStringW& path, const XStringW& arguments, const XStringW& directory,
                       ScopedHandle* console)
{
    ++launchCount;
    return CWindowService::RunAdminProcessByLogonSession(path, arguments, directory, console);
}

int LaunchCount()
{
    return launchCount.load();
}

void ResetLaunchCount()
{
    launchCount = 0;
}

std::wstring Text(const XStringW& text)
{
    return text.GetString() != nullptr ? std::wstring(text.GetString()) : std::wstring();
}

}  // namespace watch_test
