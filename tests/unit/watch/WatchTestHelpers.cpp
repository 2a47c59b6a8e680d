#include "WatchTestHelpers.h"

#include <atomic>
#include <cstdlib>

#include "config/CQuorbelServiceHelper.h"
#include "process/Sessions.h"
#include "service/CWindowService.h"

using namespace testing_support;

namespace watch_test {

namespace {
std::atomic<int> launchCount{0};
}  // namespace

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

DWORD CountingLauncher(UserLogon& logon, const XStringW& path, const XStringW& arguments,
                       const XStringW& directory, ScopedHandle* console)
{
    ++launchCount;
    return CWindowService::RunAdminProcessByLogonSession(logon, path, arguments, directory,
                                                         console);
}

DWORD CountingLauncherOutsideAPass(UserLogon&, const XStringW& path, const XStringW& arguments,
                                   const XStringW& directory, ScopedHandle* console)
{
    UserLogon activeSession;
    activeSession.Open(FindActiveSessionId());
    return CountingLauncher(activeSession, path, arguments, directory, console);
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
