// The channel between the service and the companion: what the service answers to each message,
// the refusals that keep a user from having LocalSystem end a process the service does not
// watch, and the real pipe with its security.

#include <gtest/gtest.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <vector>

#include "CompanionClient.h"
#include "TestSupport.h"
#include "channel/ChannelServer.h"
#include "channel/HangReports.h"
#include "process/Sessions.h"

using namespace testing_support;

namespace {

constexpr DWORD kSession = 3;
constexpr DWORD kOtherSession = 4;
constexpr DWORD kWatched = 1200;
constexpr DWORD kWatchedElsewhere = 1300;

std::vector<HangReports::Target> SomeTargets()
{
    return {{L"kiosk.exe", kWatched, kSession, 20}, {L"other.exe", kWatchedElsewhere, kOtherSession, 20}};
}

std::vector<BYTE> AnswerTo(HangReports& reports, DWORD kind, DWORD processId = 0,
                           DWORD seconds = 0, DWORD magic = channel::kMagic)
{
    channel::Request request;
    request.magic = magic;
    request.kind = kind;
    request.processId = processId;
    request.seconds = seconds;
    return ChannelServer::Answer(reinterpret_cast<const BYTE*>(&request), sizeof(request), false,
                                 kSession, reports);
}

DWORD AcceptedIn(const std::vector<BYTE>& reply)
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

TEST(ChannelAnswerTest, RefusesEveryProcessThatIsNotAWatchedOneOfThePipesSession)
{
    int wakes = 0;
    HangReports reports([&] { ++wakes; });
    reports.SetTargets(SomeTargets());

    struct Case {
        const char* what;
        DWORD processId;
        DWORD seconds;
        HangReports::Verdict verdict;
    } const cases[] = {
        {"a process no entry has", 4, 60, HangReports::Verdict::kNotWatched},
        {"process id 0", 0, 60, HangReports::Verdict::kNotWatched},
        {"a watched process of another session", kWatchedElsewhere, 60, HangReports::Verdict::kOtherSession},
        {"before its own timeout", kWatched, 19, HangReports::Verdict::kTooSoon},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(0u, AcceptedIn(AnswerTo(reports, channel::kReportHung, c.processId, c.seconds))) << c.what;
        EXPECT_EQ(c.verdict, reports.Judge(kSession, c.processId, c.seconds)) << c.what;
    }
    EXPECT_TRUE(reports.Take().empty());
    EXPECT_EQ(0, wakes);

    EXPECT_EQ(1u, AcceptedIn(AnswerTo(reports, channel::kReportHung, kWatched, 20)));
    EXPECT_EQ(1u, AcceptedIn(AnswerTo(reports, channel::kReportHung, kWatched, 22))) << "again";
    EXPECT_EQ(1, wakes) << "one report per process wakes the watch once";
    const std::vector<HangReports::Report> taken = reports.Take();
    ASSERT_EQ(1u, taken.size());
    EXPECT_EQ(kWatched, taken[0].processId);
    EXPECT_EQ(20u, taken[0].seconds);
    EXPECT_STREQ(L"kiosk.exe", taken[0].name.GetString());
}

TEST(ChannelAnswerTest, DropsGarbageAndAnswersTheTargetsOfThePipesSessionOnly)
{
    HangReports reports;
    reports.SetTargets(SomeTargets());
    const BYTE garbage[] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_TRUE(ChannelServer::Answer(garbage, sizeof(garbage), false, kSession, reports).empty());
    EXPECT_TRUE(AnswerTo(reports, channel::kAskTargets, 0, 0, 0xDEADBEEF).empty()) << "bad magic";
    EXPECT_TRUE(AnswerTo(reports, channel::kVerdict).empty()) << "a kind the service sends";
    EXPECT_TRUE(AnswerTo(reports, 77).empty()) << "an unknown kind";
    channel::Request request;
    request.kind = channel::kAskTargets;
    EXPECT_TRUE(ChannelServer::Answer(reinterpret_cast<const BYTE*>(&request), sizeof(request), true,
                                      kSession, reports)
                    .empty())
        << "oversized";
    EXPECT_EQ(0u, reports.LastContact());

    const std::vector<BYTE> reply = AnswerTo(reports, channel::kAskTargets);
    std::vector<channel::Target> targets;
    ASSERT_TRUE(channel::DecodeTargets(reply.data(), reply.size(), targets));
    ASSERT_EQ(1u, targets.size());
    EXPECT_EQ(kWatched, targets[0].processId);
    EXPECT_EQ(20u, targets[0].timeoutSeconds);
    EXPECT_NE(0u, reports.LastContact());

    // A list whose size does not match its count is no list.
    std::vector<BYTE> cut(reply.begin(), reply.end() - 1);
    EXPECT_FALSE(channel::DecodeTargets(cut.data(), cut.size(), targets));
}

TEST(ChannelAnswerTest, AReportOfAProcessThatIsNoTargetAnyMoreIsDropped)
{
    HangReports reports;
    reports.SetTargets(SomeTargets());
    ASSERT_EQ(HangReports::Verdict::kAccepted, reports.Judge(kSession, kWatched, 30));
    reports.SetTargets({});
    EXPECT_TRUE(reports.Take().empty()) << "the process ended before the watch took the report";
}

// The real pipe, served for this process's own session (the stand-in terminal services give it
// the test's user).
TEST(ChannelPipeTest, ServesTheSessionsUserAndLetsGoOfAClientThatSendsTooMuch)
{
    DWORD ownSession = 0;
    ASSERT_TRUE(FindOwnSessionId(ownSession));
    HangReports reports;
    reports.SetTargets({{L"kiosk.exe", kWatched, ownSession, 15}});
    ChannelServer server(reports);
    server.ServeSession(ownSession);
    ASSERT_TRUE(server.EnsureStarted());

    std::vector<channel::Target> targets;
    {
        CompanionClient client(ownSession);
        ASSERT_TRUE(WaitUntil([&] { return client.AskTargets(targets); }, 10000));
        ASSERT_EQ(1u, targets.size());
        EXPECT_EQ(kWatched, targets[0].processId);
        bool accepted = true;
        ASSERT_TRUE(client.ReportHung(4, 60, accepted));
        EXPECT_FALSE(accepted) << "a process that is not watched";
        ASSERT_TRUE(client.ReportHung(kWatched, 15, accepted));
        EXPECT_TRUE(accepted);
        EXPECT_EQ(1u, reports.Take().size());
    }

    // Something that is no request: the client is let go, and the pipe serves the next one.
    const XStringW name = channel::PipeName(ownSession);
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
                EXPECT_EQ(0u, ace->Mask & FILE_CREATE_PIPE_INSTANCE) << std::hex << ace->Mask;
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
    CompanionClient next(ownSession);
    EXPECT_TRUE(WaitUntil([&] { return next.AskTargets(targets); }, 10000));
    server.Stop();
}

}  // namespace
