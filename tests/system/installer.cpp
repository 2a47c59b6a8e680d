// The product's Windows Installer package under Wine's msiexec: what a silent install, an upgrade
// and an uninstall leave in Program Files, in the service manager, in the event log's sources and
// in the list of installed products.

#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "ServiceControl.h"
#include "TestSupport.h"
#include "common/ScopedHandle.h"

using namespace testing_support;

namespace {

const wchar_t kProductName[] = L"Quorbel Service Monitor";
// The package's folder: the 32-bit package on a 64-bit Windows goes to Program Files (x86).
std::wstring InstallDir()
{
    const bool wow64 = ProcessIsWow64(GetCurrentProcessId()).value_or(false);
    return wow64 ? L"C:\\Program Files (x86)\\Quorbel" : L"C:\\Program Files\\Quorbel";
}
const std::wstring kInstallDir = InstallDir();
const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t kQuorbelKey[] = L"Software\\QUORBEL";
const wchar_t kBaseKey[] = L"Software\\QUORBEL\\QuorbelService";
const wchar_t kProbeEntryKey[] = L"Software\\QUORBEL\\QuorbelService\\installer_probe.exe";
const wchar_t kMachineKey[] = L"SOFTWARE\\QUORBEL\\QuorbelService";
const wchar_t kEventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QuorbelService";
constexpr DWORD kMsiexecTimeoutMs = 180000;
constexpr DWORD kStartTimeoutMs = 30000;

struct Product {
    std::wstring code;  // the key's name: the product code
    std::wstring version;
};

std::wstring StringValue(HKEY key, const wchar_t* name)
{
    wchar_t data[512] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    return data;
}

// The entries of "Programs and Features" that carry the product's name, in the uninstall key of
// the given registry view.
void AddInstalledProducts(REGSAM view, std::vector<Product>& products)
{
    ScopedRegKey uninstall;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | view, uninstall.Receive()) !=
        ERROR_SUCCESS) {
        return;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t code[256];
        DWORD length = 256;
        if (RegEnumKeyExW(uninstall.Get(), i, code, &length, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS) {
            break;
        }
        ScopedRegKey entry;
        if (RegOpenKeyExW(uninstall.Get(), code, 0, KEY_READ, entry.Receive()) == ERROR_SUCCESS &&
            StringValue(entry.Get(), L"DisplayName") == kProductName) {
            products.push_back({code, StringValue(entry.Get(), L"DisplayVersion")});
        }
    }
}

// Programs and Features shows both views: a 32-bit package's entry lies in the 32-bit one on a
// 64-bit Windows. On a 32-bit Windows both views are the one registry.
std::vector<Product> InstalledProducts()
{
    std::vector<Product> products;
    AddInstalledProducts(KEY_WOW64_64KEY, products);
    std::vector<Product> redirected;
    AddInstalledProducts(KEY_WOW64_32KEY, redirected);
    for (const Product& product : redirected) {
        const bool seen = std::any_of(products.begin(), products.end(),
                                      [&](const Product& p) { return p.code == product.code; });
        if (!seen) {
            products.push_back(product);
        }
    }
    return products;
}

DWORD Msiexec(const std::wstring& arguments)
{
    const ProcessResult run = RunProgram(L"C:\\windows\\system32\\msiexec.exe", arguments,
                                         kMsiexecTimeoutMs);
    return run.finished ? run.exitCode : 0xFFFFFFFF;
}

DWORD InstallSilently(const std::wstring& package)
{
    return Msiexec(L"/i \"" + package + L"\" /qn");
}

// How many registered services start the executable of this name, whatever their own name.
int ServicesStarting(const std::wstring& imageName)
{
    const ScopedServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    std::vector<BYTE> buffer(256 * 1024);
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    if (!EnumServicesStatusW(manager.Get(), SERVICE_WIN32, SERVICE_STATE_ALL,
                             reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data()),
                             static_cast<DWORD>(buffer.size()), &needed, &count, &resume)) {
        return -1;
    }
    const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUSW*>(buffer.data());
    int starting = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (ServiceBinaryPath(services[i].lpServiceName).find(imageName) != std::wstring::npos) {
            ++starting;
        }
    }
    return starting;
}

// The message file of the service's event source; empty while there is none.
std::wstring EventMessageFile()
{
    wchar_t data[MAX_PATH] = {};
    DWORD size = sizeof(data);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kEventSourceKey, L"EventMessageFile",
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, data,
                     &size) != ERROR_SUCCESS) {
        return {};
    }
    return data;
}

bool ServiceRuns()
{
    return WaitUntil([] { return ServiceState() == SERVICE_RUNNING; }, kStartTimeoutMs);
}

const std::wstring kQuotedBinaryPath =
    L"\"" + kInstallDir + L"\\QuorbelService.exe\" service";

bool KeyExists(const wchar_t* path, HKEY root = HKEY_CURRENT_USER)
{
    ScopedRegKey key;
    return RegOpenKeyExW(root, path, 0, KEY_READ | KEY_WOW64_64KEY, key.Receive()) ==
           ERROR_SUCCESS;
}

// The folder's DACL in SDDL ("P" for protected, then the entries), or the error.
std::wstring FolderDacl(const std::wstring& folder)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status =
        GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor);
    if (status != ERROR_SUCCESS) {
        return L"error " + std::to_wstring(status);
    }
    const ScopedLocalMemory owner(descriptor);
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return L"error " + std::to_wstring(GetLastError());
    }
    const ScopedLocalMemory textOwner(text);
    return text;
}

bool IsWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

void DeleteTree(const wchar_t* path)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, path);
    RegDeleteKeyW(HKEY_CURRENT_USER, path);
}

// Every test starts and ends with no version of the product installed, and leaves the user's
// registry as it found it (the other tests read an absent watch list as a clean prefix).
class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        quorbelKeyExisted = KeyExists(kQuorbelKey);
        baseKeyExisted = KeyExists(kBaseKey);
        UninstallEverything();
    }
    void TearDown() override
    {
        UninstallEverything();
        DeleteTree(!quorbelKeyExisted ? kQuorbelKey : !baseKeyExisted ? kBaseKey : kProbeEntryKey);
    }

    static void UninstallEverything()
    {
        for (const Product& product : InstalledProducts()) {
            Msiexec(L"/x " + product.code + L" /qn");
        }
        // A registration no package owns (one made by hand, or left by a failed installation
        // that Wine did not roll back) goes too.
        const ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        const ScopedServiceHandle service(OpenServiceW(manager.Get(), kTestServiceName, DELETE));
        if (service) {
            DeleteService(service.Get());
        }
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, KEY_WOW64_64KEY, 0);
    }

    bool quorbelKeyExisted = false;
    bool baseKeyExisted = false;
};

TEST_F(InstallerTest, SilentInstallPutsFilesInProgramFilesAndStartsTheQuotedService)
{
    ASSERT_EQ(InstallSilently(QUORBEL_MSI_PATH), 0u);

    EXPECT_TRUE(FileExists(std::wstring(kInstallDir) + L"\\QuorbelService.exe"));
    EXPECT_TRUE(FileExists(std::wstring(kInstallDir) + L"\\QuorbelServiceManager.exe"));
    EXPECT_TRUE(FileExists(std::wstring(kInstallDir) + L"\\QuorbelService.com"));
    EXPECT_EQ(Utf8(ServiceBinaryPath()), Utf8(kQuotedBinaryPath));
    EXPECT_EQ(Utf8(EventMessageFile()), Utf8(std::wstring(kInstallDir) + L"\\QuorbelService.exe"));
    EXPECT_TRUE(ServiceRuns()) << "state " << ServiceState();
    // The service runs the package's own build: the 32-bit one under WOW64 on a 64-bit Windows.
    const DWORD servicePid = ServiceStatus().dwProcessId;
    const std::optional<bool> serviceIsWow64 = ProcessIsWow64(servicePid);
    EXPECT_EQ(serviceIsWow64, ProcessIsWow64(GetCurrentProcessId()))
        << "the service process " << servicePid << " is "
        << (serviceIsWow64 ? (*serviceIsWow64 ? "32-bit" : "64-bit") : "not to be asked");
    const std::vector<Product> products = InstalledProducts();
    ASSERT_EQ(products.size(), 1u);
    EXPECT_EQ(Utf8(products[0].version), Utf8(QUORBEL_PACKAGE_VERSION));
    EXPECT_TRUE(FileExists(std::wstring(kInstallDir) + L"\\PolicyDefinitions\\QuorbelService.admx"));
    EXPECT_TRUE(
        FileExists(std::wstring(kInstallDir) + L"\\PolicyDefinitions\\en-US\\QuorbelService.adml"));
    // Protected (nothing inherited): SYSTEM and Administrators full control, Users read and
    // execute, each for the folder and everything in it. Wine derives a folder's DACL from its
    // Unix mode and keeps none that is set: there the install's success, of which the lock is a
    // checked step, is what shows it ran.
    const std::wstring dacl = FolderDacl(kInstallDir);
    if (IsWine() && dacl.rfind(L"D:P", 0) != 0) {
        std::printf("note: this platform keeps no folder DACL (%s); not checked\n",
                    Utf8(dacl).c_str());
        return;
    }
    EXPECT_EQ(dacl.rfind(L"D:P", 0), 0u) << Utf8(dacl);
    EXPECT_NE(dacl.find(L"(A;OICI;FA;;;SY)"), std::wstring::npos) << Utf8(dacl);
    EXPECT_NE(dacl.find(L"(A;OICI;FA;;;BA)"), std::wstring::npos) << Utf8(dacl);
    EXPECT_NE(dacl.find(L"(A;OICI;0x1200a9;;;BU)"), std::wstring::npos) << Utf8(dacl);
    EXPECT_EQ(Occurrences(dacl, L"(A;"), 3) << Utf8(dacl);
}

TEST_F(InstallerTest, UpgradeFromALowerVersionKeepsOneRegistrationAndOneProduct)
{
    ASSERT_EQ(InstallSilently(QUORBEL_OLDER_MSI_PATH), 0u);
    ASSERT_TRUE(ServiceRuns()) << "state " << ServiceState();

    ASSERT_EQ(InstallSilently(QUORBEL_MSI_PATH), 0u);

    const std::vector<Product> products = InstalledProducts();
    ASSERT_EQ(products.size(), 1u);
    EXPECT_EQ(Utf8(products[0].version), Utf8(QUORBEL_PACKAGE_VERSION));
    EXPECT_EQ(ServicesStarting(L"QuorbelService.exe"), 1);
    EXPECT_EQ(Utf8(ServiceBinaryPath()), Utf8(kQuotedBinaryPath));
    EXPECT_TRUE(ServiceRuns()) << "state " << ServiceState();

    // The older package does not go back over the newer one.
    EXPECT_NE(InstallSilently(QUORBEL_OLDER_MSI_PATH), 0u);
    ASSERT_EQ(InstalledProducts().size(), 1u);
    EXPECT_EQ(Utf8(InstalledProducts()[0].version), Utf8(QUORBEL_PACKAGE_VERSION));
}

TEST_F(InstallerTest, UninstallRemovesServiceEventSourceAndFilesButLeavesTheWatchList)
{
    ASSERT_EQ(InstallSilently(QUORBEL_MSI_PATH), 0u);
    ASSERT_TRUE(ServiceRuns()) << "state " << ServiceState();
    // A paused entry of the user's watch list, which the uninstall is to leave alone.
    ASSERT_TRUE(SetString(kProbeEntryKey, L"Path", L"C:\\Tools\\installer_probe.exe"));
    ASSERT_TRUE(SetString(kProbeEntryKey, L"Status", L"0"));

    ASSERT_EQ(Msiexec(L"/x \"" + std::wstring(QUORBEL_MSI_PATH) + L"\" /qn"), 0u);

    EXPECT_FALSE(IsServiceRegistered());
    EXPECT_EQ(Utf8(EventMessageFile()), "");
    EXPECT_FALSE(FileExists(std::wstring(kInstallDir) + L"\\QuorbelService.exe"));
    EXPECT_FALSE(FileExists(std::wstring(kInstallDir) + L"\\QuorbelService.com"));
    EXPECT_FALSE(FileExists(kInstallDir));
    EXPECT_TRUE(InstalledProducts().empty());
    EXPECT_TRUE(KeyExists(kProbeEntryKey)) << "the watch list entry went";
    EXPECT_FALSE(KeyExists(kMachineKey, HKEY_LOCAL_MACHINE))
        << "the service's machine key, with the states it published, is gone";
}

// The README's quick start on Windows, typed after the package's install: in the installed
// folder, QuorbelService is the console twin, which adds a program, lists it and checks. Under
// Wine the service runs in the commands' own session, where its single-instance guard turns a
// second copy of its name away (on Windows it runs in session 0): the words run while it is
// stopped. The Linux quick start's commands, ./setup.sh test and ./setup.sh demo, are what
// .ci/run and the demo run.
TEST_F(InstallerTest, TheQuickStartAddsListsAndChecksFromTheInstalledFolder)
{
    ASSERT_EQ(InstallSilently(QUORBEL_MSI_PATH), 0u);
    ASSERT_TRUE(ServiceRuns()) << "state " << ServiceState();
    if (IsWine()) {
        ASSERT_TRUE(StopServiceAndWait());
    }
    const auto typed = [](const std::wstring& words) {
        return RunProgramCapturingOutput(L"C:\\windows\\system32\\cmd.exe",
                                         L"/c \"cd /d \"" + kInstallDir + L"\" && " + words + L"\"");
    };

    const CapturedRun add = typed(L"QuorbelService add \"C:\\Program Files\\Agent\\agent.exe\"");
    EXPECT_EQ(add.exitCode, 0u) << add.output;
    EXPECT_NE(add.output.find("agent.exe added: C:\\Program Files\\Agent\\agent.exe (active)"),
              std::string::npos) << add.output;
    const CapturedRun list = typed(L"QuorbelService list");
    EXPECT_EQ(list.exitCode, 0u) << list.output;
    EXPECT_NE(list.output.find("agent.exe  active  not running"), std::string::npos) << list.output;
    const CapturedRun check = typed(L"QuorbelService check");
    EXPECT_EQ(check.exitCode, IsWine() ? 5u : 1u) << check.output;
    const CapturedRun remove = typed(L"QuorbelService remove agent.exe");
    EXPECT_EQ(remove.exitCode, 0u) << remove.output;
    EXPECT_FALSE(KeyExists(L"Software\\QUORBEL\\QuorbelService\\agent.exe"));
}

// One column of the rows a query of the package's database gives, as text.
std::vector<std::wstring> PackageQuery(const wchar_t* package, const wchar_t* query)
{
    std::vector<std::wstring> rows;
    MSIHANDLE database = 0;
    if (MsiOpenDatabaseW(package, MSIDBOPEN_READONLY, &database) != ERROR_SUCCESS) {
        return rows;
    }
    MSIHANDLE view = 0;
    if (MsiDatabaseOpenViewW(database, query, &view) == ERROR_SUCCESS &&
        MsiViewExecute(view, 0) == ERROR_SUCCESS) {
        MSIHANDLE record = 0;
        while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
            std::wstring row;
            for (UINT field = 1; field <= MsiRecordGetFieldCount(record); ++field) {
                wchar_t text[512] = {};
                DWORD length = 512;
                MsiRecordGetStringW(record, field, text, &length);
                row += (field > 1 ? L"|" : L"") + std::wstring(text);
            }
            rows.push_back(row);
            MsiCloseHandle(record);
        }
    }
    MsiCloseHandle(view);
    MsiCloseHandle(database);
    return rows;
}

int SequenceOf(const wchar_t* action)
{
    const std::wstring query =
        std::wstring(L"SELECT `Sequence` FROM `InstallExecuteSequence` WHERE `Action` = '") +
        action + L"'";
    const std::vector<std::wstring> rows = PackageQuery(QUORBEL_MSI_PATH, query.c_str());
    return rows.size() == 1 ? std::stoi(rows[0]) : -1;
}

// Wine's msiexec runs no rollback script and removes a replaced product in a process of its own,
// outside the transaction, so a failed installation cannot be rolled back end to end here; the
// package's own sequence is checked instead, and the end-to-end test runs on Windows.
TEST_F(InstallerTest, TheOldVersionIsRemovedInsideTheTransactionAndEachRegistrationStepIsUndoable)
{
    EXPECT_LT(SequenceOf(L"InstallInitialize"), SequenceOf(L"RemoveExistingProducts"));
    EXPECT_LT(SequenceOf(L"RemoveExistingProducts"), SequenceOf(L"SvcInstall"));
    EXPECT_LT(SequenceOf(L"SvcInstall"), SequenceOf(L"InstallFinalize"));
    // A rollback action comes before the step it undoes, as Windows Installer needs it.
    EXPECT_LT(SequenceOf(L"SvcInstallRollback"), SequenceOf(L"SvcInstall"));
    EXPECT_LT(SequenceOf(L"SvcUninstallRollback"), SequenceOf(L"SvcUninstall"));
    EXPECT_LT(SequenceOf(L"InstallFiles"), SequenceOf(L"SvcLockFolder"));
    // Type 0xD52: an in-script rollback action without impersonation; the undo of the
    // install is scheduled only when no registration was there before, or the one there
    // belonged to the product being replaced.
    const std::vector<std::wstring> actions = PackageQuery(
        QUORBEL_MSI_PATH,
        L"SELECT `Action`, `Type`, `Target` FROM `CustomAction` WHERE `Type` = 3410");
    EXPECT_EQ(actions.size(), 2u);
    for (const wchar_t* expected :
         {L"SvcInstallRollback|3410|svc uninstall", L"SvcUninstallRollback|3410|svc install"}) {
        EXPECT_NE(std::find(actions.begin(), actions.end(), std::wstring(expected)), actions.end())
            << Utf8(expected);
    }
    const std::vector<std::wstring> condition = PackageQuery(
        QUORBEL_MSI_PATH,
        L"SELECT `Condition` FROM `InstallExecuteSequence` WHERE `Action` = 'SvcInstallRollback'");
    ASSERT_EQ(condition.size(), 1u);
    EXPECT_NE(condition[0].find(L"NOT SERVICEEXISTED"), std::wstring::npos) << Utf8(condition[0]);
    EXPECT_NE(condition[0].find(L"REPLACEDPRODUCTS"), std::wstring::npos) << Utf8(condition[0]);
}

TEST_F(InstallerTest, AFailedUpgradeRollsBackToTheOldVersionRunning)
{
    if (IsWine()) {
        GTEST_SKIP() << "Wine's msiexec runs no rollback (see the sequence test above)";
    }
    ASSERT_EQ(InstallSilently(QUORBEL_OLDER_MSI_PATH), 0u);
    ASSERT_TRUE(ServiceRuns()) << "state " << ServiceState();

    // This package's second registration is turned away after its first one was made.
    EXPECT_NE(InstallSilently(QUORBEL_FAILING_MSI_PATH), 0u);

    const std::vector<Product> products = InstalledProducts();
    ASSERT_EQ(products.size(), 1u);
    EXPECT_EQ(Utf8(products[0].version), Utf8(QUORBEL_OLDER_PACKAGE_VERSION));
    EXPECT_EQ(Utf8(ServiceBinaryPath()), Utf8(kQuotedBinaryPath));
    EXPECT_TRUE(ServiceRuns()) << "state " << ServiceState();
    EXPECT_TRUE(FileExists(EventMessageFile())) << Utf8(EventMessageFile());
}

TEST_F(InstallerTest, AFailedInstallLeavesARegistrationItDidNotMake)
{
    // A registration made by hand, from the build's own folder.
    const std::wstring handMade = std::wstring(QUORBEL_DIST_DIR) + L"\\QuorbelService.exe";
    ASSERT_EQ(RunProgram(handMade, L"svc install").exitCode, 0u);

    // The code of a failed installation, as the administrator's guide gives it: Windows Installer
    // answers a failed custom action with 1603, Wine's with 1627.
    const DWORD code = InstallSilently(QUORBEL_MSI_PATH);
    EXPECT_TRUE(code == 1603u || code == 1627u) << "the name is taken: " << code;

    EXPECT_TRUE(InstalledProducts().empty());
    EXPECT_NE(ServiceBinaryPath().find(handMade), std::wstring::npos)
        << Utf8(ServiceBinaryPath());
    EXPECT_EQ(Utf8(EventMessageFile()), Utf8(handMade));
    RunProgram(handMade, L"svc uninstall");
}

}  // namespace
