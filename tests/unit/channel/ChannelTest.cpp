// The channel between the service and the companion: what the service answers to each message,
// the refusals that keep a user from having LocalSystem end a process the service does not
// watch, the service's own clock for a hang, and the real pipe: who is heard, and whom the
// companion talks to.

#include <gtest/gtest.h>
#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "CompanionClient.h"
#include "TestSupport.h"
#include "TraceCapture.h"
#include "channel/ChannelServer.h"
#include "channel/HangReports.h"
#include "paths/ModulePaths.h"
#include "process/Sessions.h"

using namespace testing_support;

namespace {

constexpr DWORD kSession = 3;
constexpr DWORD kOtherSession = 4;
constexpr DWORD kWatched = 1200;
constexpr DWORD kWatchedElsewhere = 1300;
constexpr DWORD kTimeout = 20;

std::atomic<ULONGLONG> fakeClock{0};
ULONGLONG WINAPI FakeClock()
{
    return fakeClock.load();
}

const TokenIdentity kReporter{L"S-1-5-21-1-2-3-1001", SECURITY_MANDATORY_MEDIUM_RID};

std::vector<HangReports::Target> SomeTargets()
{
    return {{L"kiosk.exe", kWatched, kSession, kTimeout},
            {L"other.exe", kWatchedElsewhere, kOtherSession, kTimeout}};
}

std::vector<BYTE> AnswerTo(ChannelServer& server, DWORD kind, DWORD processId = 0,
                           DWORD seconds = 0, DWORD magic = channel::kMagic)
{
    channel::Request request;
    request.magic = magic;
    request.kind = kind;
    request.processId = processId;
    request.seconds = seconds;
    return server.Answer(reinterpret_cast<const BYTE*>(&request), sizeof(request), false, kSession,
                         kReporter);
}

DWORD VerdictIn(const std::vector<BYTE>& reply)
{
    channel::Verdict verdict;
    EXPECT_EQ(sizeof(verdict), reply.size());
    if (reply.size() != sizeof(verdict)) {
        return 99;
    }
    std::memcpy(&verdict, reply.data(), sizeof(verdict));
    EXPECT_EQ(channel::kVerdict, verdict.kind);
    return verdict.accepted;
}

class ChannelAnswerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeClock = 1000000;
        reports.SetTargets(SomeTargets());
    }

    int wakes = 0;
    HangReports reports{[this] { ++wakes; }, &FakeClock};
    ChannelServer server{reports};
};

TEST_F(ChannelAnswerTest, RefusesEveryProcessThatIsNotAWatchedOneOfThePipesSession)
{
    struct Case {
        const char* what;
        DWORD processId;
        HangReports::Verdict verdict;
    } const cases[] = {
        {"a process no entry has", 4, HangReports::Verdict::kNotWatched},
        {"process id 0", 0, HangReports::Verdict::kNotWatched},
        {"a watched process of another session", kWatchedElsewhere,
         HangReports::Verdict::kOtherSession},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(channel::kRefused, VerdictIn(AnswerTo(server, channel::kReportHung, c.processId, 60)))
            << c.what;
        fakeClock += kTimeout * 1000;
        EXPECT_EQ(c.verdict, reports.Judge(kSession, c.processId, 60, kReporter)) << c.what;
    }
    EXPECT_TRUE(reports.Take().empty());
    EXPECT_EQ(0, wakes);
}

// The client's seconds are a hint: the service ends a program only when its own clock, from the
// first report of the hang, reaches the timeout, and only while the reports keep coming.
TEST_F(ChannelAnswerTest, TheServicesOwnClockFromTheFirstReportDecidesNotTheReportsSeconds)
{
    EXPECT_EQ(channel::kTiming, VerdictIn(AnswerTo(server, channel::kReportHung, kWatched, 0xFFFFFFFF)));
    for (int round = 1; round < 10; ++round) {
        fakeClock += 2000;
        ASSERT_EQ(channel::kTiming, VerdictIn(AnswerTo(server, channel::kReportHung, kWatched, 0xFFFFFFFF)))
            << "after " << round * 2 << " s";
    }
    // The reports stopped for longer than a few rounds: the next one starts a new hang.
    fakeClock += channel::kLongestReportGapMs + 1;
    EXPECT_EQ(channel::kTiming, VerdictIn(AnswerTo(server, channel::kReportHung, kWatched, 0xFFFFFFFF)));
    for (int round = 1; round < 10; ++round) {
        fakeClock += 2000;
        ASSERT_EQ(channel::kTiming, VerdictIn(AnswerTo(server, channel::kReportHung, kWatched, 1)));
    }
    EXPECT_EQ(0, wakes);
    fakeClock += 2000;
    EXPECT_EQ(channel::kEnding, VerdictIn(AnswerTo(server, channel::kReportHung, kWatched, 1)));
    fakeClock += 2000;
    EXPECT_EQ(channel::kEnding, VerdictIn(AnswerTo(server, channel::kReportHung, kWatched, 1))) << "again";
    EXPECT_EQ(1, wakes) << "one accepted hang wakes the watch once";
    const std::vector<HangReports::Report> taken = reports.Take();
    ASSERT_EQ(1u, taken.size());
    EXPECT_EQ(kWatched, taken[0].processId);
    EXPECT_EQ(kTimeout, taken[0].seconds) << "the seconds the service timed";
    EXPECT_STREQ(L"kiosk.exe", taken[0].name.GetString());
    EXPECT_EQ(kReporter.userSid, taken[0].reporter.userSid.GetString());

    // A hang of a process that is no target any more goes with it.
    for (DWORD round = 0; round < kTimeout / 2; ++round, fakeClock += 2000) {
        AnswerTo(server, channel::kReportHung, kWatched, 1);
    }
    ASSERT_EQ(HangReports::Verdict::kAccepted, reports.Judge(kSession, kWatched, 1, kReporter));
    reports.SetTargets({});
    EXPECT_TRUE(reports.Take().empty()) << "the process ended before the watch took the report";
}

TEST_F(ChannelAnswerTest, DropsGarbageTracingItOnceAMinuteAndAnswersTheTargetsOfThePipesSessionOnly)
{
    const TraceCapture trace;
    const BYTE garbage[] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_TRUE(server.Answer(garbage, sizeof(garbage), false, kSession, kReporter).empty());
    EXPECT_TRUE(AnswerTo(server, channel::kAskTargets, 0, 0, 0xDEADBEEF).empty()) << "bad magic";
    EXPECT_TRUE(AnswerTo(server, channel::kVerdict).empty()) << "a kind the service sends";
    EXPECT_TRUE(AnswerTo(server, 77).empty()) << "an unknown kind";
    channel::Request request;
    request.kind = channel::kAskTargets;
    EXPECT_TRUE(server.Answer(reinterpret_cast<const BYTE*>(&request), sizeof(request), true,
                              kSession, kReporter)
                    .empty())
        << "oversized";
    EXPECT_EQ(0u, reports.LastContact());
    EXPECT_EQ(1, trace.Count(L"dropped (")) << Utf8(trace.Text());
    fakeClock += LineAllowance::kEveryMs;
    AnswerTo(server, 77);
    EXPECT_EQ(1, trace.Count(L"dropped (4 more dropped before it)")) << Utf8(trace.Text());

    const std::vector<BYTE> reply = AnswerTo(server, channel::kAskTargets);
    std::vector<channel::Target> targets;
    ASSERT_TRUE(channel::DecodeTargets(reply.data(), reply.size(), targets));
    ASSERT_EQ(1u, targets.size());
    EXPECT_EQ(kWatched, targets[0].processId);
    EXPECT_EQ(kTimeout, targets[0].timeoutSeconds);
    EXPECT_EQ(fakeClock.load(), reports.LastContact());

    // A list whose size does not match its count is no list.
    std::vector<BYTE> cut(reply.begin(), reply.end() - 1);
    EXPECT_FALSE(channel::DecodeTargets(cut.data(), cut.size(), targets));
}

// The real pipe, served for this process's own session (the stand-in terminal services give it
// the test's user). The test process plays the companion when it is named so.
class ChannelPipeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FindOwnSessionId(ownSession));
        reports.SetTargets({{L"kiosk.exe", kWatched, ownSession, 15}});
    }
    void TearDown() override { server.Stop(); }

    XStringW Serve()
    {
        const XStringW name = server.ServeSession(ownSession);
        EXPECT_FALSE(name.IsEmpty());
        EXPECT_TRUE(server.EnsureStarted());
        return name;
    }
    static DWORD Self() { return GetCurrentProcessId(); }

    DWORD ownSession = 0;
    HangReports reports;
    ChannelServer server{reports};
};

TEST_F(ChannelPipeTest, OnlyTheCompanionIsHeardAndAFreshNameIsServedWhateverHoldsTheOldOne)
{
    // A squatter on the name the pipe had before, and one on a name of this session's pattern:
    // neither keeps the service from serving.
    XStringW oldName;
    oldName.Format(L"\\\\.\\pipe\\QuorbelService.Companion.%u", ownSession);
    const ScopedHandle squatter(CreateNamedPipeW(oldName.GetString(), PIPE_ACCESS_DUPLEX,
                                                 PIPE_TYPE_MESSAGE, 1, 64, 64, 0, nullptr));
    ASSERT_TRUE(squatter);
    const XStringW name = Serve();
    EXPECT_EQ(0, wcsncmp(name.GetString(), oldName.GetString(), wcslen(oldName.GetString())));
    EXPECT_GT(name.GetLength(), oldName.GetLength() + 16) << "a token no one can guess";
    EXPECT_EQ(name, server.ServeSession(ownSession).GetString()) << "the same while the session is";

    // Not the companion: another process id, or the right one running another image.
    const TraceCapture trace;
    std::vector<channel::Target> targets;
    for (const auto& companion : {std::make_pair(Self() + 4, GetModulePath(true)),
                                  std::make_pair(Self(), XStringW(L"C:\\elsewhere\\x.exe"))}) {
        reports.SetCompanion({companion.first}, companion.second);
        CompanionClient stranger(name, &Self);
        EXPECT_FALSE(stranger.AskTargets(targets)) << Utf8(companion.second.GetString());
    }
    EXPECT_EQ(0u, reports.LastContact()) << "a client that is not the companion was heard";
    EXPECT_EQ(1, trace.Count(L"is not the companion: not heard")) << Utf8(trace.Text());

    reports.SetCompanion({Self()}, GetModulePath(true));
    CompanionClient client(name, &Self);
    ASSERT_TRUE(WaitUntil([&] { return client.AskTargets(targets); }, 10000));
    ASSERT_EQ(1u, targets.size());
    EXPECT_EQ(kWatched, targets[0].processId);
    DWORD verdict = 99;
    ASSERT_TRUE(client.ReportHung(4, 60, verdict));
    EXPECT_EQ(channel::kRefused, verdict) << "a process that is not watched";
    ASSERT_TRUE(client.ReportHung(kWatched, 15, verdict));
    EXPECT_EQ(channel::kTiming, verdict) << "timed by the service from now";
}

TEST_F(ChannelPipeTest, TheCompanionTalksOnlyToThePipeOfTheServicesProcess)
{
    const XStringW name = Serve();
    reports.SetCompanion({Self()}, GetModulePath(true));
    std::vector<channel::Target> targets;
    CompanionClient misled(name, [] { return Self() + 4; });
    EXPECT_FALSE(misled.AskTargets(targets));
    CompanionClient noService(name, [] { return DWORD{0}; });
    EXPECT_FALSE(noService.AskTargets(targets));
    EXPECT_EQ(0u, reports.LastContact()) << "a request reached a server that is not the service";

    CompanionClient client(name, &Self);
    EXPECT_TRUE(WaitUntil([&] { return client.AskTargets(targets); }, 10000));
    EXPECT_NE(0u, reports.LastContact());
}

// A companion started by an earlier run of the service cannot reach the new one's pipe: it leaves
// once the running service has served no pipe of its name for a while, and waits while no
// service runs.
TEST(CompanionClientTest, LeavesOnlyWhenARunningServiceServesNoPipeOfItsNameForAWhile)
{
    DWORD service = 0;
    std::vector<channel::Target> targets;
    CompanionClient client(L"\\\\.\\pipe\\QuorbelService.Companion.1.gone", [&] { return service; });
    EXPECT_FALSE(client.AskTargets(targets));
    EXPECT_FALSE(client.IsOrphaned(1000));
    EXPECT_FALSE(client.IsOrphaned(1000 + CompanionClient::kOrphanedAfterMs)) << "no service runs";
    service = 4;
    EXPECT_FALSE(client.IsOrphaned(50000));
    EXPECT_FALSE(client.IsOrphaned(50000 + CompanionClient::kOrphanedAfterMs - 1));
    EXPECT_TRUE(client.IsOrphaned(50000 + CompanionClient::kOrphanedAfterMs));

    CompanionClient unnamed(XStringW(), [&] { return service; });
    EXPECT_FALSE(unnamed.AskTargets(targets));
    unnamed.IsOrphaned(0);
    EXPECT_TRUE(unnamed.IsOrphaned(CompanionClient::kOrphanedAfterMs)) << "started without a pipe";
}

TEST_F(ChannelPipeTest, AdmitsTheSessionsUserOnlyAndLetsGoOfAClientThatSendsTooMuch)
{
    const XStringW name = Serve();
    reports.SetCompanion({Self()}, GetModulePath(true));
    {
        ScopedHandle raw;
        ASSERT_TRUE(WaitUntil(
            [&] {
                raw.Reset(CreateFileW(name.GetString(), GENERIC_READ | FILE_WRITE_DATA, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
                return static_cast<bool>(raw);
            },
            10000));
        // Only LocalSystem and the session's user may open the pipe, and the user may not make
        // instances of it. (Wine keeps the descriptor and gives it back, but does not check it when
        // a pipe is opened.)
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
                  GetSecurityInfo(raw.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &dacl, nullptr, &descriptor));
        ScopedLocalMemory descriptorOwner(descriptor);
        ASSERT_NE(nullptr, dacl);
        ASSERT_EQ(2u, dacl->AceCount);
        std::vector<std::wstring> sids;
        for (WORD i = 0; i < dacl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
            ASSERT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
            wchar_t* text = nullptr;
            ASSERT_TRUE(ConvertSidToStringSidW(&ace->SidStart, &text));
            sids.push_back(text);
            LocalFree(text);
            if (sids.back() != L"S-1-5-18") {
                EXPECT_EQ(channel::kClientAccess, ace->Mask) << std::hex << ace->Mask;
            }
        }
        EXPECT_EQ(L"S-1-5-18", sids[0]);
        std::vector<BYTE> tooMuch(4096, 0x41);
        DWORD written = 0;
        WriteFile(raw.Get(), tooMuch.data(), static_cast<DWORD>(tooMuch.size()), &written, nullptr);
        BYTE reply[64];
        DWORD read = 0;
        EXPECT_FALSE(ReadFile(raw.Get(), reply, sizeof(reply), &read, nullptr))
            << "an oversized message got " << read << " bytes of answer";
    }
    std::vector<channel::Target> targets;
    CompanionClient next(name, &Self);
    EXPECT_TRUE(WaitUntil([&] { return next.AskTargets(targets); }, 10000));
}

}  // namespace
