#include <gtest/gtest.h>

#include "ConfigTestSupport.h"
#include "TestPaths.h"
#include "config/CQuorbelServiceHelper.h"

using namespace config_test;

namespace {

// The test programs may run with the stand-in terminal-services DLL beside them, which reports
// one active session; Wine's own reports none.
bool StandInSessionsLoaded()
{
    const HMODULE module = GetModuleHandleW(L"wtsapi32.dll");
    wchar_t path[MAX_PATH] = {};
    if (module == nullptr || GetModuleFileNameW(module, path, MAX_PATH) == 0) {
        return false;
    }
    const std::wstring loaded(path);
    const std::wstring testBin(QUORBEL_TESTBIN_DIR);
    return CompareStringOrdinal(loaded.c_str(), static_cast<int>(testBin.size()), testBin.c_str(),
                                static_cast<int>(testBin.size()), TRUE) == CSTR_EQUAL;
}

TEST(CurrentUserTest, WithoutAnActiveSessionNoUserIsFound)
{
    if (StandInSessionsLoaded()) {
        GTEST_SKIP() << "the stand-in terminal-services DLL reports a session";
    }
    const TraceTail trace;
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetSessionUserName()), L"");
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetSessionDomainName()), L"");
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetCurrentUserSID()), L"");
    if (TraceIsOn()) {
        const std::wstring lines = trace.NewText();
        EXPECT_EQ(CountOccurrences(lines, L"CQuorbelServiceHelper::GetCurrentUserSID("), 2)
            << Shown(lines);
        EXPECT_EQ(CountOccurrences(lines, L" :  CurrentUserName : \\\r\n"), 1) << Shown(lines);
        EXPECT_EQ(CountOccurrences(lines, L" :  LookupAccountName failed\r\n"), 1) << Shown(lines);
    }
}

}  // namespace
