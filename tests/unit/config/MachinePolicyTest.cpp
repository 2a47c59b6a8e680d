// The machine policy's key: programs as command lines, and the machine-wide values. Read from a
// scratch key below HKCU laid out as the policy key is, so that no test leaves a policy behind.

#include <gtest/gtest.h>

#include <algorithm>

#include "ConfigTestSupport.h"
#include "TestSupport.h"
#include "config/CPolicyMonitor.h"
#include "config/MachinePolicy.h"
#include "config/WatchListView.h"

using namespace config_test;
using testing_support::Utf8;

namespace {

struct Split {
    const wchar_t* name;
    const wchar_t* commandLine;
    const wchar_t* path;       // nullptr: refused
    const wchar_t* arguments;
};

TEST(MachinePolicyTest, CommandLinesSplitIntoPathAndArgumentsOrAreRefused)
{
    const Split cases[] = {
        {L"kiosk.exe", L"C:\\Kiosk\\kiosk.exe", L"C:\\Kiosk\\kiosk.exe", L""},
        {L"kiosk.exe", L"  C:\\Kiosk\\kiosk.exe   --full  \"a b\"  ", L"C:\\Kiosk\\kiosk.exe",
         L"--full  \"a b\""},
        {L"Kiosk.exe", L"\"C:\\Program Files (x86)\\K\\kiosk.EXE\" -x", 
         L"C:\\Program Files (x86)\\K\\kiosk.EXE", L"-x"},
        {L"kiosk.exe", L"\"C:\\Kiosk\\kiosk.exe\"", L"C:\\Kiosk\\kiosk.exe", L""},
        {L"kiosk.exe", L"%ProgramFiles%\\Kiosk\\kiosk.exe %USERNAME%",
         L"%ProgramFiles%\\Kiosk\\kiosk.exe", L"%USERNAME%"},
        {L"kiosk.exe", L"\\\\server\\share\\kiosk.exe", L"\\\\server\\share\\kiosk.exe", L""},
        {L"kiosk.exe", L"C:/Kiosk/kiosk.exe", L"C:\\Kiosk\\kiosk.exe", L""},
        // Refused: relative, not an .exe, another file name than the entry's, a blank in an
        // unquoted path, quotes that do not close or glue on, control characters, nothing.
        {L"kiosk.exe", L"kiosk.exe", nullptr, nullptr},
        {L"kiosk.exe", L"C:\\Kiosk\\kiosk", nullptr, nullptr},
        {L"kiosk.exe", L"C:\\Kiosk\\other.exe", nullptr, nullptr},
        {L"kiosk.exe", L"C:\\Program Files\\kiosk.exe", nullptr, nullptr},
        {L"kiosk.exe", L"\"C:\\Kiosk\\kiosk.exe", nullptr, nullptr},
        {L"kiosk.exe", L"\"C:\\Kiosk\\kiosk.exe\"-x", nullptr, nullptr},
        {L"kiosk.exe", L"C:\\Kiosk\\kiosk.exe a\nb", nullptr, nullptr},
        {L"kiosk.exe", L"   ", nullptr, nullptr},
    };
    for (const Split& c : cases) {
        PolicyProgram program;
        XStringW reason;
        const bool accepted =
            machine_policy::SplitCommandLine(c.name, c.commandLine, program, reason);
        ASSERT_EQ(accepted, c.path != nullptr)
            << Shown(c.commandLine) << ": " << Shown(Text(reason));
        if (accepted) {
            EXPECT_EQ(Text(program.path), c.path) << Shown(c.commandLine);
            EXPECT_EQ(Text(program.arguments), c.arguments) << Shown(c.commandLine);
            EXPECT_EQ(Text(program.name), c.name);
        } else {
            EXPECT_FALSE(reason.IsEmpty()) << Shown(c.commandLine);
        }
    }
}

TEST(MachinePolicyTest, TheKeyGivesItsProgramsAndMachineWideValues)
{
    const ScratchKey policy(L"MachinePolicy");
    const std::wstring programs = policy / L"Programs";
    WriteString(HKEY_CURRENT_USER, programs, L"kiosk.exe", L"\"C:\\Kiosk App\\kiosk.exe\" --full");
    // REG_EXPAND_SZ keeps its variables for the user's session to expand.
    WriteString(HKEY_CURRENT_USER, programs, L"agent.exe", L"%SystemDrive%\\Tools\\agent.exe",
                REG_EXPAND_SZ);
    WriteDword(HKEY_CURRENT_USER, programs, L"number.exe", 7);
    WriteString(HKEY_CURRENT_USER, programs, L"wrong.exe", L"C:\\Tools\\other.exe");
    WriteString(HKEY_CURRENT_USER, programs, L"", L"C:\\Tools\\default.exe");
    WriteDword(HKEY_CURRENT_USER, policy.Path(), L"Interval", 2000);
    WriteDword(HKEY_CURRENT_USER, policy.Path(), L"HangTimeout", 30);
    WriteDword(HKEY_CURRENT_USER, policy.Path(), L"UserLists", 0);

    const MachinePolicy read = machine_policy::ReadFrom(HKEY_CURRENT_USER, W(policy.Path()));

    ASSERT_EQ(read.programs.size(), 2u);
    const PolicyProgram* kiosk = read.Find(L"KIOSK.EXE");
    ASSERT_NE(kiosk, nullptr);
    EXPECT_EQ(Text(kiosk->path), L"C:\\Kiosk App\\kiosk.exe");
    EXPECT_EQ(Text(kiosk->arguments), L"--full");
    const PolicyProgram* agent = read.Find(L"agent.exe");
    ASSERT_NE(agent, nullptr);
    EXPECT_EQ(Text(agent->path), L"%SystemDrive%\\Tools\\agent.exe");
    std::vector<std::wstring> refused;
    for (const RefusedPolicyProgram& r : read.refused) {
        refused.push_back(Text(r.name));
    }
    std::sort(refused.begin(), refused.end());
    EXPECT_EQ(refused, (std::vector<std::wstring>{L"number.exe", L"wrong.exe"}));
    EXPECT_TRUE(read.hasInterval);
    EXPECT_EQ(read.intervalMs, 2000u);
    EXPECT_TRUE(read.hasHangTimeout);
    EXPECT_EQ(read.hangTimeoutSeconds, 30u);
    EXPECT_FALSE(read.userListsWatched);

    EXPECT_TRUE(read.refusedSettings.empty());

    // Decimal digits as REG_SZ are read as a user's own values are; any other text, or another
    // type, sets nothing and is kept with its reason.
    WriteString(HKEY_CURRENT_USER, policy.Path(), L"Interval", L"100");
    WriteString(HKEY_CURRENT_USER, policy.Path(), L"HangTimeout", L"30s");
    WriteString(HKEY_CURRENT_USER, policy.Path(), L"UserLists", L"1", REG_EXPAND_SZ);
    const MachinePolicy changed = machine_policy::ReadFrom(HKEY_CURRENT_USER, W(policy.Path()));
    EXPECT_TRUE(changed.hasInterval);
    EXPECT_EQ(Text(EffectiveIntervalText(changed, L"5000")), L"100");
    EXPECT_FALSE(changed.hasHangTimeout);
    EXPECT_TRUE(changed.userListsWatched);
    std::vector<std::wstring> refusedSettings;
    for (const RefusedPolicyProgram& r : changed.refusedSettings) {
        refusedSettings.push_back(Text(r.name) + L": " + Text(r.reason));
    }
    EXPECT_EQ(refusedSettings,
              (std::vector<std::wstring>{L"HangTimeout: \"30s\" is no number",
                                         L"UserLists: it is no REG_DWORD or REG_SZ of digits (type 2)"}));
    EXPECT_TRUE(changed != read);

    // The hang timeout is used within its bounds.
    WriteDword(HKEY_CURRENT_USER, policy.Path(), L"HangTimeout", 2);
    EXPECT_EQ(machine_policy::ReadFrom(HKEY_CURRENT_USER, W(policy.Path())).HangTimeoutInUse(), 5u);
    WriteDword(HKEY_CURRENT_USER, policy.Path(), L"HangTimeout", 0);
    EXPECT_EQ(machine_policy::ReadFrom(HKEY_CURRENT_USER, W(policy.Path())).HangTimeoutInUse(), 0u);
    const MachinePolicy none =
        machine_policy::ReadFrom(HKEY_CURRENT_USER, W(policy / L"Missing"));
    EXPECT_TRUE(none.programs.empty() && none.refused.empty() && !none.hasInterval &&
                none.userListsWatched);
}

TEST(MachinePolicyTest, AliveChecksBelongToTheirPolicyProgramsAndBadOnesAreRefused)
{
    const ScratchKey policy(L"MachinePolicyChecks");
    const std::wstring programs = policy / L"Programs";
    const std::wstring checks = policy / L"AliveChecks";
    WriteString(HKEY_CURRENT_USER, programs, L"kiosk.exe", L"C:\\Kiosk\\kiosk.exe");
    WriteString(HKEY_CURRENT_USER, programs, L"agent.exe", L"C:\\Tools\\agent.exe");
    WriteString(HKEY_CURRENT_USER, programs, L"web.exe", L"C:\\Tools\\web.exe");
    WriteString(HKEY_CURRENT_USER, checks, L"KIOSK.EXE", L"file %LOCALAPPDATA%\\Kiosk\\beat.txt",
                REG_EXPAND_SZ);
    WriteString(HKEY_CURRENT_USER, checks, L"agent.exe", L"  Port 8080 ");
    WriteString(HKEY_CURRENT_USER, checks, L"web.exe", L"url ftp://host/");
    WriteString(HKEY_CURRENT_USER, checks, L"other.exe", L"port 80");
    WriteString(HKEY_CURRENT_USER, programs, L"number.exe", L"C:\\Tools\\number.exe");
    WriteDword(HKEY_CURRENT_USER, checks, L"number.exe", 7);

    const MachinePolicy read = machine_policy::ReadFrom(HKEY_CURRENT_USER, W(policy.Path()));

    ASSERT_EQ(read.programs.size(), 4u);
    EXPECT_EQ(Text(read.Find(L"kiosk.exe")->alive.Text()), L"file %LOCALAPPDATA%\\Kiosk\\beat.txt");
    EXPECT_EQ(Text(read.Find(L"agent.exe")->alive.Text()), L"port 8080");
    EXPECT_EQ(read.Find(L"agent.exe")->alive.port, 8080u);
    EXPECT_FALSE(read.Find(L"web.exe")->alive.IsSet()) << "a bad check is none";
    std::vector<std::wstring> refused;
    for (const RefusedPolicyProgram& r : read.refused) {
        refused.push_back(Text(r.name) + L": " + Text(r.reason));
    }
    std::sort(refused.begin(), refused.end());
    ASSERT_EQ(refused.size(), 3u);
    EXPECT_EQ(refused[0].find(L"AliveChecks\\number.exe: the value is no REG_SZ"), 0u) << refused[0];
    EXPECT_EQ(refused[1], L"AliveChecks\\other.exe: no policy program of that name");
    EXPECT_EQ(refused[2].find(L"AliveChecks\\web.exe: the URL must start with http://"), 0u)
        << refused[2];
}

TEST(AliveCheckTest, StoredTextsMakeTheirCheckOrSayWhyNot)
{
    struct Case {
        const wchar_t* text;
        const wchar_t* made;  // nullptr: refused
    };
    const Case cases[] = {
        {L"port 1", L"port 1"},
        {L"port 00443", L"port 443"},
        {L"port 65536", nullptr},
        {L"port -1", nullptr},
        {L"port", nullptr},
        {L"URL HTTPS://[::1]:8443/x?y#z", L"url HTTPS://[::1]:8443/x?y#z"},
        {L"url http://h/a\"b", nullptr},
        {L"url https://:80/", nullptr},
        {L"file C:/Logs/beat.txt", L"file C:\\Logs\\beat.txt"},
        {L"file \\\\server\\share\\beat.txt", L"file \\\\server\\share\\beat.txt"},
        {L"file %TEMP%\\beat.txt", L"file %TEMP%\\beat.txt"},
        {L"file beat.txt", nullptr},
        {L"file C:\\Logs\\", nullptr},
        {L"ping 8080", nullptr},
        {L"", nullptr},
    };
    for (const Case& c : cases) {
        alive_check::Check check;
        XStringW reason;
        const bool made = alive_check::Parse(c.text, check, reason);
        EXPECT_EQ(made, c.made != nullptr) << Utf8(c.text) << ": " << Utf8(Text(reason));
        if (made && c.made != nullptr) {
            EXPECT_EQ(Text(check.Text()), c.made);
        } else {
            EXPECT_FALSE(reason.IsEmpty()) << Utf8(c.text);
        }
    }
    EXPECT_EQ(alive_check::TimeoutSeconds(0), 60u);
    EXPECT_EQ(alive_check::TimeoutSeconds(5), 5u);
}

}  // namespace

namespace {

const std::wstring kPolicyVendorKey = L"SOFTWARE\\Policies\\QUORBEL";
const std::wstring kPolicyKey = L"SOFTWARE\\Policies\\QUORBEL\\QuorbelService";

// The real policy key, which the other tests of the prefix expect to be absent.
class RealPolicyKeyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (KeyExists(HKEY_LOCAL_MACHINE, kPolicyVendorKey)) {
            GTEST_SKIP() << "this prefix holds a machine policy already";
        }
        owned = true;
    }
    void TearDown() override
    {
        if (owned) {
            DeleteTree(HKEY_LOCAL_MACHINE, kPolicyVendorKey);
        }
    }
    bool owned = false;
};

TEST_F(RealPolicyKeyTest, TheMonitorFollowsTheKeyFromNothingToPolicyAndBack)
{
    CPolicyMonitor monitor;
    volatile LONG calls = 0;
    monitor.SetChangeCallback([&calls] { InterlockedIncrement(&calls); });
    monitor.Start();
    EXPECT_TRUE(monitor.Current().programs.empty());
    EXPECT_EQ(monitor.ChangeCount(), 0u);

    WriteString(HKEY_LOCAL_MACHINE, kPolicyKey + L"\\Programs", L"kiosk.exe",
                L"C:\\Kiosk\\kiosk.exe --full");
    ASSERT_TRUE(testing_support::WaitUntil(
        [&] { return monitor.Current().Find(L"kiosk.exe") != nullptr; }, 5000))
        << "changes seen: " << monitor.ChangeCount();
    EXPECT_EQ(Text(monitor.Current().Find(L"kiosk.exe")->arguments), L"--full");
    EXPECT_GE(calls, 1);

    // A policy tool's refresh deletes the key and writes it again; a delete alone empties it.
    WriteDword(HKEY_LOCAL_MACHINE, kPolicyKey, L"UserLists", 0);
    ASSERT_TRUE(testing_support::WaitUntil([&] { return !monitor.Current().userListsWatched; },
                                           5000));
    DeleteTree(HKEY_LOCAL_MACHINE, kPolicyVendorKey);
    EXPECT_TRUE(testing_support::WaitUntil(
        [&] { return monitor.Current().programs.empty() && monitor.Current().userListsWatched; },
        5000))
        << "programs left: " << monitor.Current().programs.size();
    monitor.Stop();
}

}  // namespace
