// The liveness checks' bookkeeping: when a look falls due, how a look's result counts, and when a
// program has failed its check for its whole timeout. Times are made up; nothing waits.

#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "common/FileTime.h"
#include "watch/AliveBoard.h"

using testing_support::Utf8;

namespace {

std::wstring Text(const XStringW& text)
{
    return std::wstring(text.GetString(), static_cast<size_t>(text.GetLength()));
}

AliveTarget Target(const wchar_t* text, DWORD processId = 100, ULONGLONG timeoutMs = 30000)
{
    AliveTarget target;
    target.name = L"agent.exe";
    XStringW reason;
    EXPECT_TRUE(alive_check::Parse(text, target.check, reason)) << Utf8(Text(reason));
    target.filePath = target.check.target;
    target.processId = processId;
    target.timeoutMs = timeoutMs;
    return target;
}

ProbeResult Look(bool good, const wchar_t* words)
{
    ProbeResult result;
    result.good = good;
    result.words = words;
    return result;
}

constexpr ULONGLONG kFileNow = 133000000000000000ULL;  // any wall-clock time

// Takes the one look due at now and records the result for it.
void LookAt(AliveBoard& board, ULONGLONG now, const ProbeResult& result, ULONGLONG fileNow = kFileNow)
{
    const std::vector<AliveTarget> due = board.TakeDue(now, fileNow);
    ASSERT_EQ(1u, due.size()) << "at " << now;
    board.Record(due.front(), result, now, fileNow);
}

TEST(AliveBoardTest, APortThatStopsAnsweringFailsOneTimeoutAfterItsLastGoodLookAndOnlyOnce)
{
    AliveBoard board;
    board.SetTargets({Target(L"port 8080")}, 1000);
    LookAt(board, 1000, Look(true, L"port 8080 accepted"));
    // A 30 s timeout looks every 7.5 s; no second look starts while one is under way.
    EXPECT_EQ(7500u, board.MsUntilNextDue(1000));
    EXPECT_TRUE(board.TakeDue(8000, kFileNow).empty());
    LookAt(board, 8500, Look(false, L"port 8080 refused"));
    EXPECT_FALSE(board.HasFailures());
    EXPECT_FALSE(board.StatusOf(L"AGENT.EXE").good);
    EXPECT_EQ(8500u, board.StatusOf(L"agent.exe").failingSince);
    LookAt(board, 16000, Look(false, L"port 8080 refused"));
    LookAt(board, 23500, Look(false, L"port 8080 refused"));
    // The look when the timeout runs out comes early: at 31 s, not at 31 s after a full gap.
    EXPECT_EQ(31000u, 23500 + board.MsUntilNextDue(23500));
    LookAt(board, 31000, Look(false, L"port 8080 refused"));
    const std::vector<AliveFailure> failures = board.TakeFailures();
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(100u, failures[0].processId);
    EXPECT_EQ(30u, failures[0].seconds);
    EXPECT_EQ(L"port 8080 refused for 30 s", Text(failures[0].reason));
    EXPECT_TRUE(board.TakeDue(60000, kFileNow).empty()) << "a failed run is looked at no more";

    // The next run starts afresh, and a slow starter gets its whole timeout from its start.
    board.SetTargets({Target(L"port 8080", 200)}, 70000);
    LookAt(board, 70000, Look(false, L"port 8080 refused"));
    LookAt(board, 77500, Look(false, L"port 8080 refused"));
    EXPECT_FALSE(board.HasFailures());
    LookAt(board, 85000, Look(true, L"port 8080 accepted"));
    EXPECT_TRUE(board.StatusOf(L"agent.exe").good);
    EXPECT_EQ(0u, board.StatusOf(L"agent.exe").failingSince);
    EXPECT_FALSE(board.HasFailures());
}

TEST(AliveBoardTest, AHeartbeatCountsFromTheFilesLastWriteOrFromAChangeSeenAtALook)
{
    constexpr ULONGLONG kTicksPerS = 1000 * kFileTimeTicksPerMs;
    AliveBoard board;
    board.SetTargets({Target(L"file C:\\beat.txt", 100, 10000)}, 50000);
    ProbeResult file;
    file.good = file.there = true;
    // Written 4 s ago: good, and it fails 10 s after that write unless written again.
    file.writtenAt = kFileNow - 4 * kTicksPerS;
    file.size = 10;
    LookAt(board, 50000, file);
    EXPECT_TRUE(board.StatusOf(L"agent.exe").good);
    EXPECT_EQ(L"heartbeat within 10 s (C:\\beat.txt)", Text(board.StatusOf(L"agent.exe").words));
    // A file whose clock is far behind ours (a share) still beats while it changes.
    file.writtenAt = kFileNow - 3600 * kTicksPerS;
    file.size = 11;
    LookAt(board, 52500, file, kFileNow + 2500 * kFileTimeTicksPerMs);
    EXPECT_TRUE(board.StatusOf(L"agent.exe").good);
    // It stops changing: it fails a timeout after the look that last saw it change.
    LookAt(board, 55000, file, kFileNow + 5000 * kFileTimeTicksPerMs);
    LookAt(board, 57500, file, kFileNow + 7500 * kFileTimeTicksPerMs);
    LookAt(board, 60000, file, kFileNow + 10000 * kFileTimeTicksPerMs);
    EXPECT_FALSE(board.HasFailures());
    LookAt(board, 62500, file, kFileNow + 12500 * kFileTimeTicksPerMs);
    const std::vector<AliveFailure> failures = board.TakeFailures();
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(L"no heartbeat in 12 s (C:\\beat.txt)", Text(failures[0].reason));
}

TEST(AliveBoardTest, ALookThatNeverComesBackIsGivenUpInTimeAndItsLateResultDropped)
{
    AliveBoard board;
    board.SetTargets({Target(L"url http://127.0.0.1:8080/health", 100, 5000)}, 0);
    std::vector<AliveTarget> due = board.TakeDue(0, kFileNow);
    ASSERT_EQ(1u, due.size());
    const AliveTarget stuck = due.front();
    // Given up a second after the look's own bound, and counted as a failed look then.
    EXPECT_EQ(6000u, board.MsUntilNextDue(0));
    EXPECT_TRUE(board.TakeDue(6000, kFileNow).empty());
    const std::vector<AliveFailure> failures = board.TakeFailures();
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(L"http://127.0.0.1:8080/health did not answer within 5 s for 6 s",
              Text(failures[0].reason));
    board.Record(stuck, Look(true, L"answered 200"), 9000, kFileNow);
    EXPECT_FALSE(board.StatusOf(L"agent.exe").good) << "the late answer was taken";
}

}  // namespace
