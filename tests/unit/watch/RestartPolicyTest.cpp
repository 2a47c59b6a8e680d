// The restart policy's arithmetic, with the clock given as plain readings: which runs are quick,
// how long a start is held back after each quick exit, and what clears the count; and the pace
// of starts across every entry.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "watch/RestartPolicy.h"
#include "watch/StartRate.h"

namespace {

const std::wstring kKey = L"LOOP.EXE";

TEST(RestartPolicyTest, HoldDoublesFromOneSecondAndStopsAtFiveMinutes)
{
    const struct {
        DWORD quickExits;
        ULONGLONG delayMs;
    } cases[] = {{0, 0},        {1, 1000},     {2, 2000},     {3, 4000},
                 {9, 256000},   {10, 300000},  {33, 300000},  {0xFFFFFFFFu, 300000}};
    for (const auto& c : cases) {
        EXPECT_EQ(RestartPolicy::DelayAfter(c.quickExits), c.delayMs) << "k = " << c.quickExits;
    }
}

TEST(RestartPolicyTest, QuickExitsInARowHoldTheNextStartBackAndALongRunClearsThem)
{
    RestartPolicy policy;
    ULONGLONG now = 1000000;
    for (DWORD k = 1; k <= 4; ++k) {
        ASSERT_TRUE(policy.MayStart(kKey, now)) << "start " << k;
        policy.Started(kKey, now);
        EXPECT_TRUE(policy.SeenRunning(kKey, 40, now + 100));
        EXPECT_FALSE(policy.SeenRunning(kKey, 40, now + 200)) << "told once per start";
        const RestartPolicy::Outcome outcome = policy.Ended(kKey, 9999, now + 300);
        EXPECT_TRUE(outcome.quick);
        EXPECT_EQ(outcome.quickExits, k);
        EXPECT_EQ(outcome.delayMs, 1000ULL << (k - 1));
        EXPECT_FALSE(policy.MayStart(kKey, now + 300 + outcome.delayMs - 1));
        EXPECT_EQ(policy.MsUntilNextStart(now + 300), outcome.delayMs);
        now += 300 + outcome.delayMs;
    }
    // An end that was already decided decides nothing more.
    const RestartPolicy::Outcome again = policy.Ended(kKey, 0, now);
    EXPECT_FALSE(again.decided) << "an undecided end is no run of 10 s or more either";
    EXPECT_EQ(again.quickExits, 0u);

    policy.Started(kKey, now);
    policy.SeenRunning(kKey, 41, now);
    const RestartPolicy::Outcome longRun = policy.Ended(kKey, 10000, now + 10000);
    EXPECT_FALSE(longRun.quick);
    EXPECT_EQ(longRun.quickExits, 0u);
    EXPECT_TRUE(policy.MayStart(kKey, now + 10000));
    EXPECT_EQ(policy.MsUntilNextStart(now + 10000), RestartPolicy::kNone);
    EXPECT_EQ(policy.Find(kKey)->starts, 5u);
}

TEST(RestartPolicyTest, AStartAskedForEndsTheHoldKeepsTheCountAndCountsOnceAMinute)
{
    RestartPolicy policy;
    ULONGLONG now = 1000000;
    for (int k = 0; k < 5; ++k) {
        policy.Started(kKey, now);
        now += policy.Ended(kKey, 100, now + 100).delayMs + 100;
    }
    policy.Started(kKey, now);
    policy.Ended(kKey, 100, now + 100);  // the sixth quick exit: 32 s
    ASSERT_FALSE(policy.MayStart(kKey, now + 200));

    EXPECT_TRUE(policy.EndHold(kKey, now + 200));
    EXPECT_TRUE(policy.MayStart(kKey, now + 200));
    EXPECT_EQ(policy.Find(kKey)->quickExits, 6u) << "the count is kept";
    // Another quick exit holds it back as the seventh.
    policy.Started(kKey, now + 300);
    EXPECT_EQ(policy.Ended(kKey, 100, now + 400).delayMs, 64000u);
    // A second request within the minute is refused; one a minute later is taken.
    EXPECT_FALSE(policy.EndHold(kKey, now + 200 + RestartPolicy::kHoldEndGapMs - 1));
    EXPECT_FALSE(policy.MayStart(kKey, now + 500));
    EXPECT_TRUE(policy.EndHold(kKey, now + 200 + RestartPolicy::kHoldEndGapMs));
}

TEST(RestartPolicyTest, AStartThatNeverCameUpIsQuickAndALostRunCountsFromItsSighting)
{
    RestartPolicy policy;
    policy.Lost(kKey, 5000);  // nothing awaited: nothing decided
    EXPECT_TRUE(policy.MayStart(kKey, 5000));

    policy.Started(kKey, 5000);
    EXPECT_TRUE(policy.IsAwaiting(kKey));
    const RestartPolicy::Outcome neverUp = policy.Lost(kKey, 600000);
    EXPECT_TRUE(neverUp.quick) << "not seen at all, however long ago the start was";
    EXPECT_EQ(neverUp.delayMs, 1000u);
    EXPECT_FALSE(policy.IsAwaiting(kKey));

    policy.Started(kKey, 700000);
    policy.SeenRunning(kKey, 50, 701000);
    EXPECT_TRUE(policy.Lost(kKey, 710999).quick);
    policy.Started(kKey, 800000);
    policy.SeenRunning(kKey, 51, 801000);
    EXPECT_FALSE(policy.Lost(kKey, 811000).quick);
}

TEST(RestartPolicyTest, AChangedEntryStartsAfreshOthersKeepTheirCountsDroppedOnesAreForgotten)
{
    RestartPolicy policy;
    const std::wstring other = L"OTHER.EXE";
    for (const std::wstring& key : {kKey, other}) {
        policy.Started(key, 0);
        policy.Lost(key, 100);
        policy.Started(key, 2000);
        policy.Lost(key, 2100);
    }
    EXPECT_FALSE(policy.MayStart(kKey, 3000));
    EXPECT_EQ(policy.MsUntilNextStart(3000), 1100u);

    policy.ResetCount(kKey);
    EXPECT_TRUE(policy.MayStart(kKey, 3000));
    EXPECT_FALSE(policy.MayStart(other, 3000));
    EXPECT_EQ(policy.Find(kKey)->quickExits, 0u);
    policy.Started(kKey, 3000);
    EXPECT_EQ(policy.Lost(kKey, 3100).delayMs, 1000u) << "counting starts again at 1";

    policy.KeepOnly({other});
    EXPECT_EQ(policy.Find(kKey), nullptr);
    EXPECT_NE(policy.Find(other), nullptr);
}

TEST(RestartPolicyTest, OnlyLaunchesCountAndALaterSightingFollowsTheProcessThatRuns)
{
    RestartPolicy policy;
    policy.Started(kKey, 1000, ERROR_DIRECTORY);
    EXPECT_EQ(policy.Find(kKey)->launches, 0u);
    EXPECT_EQ(policy.Find(kKey)->startError, static_cast<DWORD>(ERROR_DIRECTORY));
    policy.Started(kKey, 2000);
    policy.TakeBackLaunch(kKey);  // the console found no program
    policy.TakeBackLaunch(kKey);
    EXPECT_EQ(policy.Find(kKey)->launches, 0u);
    policy.Started(kKey, 3000);
    EXPECT_EQ(policy.Find(kKey)->startError, 0u);
    EXPECT_EQ(policy.Find(kKey)->launches, 1u);
    EXPECT_EQ(policy.Find(kKey)->starts, 3u);

    EXPECT_TRUE(policy.SeenRunning(kKey, 40, 3100));
    EXPECT_FALSE(policy.SeenRunning(kKey, 41, 3200)) << "the run goes on in its new process";
    EXPECT_EQ(policy.Find(kKey)->processId, 41u);
    EXPECT_EQ(policy.Find(kKey)->seenAt, 3100u);
}

TEST(StartRateTest, ABurstStartsAtOnceThenThePaceHoldsWhileUnpacedStartsGoOnAndGoFirst)
{
    StartRate rate;
    ULONGLONG now = 5000000;
    for (ULONGLONG i = 0; i < StartRate::kBurst; ++i) {
        ASSERT_TRUE(rate.Take(now)) << "start " << i << " of the burst";
    }
    EXPECT_FALSE(rate.HasRoom(now));
    EXPECT_FALSE(rate.Take(now));
    const ULONGLONG gapMs = 1000 / StartRate::kPerSecond;
    EXPECT_EQ(gapMs, rate.MsUntilRoom(now));
    // The companion and the policy's programs are never held back.
    EXPECT_TRUE(rate.Take(now, false));
    EXPECT_FALSE(rate.Take(now + gapMs - 1));
    EXPECT_TRUE(rate.Take(now + gapMs));
    // An unpaced start takes the room there is, so a paced one waits for the next.
    now += 2 * gapMs;
    EXPECT_TRUE(rate.Take(now, false));
    EXPECT_FALSE(rate.Take(now));
    // A minute of nothing fills no more than a burst; a clock that went back fills nothing.
    now += 60000;
    int starts = 0;
    while (rate.Take(now)) {
        ++starts;
    }
    EXPECT_EQ(StartRate::kBurst, static_cast<ULONGLONG>(starts));
    EXPECT_FALSE(rate.Take(now - 10000));
}

}  // namespace
