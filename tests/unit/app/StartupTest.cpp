// The application name and the single-instance event, in this test program's own process.

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

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

TEST(Startup, FirstClaimWinsAndALaterOneFindsAGuardThatNoOtherInstanceHolds)
{
    ASSERT_TRUE(InitApplication());
    const std::wstring name = GetApplicationName().GetString();
    HANDLE before = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
    ASSERT_EQ(nullptr, before) << "an event " << Utf8(name) << " exists already";

    XStringW why;
    EXPECT_EQ(GuardClaim::kClaimed, ClaimSingleInstance(why)) << Utf8(why.GetString());

    HANDLE held = OpenEventW(SYNCHRONIZE | READ_CONTROL, FALSE, name.c_str());
    ASSERT_NE(nullptr, held) << "the event was not kept, error " << GetLastError();
    // Created signalled and auto-reset: one wait takes the signal, the next finds none.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(held, 0));
    // It carries this process's integrity, so that a later claim can tell a lower one.
    PACL labels = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetSecurityInfo(held, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, &labels, &descriptor));
    ASSERT_TRUE(labels != nullptr && labels->AceCount == 1u);
    ACE_HEADER* ace = nullptr;
    ASSERT_TRUE(GetAce(labels, 0, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(SYSTEM_MANDATORY_LABEL_ACE_TYPE, ace->AceType);
    LocalFree(descriptor);
    CloseHandle(held);

    // No other process of this name runs: whatever holds the event now is no instance of it.
    EXPECT_EQ(GuardClaim::kNoGuard, ClaimSingleInstance(why));
    EXPECT_EQ(L"a process that is not unit_app (no other unit_app runs in this session)",
              std::wstring(why.GetString()));
}

}  // namespace
