// The companion's judgement of a process's windows, and one round of its work against a service
// and windows of the test's making.

#include <gtest/gtest.h>

#include "CompanionAgent.h"
#include "HangTracker.h"

namespace {
const WindowLook kAnswering{true, false};
const WindowLook kHung{false, true};
const WindowLook kNoWindow{false, false};
constexpr DWORD kProcess = 4242;
constexpr DWORD kTimeout = 10;
}  // namespace

// A program already hung when the companion came, or one that never drew a window that answered,
// is judged once it has run longer than its timeout, not before: a slow starter gets its full
// timeout.
TEST(HangTrackerTest, AWindowThatNeverAnsweredIsReportedOnlyOnceItsProcessRanLongerThanItsTimeout)
{
    HangTracker tracker;
    HangTracker::Report report;
    for (ULONGLONG now = 0; now < kTimeout * 1000; now += 2000) {
        ASSERT_FALSE(tracker.Look(kProcess, kTimeout, kHung, now, now, report)) << "at " << now << " ms";
    }
    ASSERT_TRUE(tracker.Look(kProcess, kTimeout, kHung, 10000, 10000, report));
    EXPECT_EQ(kProcess, report.processId);

    // Found hung by a companion that came late: at once, as the program ran long enough.
    HangTracker late;
    EXPECT_TRUE(late.Look(kProcess, kTimeout, kHung, 500, 3600000, report));
}

// Hung is reported at every round, with the companion's count as a hint that includes the five
// seconds before the window looked hung, until the service ends the process; a refusal keeps it
// quiet for a timeout.
TEST(HangTrackerTest, AHangIsReportedEveryRoundUntilTheServiceEndsItAndAfterARefusalOnlyATimeoutLater)
{
    HangTracker tracker;
    HangTracker::Report report;
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kAnswering, 1000, 1000, report));
    ASSERT_TRUE(tracker.Look(kProcess, kTimeout, kHung, 7000, 7000, report));  // silent since 2000
    EXPECT_EQ(5u, report.seconds);
    ASSERT_TRUE(tracker.Look(kProcess, kTimeout, kHung, 9000, 9000, report));
    EXPECT_EQ(7u, report.seconds);

    tracker.Refused(kProcess, kTimeout, 9000);
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kHung, 18999, 18999, report));
    EXPECT_TRUE(tracker.Look(kProcess, kTimeout, kHung, 19000, 19000, report));

    tracker.Ending(kProcess);
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kHung, 21000, 21000, report)) << "reported while ending";
}

TEST(HangTrackerTest, AnAnswerOrAMissingWindowStartsTheMeasureAfresh)
{
    HangTracker tracker;
    HangTracker::Report report;
    tracker.Look(kProcess, kTimeout, kAnswering, 0, 0, report);
    EXPECT_TRUE(tracker.Look(kProcess, kTimeout, kHung, 8000, 8000, report));
    EXPECT_EQ(5u, report.seconds);
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kAnswering, 9000, 9000, report));
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kNoWindow, 10000, 10000, report)) << "no window is no hang";
    EXPECT_TRUE(tracker.Look(kProcess, kTimeout, kHung, 18000, 18000, report));
    EXPECT_EQ(5u, report.seconds) << "measured afresh";

    tracker.KeepOnly({});
    EXPECT_EQ(0u, tracker.Count());
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kHung, 60000, 2000, report))
        << "forgotten, so never answered, and young";
}

TEST(CompanionAgentTest, AsksLooksAndReportsOnlyTheTargetsThatHungAsLongAsTheServiceTimesThem)
{
    // The process looked at must be alive for the agent to hold it: the test's own process.
    const DWORD self = ::GetCurrentProcessId();
    std::vector<channel::Target> targets{{self, 5}, {0, 5}};
    WindowLook look = kAnswering;
    std::vector<std::pair<DWORD, DWORD>> reports;
    DWORD answer = channel::kTiming;
    CompanionAgent agent(
        [&](std::vector<channel::Target>& list) {
            list = targets;
            return true;
        },
        [&](DWORD processId, DWORD seconds, DWORD& verdict) {
            reports.emplace_back(processId, seconds);
            verdict = answer;
            return true;
        },
        [&](const std::vector<DWORD>& processIds) {
            std::map<DWORD, WindowLook> looks;
            for (const DWORD processId : processIds) {
                looks[processId] = look;
            }
            return looks;
        },
        [](HANDLE) { return ULONGLONG{0}; });

    EXPECT_EQ(0, agent.RunOnce(0));
    EXPECT_EQ(1u, agent.Watched()) << "a target with process id 0 is no process";
    look = kHung;
    EXPECT_EQ(0, agent.RunOnce(6000));
    EXPECT_EQ(0, agent.RunOnce(8000));
    ASSERT_EQ(2u, reports.size()) << "reported at every round while the service times it";
    EXPECT_EQ(self, reports[0].first);
    EXPECT_EQ(5u, reports[0].second);

    answer = channel::kRefused;
    agent.RunOnce(10000);
    agent.RunOnce(12000);
    EXPECT_EQ(3u, reports.size()) << "not reported within a timeout of a refusal";
    answer = channel::kEnding;
    EXPECT_EQ(1, agent.RunOnce(15000)) << "reported again a timeout after the refusal";
    agent.RunOnce(17000);
    EXPECT_EQ(4u, reports.size()) << "not reported while the service ends it";

    targets.clear();
    agent.RunOnce(18000);
    EXPECT_EQ(0u, agent.Watched()) << "a process that is no target any more is forgotten";
}
