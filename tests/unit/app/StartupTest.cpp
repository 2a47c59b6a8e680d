// The application name and the single-instance event, in this test program's own process.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "TestSupport.h"
#include "app/Startup.h"

using testing_support::Utf8;

namespace {

TEST(Startup, ApplicationIsNamedAfterTheExecutableWithoutExtension)
{
    ASSERT_TRUE(InitApplication());
    EXPECT_EQ(std::wstring(L"unit_app"), std::wstring(GetApplicationName().GetString()));
}

TEST(Startup, FirstClaimWinsAndItsEventStaysForTheProcess)
{
    ASSERT_TRUE(InitApplication());
    const std::wstring name = GetApplicationName().GetString();
    HANDLE before = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
    ASSERT_EQ(nullptr, before) << "an event " << Utf8(name) << " exists already";

    EXPECT_TRUE(ClaimSingleInstance());

    HANDLE held = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
    EXPECT_NE(nullptr, held) << "the event was not kept, error " << GetLastError();
    if (held != nullptr) {
        // Created signalled and auto-reset: one wait takes the signal, the next finds none.
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held, 0));
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(held, 0));
        CloseHandle(held);
    }
    // Any later claim in this session, this process's own included, finds it taken.
    EXPECT_FALSE(ClaimSingleInstance());
}

}  // namespace
