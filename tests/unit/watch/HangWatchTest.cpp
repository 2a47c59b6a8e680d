// The service's half of the hang watch, in-process: a report that comes through the real pipe
// ends the reported program through the handle of its wait, and entries with a hang timeout that
// no companion asks for are said once, after a minute.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "TestSupport.h"
#include "WatchTestHelpers.h"
#include "channel/ChannelProtocol.h"
#include "config/CQuorbelServiceHelper.h"
#include "config/EntryStateStore.h"
#include "process/ProcessTable.h"
#include "process/Sessions.h"
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

// One request through the session's pipe, as the companion sends it; the reply's bytes.
std::vector<BYTE> Ask(DWORD kind, DWORD processId = 0, DWORD seconds = 0)
{
    const XStringW name = channel::PipeName(FindActiveSessionId());
    ScopedHandle pipe;
    WaitUntil([&] {
        pipe.Reset(CreateFileW(name.GetString(), GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES,
                               0, nullptr, OPEN_EXISTING, 0, nullptr));
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
    }
    void TearDown() override
    {
        TerminateAllByName(L"Frozen.exe");
        EntryStateStore::RemoveAll(sid);
    }

    ScratchDir scratch{L"unit_hang_watch"};
    WatchListKey watchList;
    WatchSeams seams;
    XStringW sid;
    std::wstring path;
    XStringWList names;
};

TEST_F(HangWatchTest, AnAcceptedReportEndsTheWatchedProcessThroughItsWaitAndARefusedOneNothing)
{
    ProgramRuns runs(seams, [] {});
    std::atomic<int> wakes{0};
    HangWatch hang(seams, [&] { ++wakes; });
    PROCESS_INFORMATION info = StartProgram(path, L"");
    ASSERT_NE(nullptr, info.hProcess);
    CloseHandle(info.hThread);
    const ScopedHandle program(info.hProcess);
    ASSERT_TRUE(WaitUntil([&] { return ProcessTable::Take().IsRunning(L"Frozen.exe"); }, 10000));
    runs.NoteRunning(L"Frozen.exe", ProcessTable::Take());
    hang.Update(sid, FindActiveSessionId(), names, true, runs);

    // Its targets: the one process, with its timeout.
    const std::vector<BYTE> targetsReply = Ask(channel::kAskTargets);
    std::vector<channel::Target> targets;
    ASSERT_TRUE(channel::DecodeTargets(targetsReply.data(), targetsReply.size(), targets))
        << targetsReply.size() << " bytes";
    ASSERT_EQ(1u, targets.size());
    EXPECT_EQ(info.dwProcessId, targets[0].processId);
    EXPECT_EQ(20u, targets[0].timeoutSeconds);

    const TraceCapture trace;
    for (const DWORD refused : {static_cast<DWORD>(GetCurrentProcessId()), DWORD{0}}) {
        const std::vector<BYTE> reply = Ask(channel::kReportHung, refused, 60);
        ASSERT_EQ(sizeof(channel::Verdict), reply.size());
        EXPECT_EQ(0u, reinterpret_cast<const channel::Verdict*>(reply.data())->accepted) << refused;
    }
    hang.EndReported(runs);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(program.Get(), 0)) << "ended on a refused report";
    EXPECT_EQ(0, wakes.load());

    const std::vector<BYTE> reply = Ask(channel::kReportHung, info.dwProcessId, 21);
    ASSERT_EQ(sizeof(channel::Verdict), reply.size());
    EXPECT_EQ(1u, reinterpret_cast<const channel::Verdict*>(reply.data())->accepted);
    EXPECT_EQ(1, wakes.load()) << "the pass is woken";
    hang.EndReported(runs);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(program.Get(), 10000));
    EXPECT_TRUE(trace.Contains(L"Frozen.exe: not responding for 21 s, ended")) << Utf8(trace.Text());
    const RestartPolicy::Entry* const entry = runs.Find(NameKey(L"Frozen.exe"));
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(fakeClock.load(), entry->notRespondingAt);
    EXPECT_EQ(21u, entry->notRespondingSeconds);
}

TEST_F(HangWatchTest, NoCompanionWithinAMinuteIsSaidOnceAndForgottenWhenOneAsks)
{
    ProgramRuns runs(seams, [] {});
    HangWatch hang(seams, [] {});
    const TraceCapture trace;
    const wchar_t* const line = L"no companion asked for the hang watch within a minute";
    hang.Update(sid, FindActiveSessionId(), names, true, runs);
    fakeClock += HangWatch::kCompanionGraceMs - 1;
    hang.Update(sid, FindActiveSessionId(), names, false, runs);
    EXPECT_FALSE(trace.Contains(line));
    EXPECT_FALSE(EntryStateStore::ReadCompanionMissing(sid));
    fakeClock += 1;
    hang.Update(sid, FindActiveSessionId(), names, false, runs);
    fakeClock += 10000;
    hang.Update(sid, FindActiveSessionId(), names, false, runs);
    EXPECT_EQ(1, trace.Count(line)) << Utf8(trace.Text());
    EXPECT_TRUE(EntryStateStore::ReadCompanionMissing(sid));

    Ask(channel::kAskTargets);
    hang.Update(sid, FindActiveSessionId(), names, false, runs);
    EXPECT_FALSE(EntryStateStore::ReadCompanionMissing(sid));
}

}  // namespace
