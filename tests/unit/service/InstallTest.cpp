// The install's configuration steps against Wine's service manager, with the configuration call
// behind its seam failing on purpose: nothing half-made may stay registered.

#include <gtest/gtest.h>

#include <windows.h>

#include "common/ScopedHandle.h"
#include "service/CWindowService.h"

namespace {

constexpr const wchar_t* kTestService = L"QuorbelInstallTest";
DWORD failingLevel = 0;

BOOL WINAPI ScriptedChangeConfig2(SC_HANDLE service, DWORD level, LPVOID info)
{
    if (level == failingLevel) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ChangeServiceConfig2W(service, level, info);
}

bool IsRegistered()
{
    const ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return static_cast<bool>(
        ScopedServiceHandle(OpenServiceW(manager.Get(), kTestService, SERVICE_QUERY_STATUS)));
}

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CWindowService::Remove(kTestService);
        service_config::changeServiceConfig2 = &ScriptedChangeConfig2;
    }
    void TearDown() override
    {
        service_config::changeServiceConfig2 = ::ChangeServiceConfig2W;
        failingLevel = 0;
        CWindowService::Remove(kTestService);
    }

    bool Install(DWORD& error, InstallStep& step, bool& removed)
    {
        return CWindowService::Install(L"Quorbel install test", kTestService,
                                       L"C:\\QuorbelTests\\none.exe service", L"A test service",
                                       &error, &step, &removed);
    }
};

TEST_F(InstallTest, AFailedConfigurationStepRemovesTheRegistrationItMade)
{
    struct Case {
        DWORD level;
        InstallStep step;
    };
    for (const Case c : {Case{SERVICE_CONFIG_FAILURE_ACTIONS, InstallStep::kFailureActions},
                         Case{SERVICE_CONFIG_DESCRIPTION, InstallStep::kDescription}}) {
        failingLevel = c.level;
        DWORD error = 0;
        InstallStep step = InstallStep::kCreate;
        bool removed = false;

        EXPECT_FALSE(Install(error, step, removed)) << "level " << c.level;

        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error);
        EXPECT_EQ(c.step, step);
        EXPECT_TRUE(removed);
        EXPECT_FALSE(IsRegistered()) << "a half-made registration stayed, level " << c.level;
    }

    failingLevel = 0;
    DWORD error = 0;
    InstallStep step = InstallStep::kCreate;
    bool removed = false;
    EXPECT_TRUE(Install(error, step, removed)) << "error " << error;
    EXPECT_TRUE(IsRegistered());
}

}  // namespace
