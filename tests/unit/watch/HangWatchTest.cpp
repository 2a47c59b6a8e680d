// The service's half of the hang watch, in-process: reports that come through the real pipe end
// the reported program through the handle of its wait once the service's own clock reached its
// timeout, and only when the reporting user could have ended it; and a companion that has not
// asked for a minute is said to be missing, in the list's state, the trace and an event.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "TestSupport.h"
#include "WatchTestHelpers.h"
#include "channel/ChannelProtocol.h"
#include "config/CQuorbelServiceHelper.h"
#include "config/EntryStateStore.h"
#include "paths/ModulePaths.h"
#include "process/ProcessTable.h"
#include "process/Sessions.h"
#include "trace/EventLog.h"
#include "watch/HangWatch.h"
#include "watch/NameKey.h"

using namespace testing_support;
using namespace watch_test;

namespace {

std::atomic<ULONGLONG> fakeClock{0};

ULONGLONG WINAPI FakeClock()
{
    return fakeClock.load();
}

// Under Wine every process has the same token: the owner of the watched program is made up here.
TokenIdentity programOwner;
TokenIdentity OwnerOfProgram(HANDLE)
{
    return programOwner;
}

std::atomic<int> blindEvents{0};
BOOL WINAPI RecordEvent(HANDLE, WORD, WORD, DWORD eventId, PSID, WORD, DWORD, LPCWSTR*, LPVOID)
{
    blindEvents += (eventId & 0xFFFF) == 9 ? 1 : 0;
    return TRUE;
}

class HangWatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        seams.clock = &FakeClock;
        fakeClock = 1000000;
        sid = CQuorbelServiceHelper::GetCurrentUserSID();
        ASSERT_FALSE(sid.IsEmpty());
        path = CopySleeper(scratch.Path(), L"Frozen.exe");
        watchList.AddEntry(L"Frozen.exe", path);
        const std::wstring entryKey =
            std::wstring(CQuorbelServiceHelper::kBaseKeyPath) + L"\\Frozen.exe";
        RegSetKeyValueW(HKEY_CURRENT_USER, entryKey.c_str(), L"HangTimeout", REG_SZ, L"20",
                        3 * sizeof(wchar_t));
        names.Add(L"Frozen.exe");
        // The test process is the companion.
        hang.SetCompanionLookup([](const ProgramRuns&) {
            return HangWatch::Companion{{GetCurrentProcessId()}, GetModulePath(true)};
        });
        programOwner = IdentityOfProcess(GetCurrentProcess());
        hang.SetOwnerSeams(OwnerSeams{&OwnerOfProgram});
    }
    void TearDown() override
    {
        event_log::reportEvent = ::ReportEventW;
        hang.Stop();
        TerminateAllByName(L"Frozen.exe");
        EntryStateStore::RemoveAll(sid);
    }

    // One request through the session's pipe, as the companion sends it; the reply's bytes.
    std::vector<BYTE> Ask(DWORD kind, DWORD processId = 0, DWORD seconds = 0)
    {
        const std::wstring arguments = Text(hang.CompanionArguments(FindActiveSessionId()));
        const std::wstring prefix = std::wstring(channel::kPipeArgument) + L" ";
        EXPECT_EQ(0u, arguments.find(prefix)) << Utf8(arguments);
        const std::wstring name = arguments.substr(prefix.size());
        ScopedHandle pipe;
        WaitUntil([&] {
            pipe.Reset(CreateFileW(name.c_str(), channel::kClientAccess, 0, nullptr, OPEN_EXISTING,
                                   0, nullptr));
            return static_cast<bool>(pipe);
        }, 10000);
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr);
        channel::Request request;
        request.kind = kind;
        request.processId = processId;
        request.seconds = seconds;
        DWORD bytes = 0;
        WriteFile(pipe.Get(), &request, sizeof(request), &bytes, nullptr);
        std::vector<BYTE> reply(channel::kReplyBufferBytes);
        if (!ReadFile(pipe.Get(), reply.data(), static_cast<DWORD>(reply.size()), &bytes, nullptr)) {
            bytes = 0;
        }
        reply.resize(bytes);
        return reply;
    }
    DWORD Report(DWORD processId, DWORD seconds)
    {
        const std::vector<BYTE> reply = Ask(channel::kReportHung, processId, seconds);
        EXPECT_EQ(sizeof(channel::Verdict), reply.size());
        return reply.size() == sizeof(channel::Verdict)
                   ? reinterpret_cast<const channel::Verdict*>(reply.data())->accepted
                   : 99;
    }
    // Reports the process at the companion's pace until the service ends it; the rounds it took.
    int ReportUntilEnding(DWORD processId)
    {
        int rounds = 0;
        while (Report(processId, 0xFFFFFFFF) == channel::kTiming && rounds < 100) {
            fakeClock += channel::kRoundMs;
            ++rounds;
        }
        return rounds;
    }
    PROCESS_INFORMATION StartFrozen()
    {
        PROCESS_INFORMATION info = StartProgram(path, L"");
        EXPECT_NE(nullptr, info.hProcess);
        CloseHandle(info.hThread);
        EXPECT_TRUE(WaitUntil([&] { return ProcessTable::Take().IsRunning(L"Frozen.exe"); }, 10000));
        runs.NoteRunning(L"Frozen.exe", ProcessTable::Take());
        hang.Update(sid, FindActiveSessionId(), names, true, runs);
        return info;
    }

    ScratchDir scratch{L"unit_hang_watch"};
    WatchListKey watchList;
    WatchSeams seams;
    XStringW sid;
    std::wstring path;
    XStringWList names;
    ProgramRuns runs{seams, [] {}};
    std::atomic<int> wakes{0};
    HangWatch hang{seams, [this] { ++wakes; }};
};

TEST_F(HangWatchTest, AHangEndsTheWatchedProcessWhenTheServicesClockReachedItsTimeoutAndARefusedReportNothing)
{
    const PROCESS_INFORMATION info = StartFrozen();
    const ScopedHandle program(info.hProcess);

    // Its targets: the one process, with its timeout.
    const TraceCapture trace;
    const std::vector<BYTE> targetsReply = Ask(channel::kAskTargets);
    std::vector<channel::Target> targets;
    ASSERT_TRUE(channel::DecodeTargets(targetsReply.data(), targetsReply.size(), targets))
        << targetsReply.size() << " bytes" << Utf8(trace.Text());
    ASSERT_EQ(1u, targets.size());
    EXPECT_EQ(info.dwProcessId, targets[0].processId);
    EXPECT_EQ(20u, targets[0].timeoutSeconds);

    for (const DWORD refused : {static_cast<DWORD>(GetCurrentProcessId()), DWORD{0}}) {
        EXPECT_EQ(channel::kRefused, Report(refused, 60)) << refused;
    }
    // The report's own seconds count for nothing: the service times the hang from now.
    EXPECT_EQ(10, ReportUntilEnding(info.dwProcessId));
    hang.EndReported(runs);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(program.Get(), 10000));
    EXPECT_EQ(1, wakes.load()) << "the pass is woken once";
    EXPECT_TRUE(trace.Contains(L"Frozen.exe: not responding for 20 s, ended")) << Utf8(trace.Text());
    const RestartPolicy::Entry* const entry = runs.Find(NameKey(L"Frozen.exe"));
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(fakeClock.load(), entry->notRespondingAt);
    EXPECT_EQ(20u, entry->notRespondingSeconds);
}

TEST_F(HangWatchTest, AProgramTheReportingUserCouldNotEndIsLeftRunning)
{
    const PROCESS_INFORMATION info = StartFrozen();
    const ScopedHandle program(info.hProcess);
    const TokenIdentity reporter = programOwner;
    ASSERT_TRUE(reporter.IsKnown());

    const struct {
        const char* what;
        TokenIdentity owner;
    } refused[] = {
        {"LocalSystem", {L"S-1-5-18", SECURITY_MANDATORY_SYSTEM_RID}},
        {"another user", {L"S-1-5-21-1-2-3-1001", reporter.integrity}},
        {"the user, elevated above the reporter", {reporter.userSid, reporter.integrity + 0x1000}},
        {"an owner that cannot be read", {}},
    };
    for (const auto& c : refused) {
        programOwner = c.owner;
        const TraceCapture trace;
        ReportUntilEnding(info.dwProcessId);
        hang.EndReported(runs);
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(program.Get(), 200)) << c.what;
        EXPECT_TRUE(trace.Contains(L"could not end: left running")) << c.what << Utf8(trace.Text());
        fakeClock += channel::kLongestReportGapMs + 1;
    }
    programOwner = reporter;
    ReportUntilEnding(info.dwProcessId);
    hang.EndReported(runs);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(program.Get(), 10000)) << "the user's own program";
}

TEST_F(HangWatchTest, ACompanionSilentForAMinuteIsSaidOnceAndForgottenWhenItAsksAgain)
{
    event_log::reportEvent = &RecordEvent;
    blindEvents = 0;
    const TraceCapture trace;
    const wchar_t* const line = L"no companion asked for the hang watch within a minute";
    const auto pass = [&](ULONGLONG afterMs) {
        fakeClock += afterMs;
        hang.Update(sid, FindActiveSessionId(), names, false, runs);
    };
    hang.Update(sid, FindActiveSessionId(), names, true, runs);
    pass(HangWatch::kCompanionGraceMs - 1);
    EXPECT_FALSE(trace.Contains(line));
    EXPECT_FALSE(EntryStateStore::ReadCompanionMissing(sid));
    pass(1);
    pass(10000);
    EXPECT_EQ(1, trace.Count(line)) << Utf8(trace.Text());
    EXPECT_TRUE(EntryStateStore::ReadCompanionMissing(sid));
    EXPECT_EQ(1, blindEvents.load());

    Ask(channel::kAskTargets);
    pass(0);
    EXPECT_FALSE(EntryStateStore::ReadCompanionMissing(sid));
    // Asked once, then silent (gone, or kept from the pipe): missing again after a minute.
    pass(HangWatch::kCompanionGraceMs);
    EXPECT_TRUE(EntryStateStore::ReadCompanionMissing(sid));
    EXPECT_EQ(2, trace.Count(line));
}

}  // namespace
