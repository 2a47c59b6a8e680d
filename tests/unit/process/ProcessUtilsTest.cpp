// Process utilities against real processes: copies of the sleeper fixture under chosen names.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "process/CWinHelper.h"

using namespace testing_support;

namespace {

constexpr DWORD kProcessTimeoutMs = 10000;

// Starts copies of the sleeper under given names and terminates whatever is left of them at the
// end. The file system ignores letter case, so each name gets its own folder.
class ProcessUtils : public ::testing::Test {
protected:
    ProcessUtils() : scratch_(L"process_utils") {}

    ~ProcessUtils() override
    {
        for (const PROCESS_INFORMATION& info : started_) {
            TerminateProcess(info.hProcess, 0);
            WaitForSingleObject(info.hProcess, kProcessTimeoutMs);
            CloseHandle(info.hThread);
            CloseHandle(info.hProcess);
        }
    }

    // Starts one copy and waits until the snapshot shows it under its name.
    HANDLE Start(const std::wstring& imageName)
    {
        const std::wstring directory = scratch_ / std::to_wstring(started_.size());
        CreateDirectoryW(directory.c_str(), nullptr);
        const std::wstring program = directory + L"\\" + imageName;
        EXPECT_TRUE(CopyInto(QUORBEL_TESTBIN_DIR L"\\fixture_sleeper.exe", program));
        const PROCESS_INFORMATION info = StartProgram(program, L"");
        EXPECT_NE(nullptr, info.hProcess) << "cannot start " << Utf8(program);
        if (info.hProcess == nullptr) {
            return nullptr;
        }
        started_.push_back(info);
        EXPECT_TRUE(WaitUntil([&] { return IsListed(imageName, info.dwProcessId); },
                              kProcessTimeoutMs))
            << Utf8(imageName) << " never appeared in the snapshot";
        return info.hProcess;
    }

    DWORD IdOf(HANDLE process) const
    {
        for (const PROCESS_INFORMATION& info : started_) {
            if (info.hProcess == process) {
                return info.dwProcessId;
            }
        }
        return 0;
    }

    static bool IsListed(const std::wstring& imageName, DWORD processId)
    {
        for (DWORD id : ProcessIdsByName(imageName)) {
            if (id == processId) {
                return true;
            }
        }
        return false;
    }

    static bool HasEnded(HANDLE process)
    {
        return WaitForSingleObject(process, kProcessTimeoutMs) == WAIT_OBJECT_0;
    }

    static std::vector<std::wstring> Texts(const XStringWList& list)
    {
        std::vector<std::wstring> texts;
        for (int i = 0; i < list.GetCount(); ++i) {
            texts.emplace_back(list.GetCopyAt(i).GetString());
        }
        return texts;
    }

private:
    ScratchDir scratch_;
    std::vector<PROCESS_INFORMATION> started_;
};

std::string Joined(const std::vector<std::wstring>& texts)
{
    std::string joined;
    for (const std::wstring& text : texts) {
        joined += (joined.empty() ? "" : ",") + Utf8(text);
    }
    return "[" + joined + "]";
}

}  // namespace

TEST_F(ProcessUtils, FindsProcessesByTheWholeImageNameInAnyLetterCase)
{
    const HANDLE probe = Start(L"QuorbelProbe.exe");
    ASSERT_NE(nullptr, probe);
    const std::wstring probeId = std::to_wstring(IdOf(probe));

    // Image names are file names: letter case does not count.
    for (const wchar_t* same : {L"QuorbelProbe.exe", L"quorbelprobe.exe", L"QUORBELPROBE.EXE"}) {
        EXPECT_TRUE(IsProcessRunning(same)) << Utf8(same);
        const std::vector<std::wstring> found = Texts(FindProcessIds(same));
        EXPECT_EQ(std::vector<std::wstring>{probeId}, found) << Utf8(same) << " gave " << Joined(found);
    }
    // Every other character of the whole name does.
    for (const wchar_t* other :
         {L"QuorbelProbe", L"Probe.exe", L"QuorbelProbe.exe ", L"", L"QuorbelNobody.exe"}) {
        EXPECT_FALSE(IsProcessRunning(other)) << Utf8(other);
        const std::vector<std::wstring> none = Texts(FindProcessIds(other));
        EXPECT_TRUE(none.empty()) << Utf8(other) << " gave " << Joined(none);
    }
}

TEST_F(ProcessUtils, FindsEveryProcessOfTheNameOnceInSnapshotOrder)
{
    ASSERT_NE(nullptr, Start(L"QuorbelTwin.exe"));
    ASSERT_NE(nullptr, Start(L"QuorbelTwin.exe"));

    std::vector<std::wstring> expected;
    for (DWORD id : ProcessIdsByName(L"QuorbelTwin.exe")) {
        expected.push_back(std::to_wstring(id));
    }
    ASSERT_EQ(2u, expected.size()) << Joined(expected);

    const std::vector<std::wstring> found = Texts(FindProcessIds(L"QuorbelTwin.exe"));
    EXPECT_EQ(expected, found) << "expected " << Joined(expected) << ", got " << Joined(found);
}

TEST_F(ProcessUtils, KillByNameEndsEveryMatchInAnyLetterCase)
{
    const HANDLE first = Start(L"QuorbelVictim.exe");
    const HANDLE second = Start(L"QuorbelVictim.exe");
    const HANDLE otherCase = Start(L"quorbelvictim.EXE");
    const HANDLE bystander = Start(L"QuorbelBystander.exe");
    ASSERT_TRUE(first && second && otherCase && bystander);

    EXPECT_TRUE(CWinHelper::KillProcess(XStringW(L"QUORBELVICTIM.exe")));

    for (HANDLE victim : {first, second, otherCase}) {
        ASSERT_TRUE(HasEnded(victim)) << "process " << IdOf(victim) << " still runs";
        DWORD exitCode = 0;
        GetExitCodeProcess(victim, &exitCode);
        EXPECT_EQ(1u, exitCode) << "process " << IdOf(victim);
    }
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(bystander, 0)) << "the bystander was terminated";
}

TEST_F(ProcessUtils, KillByIdEndsOnlyThatProcess)
{
    const HANDLE target = Start(L"QuorbelTarget.exe");
    const HANDLE sibling = Start(L"QuorbelTarget.exe");
    ASSERT_TRUE(target && sibling);

    EXPECT_TRUE(CWinHelper::KillProcess(IdOf(target)));

    EXPECT_TRUE(HasEnded(target)) << "process " << IdOf(target) << " still runs";
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(sibling, 0)) << "the sibling was terminated";
}

TEST_F(ProcessUtils, KillReportsFalseWhenNothingMatches)
{
    EXPECT_FALSE(CWinHelper::KillProcess(XStringW(L"")));
    EXPECT_FALSE(CWinHelper::KillProcess(XStringW(L"QuorbelNobody.exe")));
    EXPECT_FALSE(CWinHelper::KillProcess(DWORD{0}));
    // Process ids are multiples of four: this one never names a process.
    EXPECT_FALSE(CWinHelper::KillProcess(DWORD{0xFFFFFFF3}));
}

namespace {
BOOL WINAPI RefusingTerminate(HANDLE, UINT)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
}  // namespace

TEST_F(ProcessUtils, KillTellsTerminatedFromMatchedButRefused)
{
    const HANDLE first = Start(L"QuorbelStubborn.exe");
    const HANDLE second = Start(L"QuorbelStubborn.exe");
    ASSERT_TRUE(first && second);

    process_seam::terminateProcess = &RefusingTerminate;
    const KillResult refused = CWinHelper::KillProcess(XStringW(L"QuorbelStubborn.exe"));
    process_seam::terminateProcess = ::TerminateProcess;
    EXPECT_FALSE(refused) << "nothing was terminated";
    EXPECT_EQ(2, refused.matched);
    EXPECT_EQ(0, refused.terminated);
    EXPECT_EQ(2, refused.Refused());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), refused.error);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first, 0));

    const KillResult ended = CWinHelper::KillProcess(XStringW(L"QuorbelStubborn.exe"));
    EXPECT_EQ(2, ended.terminated);
    EXPECT_EQ(0, ended.Refused());
    EXPECT_TRUE(HasEnded(first) && HasEnded(second));
}
