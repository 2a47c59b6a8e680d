#pragma once
// Helpers for the in-process tests of the watch thread: copies of the fixture programs, the user's watch list in the registry, and launch counting.

#include <windows.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "TraceCapture.h"
#include "common/ScopedHandle.h"
#include "service/UserLogon.h"
#include "strings/XStringW.h"

namespace watch_test {

using testing_support::TraceCapture;

// A copy of fixture_sleeper.exe as <directory>\<fileName>; returns its path.
std::wstring CopySleeper(const std::wstring& directory, const std::wstring& fileName);
// A copy of fixture_late_start.exe as <directory>\<fileName> that starts target after delayMs.
std::wstring CopyLateStarter(const std::wstring& directory, const std::wstring& fileName,
                             DWORD delayMs, const std::wstring& target);
// The Wine user's watch list (HKCU, which is HKEY_USERS\<the user's SID> too), emptied on
// construction and removed again by the destructor.
class WatchListKey {
public:
    WatchListKey();
    ~WatchListKey();
    WatchListKey(const WatchListKey&) = delete;
    WatchListKey& operator=(const WatchListKey&) = delete;

    void AddEntry(const std::wstring& name, const std::wstring& path,
                  const std::wstring& status = L"1");
    void RemoveEntry(const std::wstring& name);
    void SetIntervalText(const std::wstring& text);
    void SetIntervalDword(DWORD value);
};

// A launcher for WatchSeams::launcher that counts its calls and then starts the
// program as the service would.
DWORD CountingLauncher(UserLogon& logon, const XStringW& path, const XStringW& arguments,
                       const XStringW& directory, ScopedHandle* console);
// The same for tests that call RunProcess outside a pass, which has found no session: it opens
// the active session's logon itself, as a pass would.
DWORD CountingLauncherOutsideAPass(UserLogon& logon, const XStringW& path,
                                   const XStringW& arguments, const XStringW& directory,
                                   ScopedHandle* console);
int LaunchCount();
void ResetLaunchCount();

std::wstring Text(const XStringW& text);

}  // namespace watch_test
