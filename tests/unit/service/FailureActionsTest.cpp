// The failure actions handed to the service control manager at install. The manager under Wine
// accepts them but cannot give them back, so the record itself is what is checked.

#include <gtest/gtest.h>

#include "service/ServiceFailureActions.h"

TEST(FailureActions, RestartsThreeTimesAfterTwoSecondsAndResetsAfterTenMinutes)
{
    ServiceFailureActions failureActions;
    const SERVICE_FAILURE_ACTIONSW* record = failureActions.Get();

    EXPECT_EQ(600u, record->dwResetPeriod);
    ASSERT_EQ(3u, record->cActions);
    ASSERT_NE(nullptr, record->lpsaActions);
    for (DWORD i = 0; i < record->cActions; ++i) {
        EXPECT_EQ(SC_ACTION_RESTART, record->lpsaActions[i].Type) << "action " << i;
        EXPECT_EQ(2000u, record->lpsaActions[i].Delay) << "action " << i;
    }
}

TEST(FailureActions, ClearsRebootMessageAndCommandWithEmptyStrings)
{
    // Null would leave an earlier message or command in place; an empty string removes it.
    ServiceFailureActions failureActions;
    const SERVICE_FAILURE_ACTIONSW* record = failureActions.Get();

    ASSERT_NE(nullptr, record->lpRebootMsg);
    EXPECT_EQ(L'\0', record->lpRebootMsg[0]);
    ASSERT_NE(nullptr, record->lpCommand);
    EXPECT_EQ(L'\0', record->lpCommand[0]);
}

TEST(FailureActions, ServiceManagerAcceptsTheRecord)
{
    const wchar_t* const serviceName = L"QuorbelFailureActionsTest";
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager) << "OpenSCManagerW error " << GetLastError();
    SC_HANDLE service = CreateServiceW(
        manager, serviceName, serviceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\windows\\notepad.exe", nullptr,
        nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) {
        const DWORD error = GetLastError();
        CloseServiceHandle(manager);
        FAIL() << "CreateServiceW error " << error;
    }

    ServiceFailureActions failureActions;
    const BOOL accepted =
        ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, failureActions.Get());
    const DWORD error = GetLastError();

    DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    EXPECT_TRUE(accepted) << "ChangeServiceConfig2W error " << error;
}
