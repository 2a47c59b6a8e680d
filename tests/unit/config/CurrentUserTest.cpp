#include <gtest/gtest.h>

#include "ConfigTestSupport.h"
#include "TestSupport.h"
#include "config/CQuorbelServiceHelper.h"

// After <windows.h>, which it needs and does not include itself.
#include <wtsapi32.h>

using namespace config_test;

namespace {

using testing_support::FakeSessions;

// The test programs run with the stand-in terminal-services DLL beside them; Wine's own DLL
// always reports no session.
bool PlatformReportsAnActiveSession()
{
    const FakeSessions sessions(L"one");
    PWTS_SESSION_INFOW records = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &records, &count)) {
        return false;
    }
    bool active = false;
    for (DWORD i = 0; i < count; ++i) {
        active = active || records[i].State == WTSActive;
    }
    WTSFreeMemory(records);
    return active;
}

std::wstring ThisUserName()
{
    wchar_t name[256] = {};
    DWORD length = 256;
    return GetUserNameW(name, &length) ? name : L"";
}

std::wstring ThisComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &length) ? name : L"";
}

TEST(CurrentUserTest, WithoutAnActiveSessionTheLookupIsGivenALoneBackslash)
{
    for (const wchar_t* mode : {L"none", L"disconnected"}) {
        const FakeSessions sessions(mode);
        const TraceCapture trace;
        EXPECT_EQ(Text(CQuorbelServiceHelper::GetSessionUserName()), L"") << Shown(mode);
        EXPECT_EQ(Text(CQuorbelServiceHelper::GetSessionDomainName()), L"") << Shown(mode);
        EXPECT_EQ(Text(CQuorbelServiceHelper::GetCurrentUserSID()), L"") << Shown(mode);
        const std::wstring lines = trace.Text();
        EXPECT_EQ(Occurrences(lines, L"\r\n"), 2) << Shown(lines);
        EXPECT_EQ(Occurrences(lines, L"CQuorbelServiceHelper::GetCurrentUserSID("), 2)
            << Shown(lines);
        EXPECT_EQ(Occurrences(lines, L" :  CurrentUserName : \\\r\n"), 1) << Shown(lines);
        EXPECT_EQ(Occurrences(lines, L" :  LookupAccountName failed\r\n"), 1)
            << Shown(lines);
    }
}

TEST(CurrentUserTest, TheActiveSessionsUserGivesTheNameOfTheUsersHive)
{
    if (!PlatformReportsAnActiveSession()) {
        GTEST_SKIP() << "Wine's own terminal services report no session";
    }
    const std::wstring expectedSid = CurrentUserSidByName();
    ASSERT_FALSE(expectedSid.empty());
    const ScratchKey scratch(L"CurrentUser");
    WriteString(HKEY_CURRENT_USER, scratch.Path(), L"Marker", L"here");

    // "several" holds disconnected, connected and two active sessions.
    for (const wchar_t* mode : {L"one", L"several"}) {
        const FakeSessions sessions(mode);
        const TraceCapture trace;
        EXPECT_EQ(Text(CQuorbelServiceHelper::GetSessionUserName()), ThisUserName()) << Shown(mode);
        EXPECT_EQ(Text(CQuorbelServiceHelper::GetSessionDomainName()), ThisComputerName())
            << Shown(mode);
        const std::wstring sid = Text(CQuorbelServiceHelper::GetCurrentUserSID());
        EXPECT_EQ(sid, expectedSid) << Shown(mode);
        EXPECT_EQ(ReadStringOrState(HKEY_USERS, sid + L"\\" + scratch.Path(), L"Marker"), L"here")
            << "HKEY_USERS\\" << testing_support::Utf8(sid) << " is not this user's hive";
        const std::wstring lines = trace.Text();
        const std::wstring account = ThisComputerName() + L"\\" + ThisUserName();
        EXPECT_EQ(Occurrences(lines, L"\r\n"), 1) << Shown(lines);
        EXPECT_EQ(Occurrences(lines, L" :  CurrentUserName : " + account + L"\r\n"), 1)
            << Shown(lines);
    }
}

}  // namespace
