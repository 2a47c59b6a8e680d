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

TEST(HangTrackerTest, AWindowThatNeverAnsweredIsNeverReported)
{
    HangTracker tracker;
    HangTracker::Report report;
    for (ULONGLONG now = 0; now <= 60000; now += 2000) {
        ASSERT_FALSE(tracker.Look(kProcess, kTimeout, kHung, now, report)) << "at " << now << " ms";
    }
}

TEST(HangTrackerTest, ReportedOnceWhenNoWindowAnsweredForTheTimeoutCountingTheFiveSecondsBeforeItLookedHung)
{
    HangTracker tracker;
    HangTracker::Report report;
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kAnswering, 1000, report));
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kHung, 7000, report));  // silent since 2000
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kHung, 11999, report));
    ASSERT_TRUE(tracker.Look(kProcess, kTimeout, kHung, 12000, report));
    EXPECT_EQ(kProcess, report.processId);
    EXPECT_EQ(10u, report.seconds);
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kHung, 13000, report)) << "reported twice";

    // Refused: a further report only after another timeout.
    tracker.Refused(kProcess, 13000);
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kHung, 22000, report));
    EXPECT_TRUE(tracker.Look(kProcess, kTimeout, kHung, 23000, report));
}

TEST(HangTrackerTest, AnAnswerOrAMissingWindowStartsTheMeasureAfresh)
{
    HangTracker tracker;
    HangTracker::Report report;
    tracker.Look(kProcess, kTimeout, kAnswering, 0, report);
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kHung, 8000, report));
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kAnswering, 9000, report));
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kHung, 18000, report));
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kNoWindow, 19000, report)) << "no window is no hang";
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kHung, 28000, report));
    EXPECT_TRUE(tracker.Look(kProcess, kTimeout, kHung, 33000, report));

    tracker.KeepOnly({});
    EXPECT_EQ(0u, tracker.Count());
    EXPECT_FALSE(tracker.Look(kProcess, kTimeout, kHung, 60000, report)) << "forgotten, so never answered";
}

TEST(CompanionAgentTest, AsksLooksAndReportsOnlyTheTargetsThatHungAndRetriesARefusal)
{
    // The process looked at must be alive for the agent to hold it: the test's own process.
    const DWORD self = ::GetCurrentProcessId();
    std::vector<channel::Target> targets{{self, 5}, {0, 5}};
    WindowLook look = kAnswering;
    std::vector<std::pair<DWORD, DWORD>> reports;
    bool accept = false;
    CompanionAgent agent(
        [&](std::vector<channel::Target>& answer) {
            answer = targets;
            return true;
        },
        [&](DWORD processId, DWORD seconds, bool& accepted) {
            reports.emplace_back(processId, seconds);
            accepted = accept;
            return true;
        },
        [&](const std::vector<DWORD>& processIds) {
            std::map<DWORD, WindowLook> looks;
            for (const DWORD processId : processIds) {
                looks[processId] = look;
            }
            return looks;
        });

    EXPECT_EQ(0, agent.RunOnce(0));
    EXPECT_EQ(1u, agent.Watched()) << "a target with process id 0 is no process";
    look = kHung;
    EXPECT_EQ(0, agent.RunOnce(4000));  // silent since 0 at the latest
    EXPECT_EQ(0, agent.RunOnce(6000)) << "refused";
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(self, reports[0].first);
    EXPECT_EQ(6u, reports[0].second);

    accept = true;
    EXPECT_EQ(0, agent.RunOnce(10000));
    EXPECT_EQ(1, agent.RunOnce(11000)) << "reported again a timeout after the refusal";
    EXPECT_EQ(2u, reports.size());

    targets.clear();
    agent.RunOnce(12000);
    EXPECT_EQ(0u, agent.Watched()) << "a process that is no target any more is forgotten";
}
