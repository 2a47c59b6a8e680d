// The event log's entries, seen at the reporting boundary (Wine keeps no log to read back), and
// the message table the executable carries for them.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "trace/EventLog.h"
#include "trace/EventMessages.h"

using testing_support::Utf8;

namespace {

struct Entry {
    WORD type;
    DWORD id;
    std::vector<std::wstring> strings;
};
std::vector<Entry> entries;
ULONGLONG fakeNow = 1000000;

BOOL WINAPI RecordEvent(HANDLE, WORD type, WORD, DWORD id, PSID, WORD count, DWORD, LPCWSTR* strings,
                        LPVOID)
{
    Entry entry{type, id, {}};
    for (WORD i = 0; i < count; ++i) {
        entry.strings.emplace_back(strings[i]);
    }
    entries.push_back(entry);
    return TRUE;
}

ULONGLONG WINAPI FakeTickCount()
{
    return fakeNow;
}

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        entries.clear();
        event_log::reportEvent = &RecordEvent;
        event_log::tickCount = &FakeTickCount;
        // Far from every earlier test's reports, so that none counts as a repeat.
        fakeNow += 10ULL * 60 * 60 * 1000;
    }
    void TearDown() override
    {
        event_log::reportEvent = ::ReportEventW;
        event_log::tickCount = ::GetTickCount64;
    }
};

ProgramEventSubject Subject(const wchar_t* name, const wchar_t* sid = L"S-1-5-21-1")
{
    ProgramEventSubject subject;
    subject.name = name;
    subject.path = XStringW(L"C:\\Tools\\") + name;
    subject.userName = L"PC7\\kim";
    subject.userSid = sid;
    subject.sessionId = 2;
    return subject;
}

std::vector<std::wstring> Inserts(const wchar_t* name, std::vector<std::wstring> specific)
{
    std::vector<std::wstring> inserts{name, std::wstring(L"C:\\Tools\\") + name, L"PC7\\kim",
                                      L"S-1-5-21-1", L"2"};
    inserts.insert(inserts.end(), specific.begin(), specific.end());
    return inserts;
}

TEST_F(EventLogTest, EachReportIsOneEntryOfItsTypeWithTheProgramUserAndSessionApart)
{
    ReportServiceStarted();
    ReportServiceStopped();
    ReportProgramStartFailed(Subject(L"agent.exe"), ERROR_ACCESS_DENIED);
    ReportProgramExited(Subject(L"agent.exe"), 0xC0000005, 12);
    ReportProgramExited(Subject(L"clean.exe"), 0, 30);  // a clean end is no warning
    ReportProgramBackingOff(Subject(L"agent.exe"), 5, 60);
    ReportProgramNotFound(Subject(L"gone.exe"), MissingProgram::kNoFile);
    ReportProgramNotFound(Subject(L"typo.exe"), MissingProgram::kNotRecognized);
    ReportProgramNotResponding(Subject(L"kiosk.exe"), 31);
    ReportProgramBackingOff(Subject(L"forged\r\nline.exe"), 1, 1);
    ReportProgramNotResponding(Subject(L"agent.exe"), 31, L"port 8080 refused for 31 s");

    ASSERT_EQ(10u, entries.size());
    EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, entries[0].type);
    EXPECT_EQ(MSG_SERVICE_STARTED, entries[0].id);
    EXPECT_TRUE(entries[0].strings.empty());
    EXPECT_EQ(MSG_SERVICE_STOPPED, entries[1].id);
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, entries[2].type);
    EXPECT_EQ(MSG_PROGRAM_START_FAILED, entries[2].id);
    ASSERT_EQ(8u, entries[2].strings.size());
    EXPECT_EQ(L"5", entries[2].strings[5]);
    EXPECT_EQ(L"0", entries[2].strings[7]);
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, entries[3].type);
    EXPECT_EQ(MSG_PROGRAM_EXITED, entries[3].id);
    EXPECT_EQ(Inserts(L"agent.exe", {L"0xC0000005 (access violation)", L"12", L"0"}),
              entries[3].strings);
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, entries[4].type);
    EXPECT_EQ(MSG_PROGRAM_BACKING_OFF, entries[4].id);
    EXPECT_EQ(Inserts(L"agent.exe", {L"5", L"60", L"0"}), entries[4].strings);
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, entries[5].type);
    EXPECT_EQ(MSG_PROGRAM_NOT_FOUND, entries[5].id);
    EXPECT_EQ(Inserts(L"gone.exe", {L"the file does not exist", L"0"}), entries[5].strings);
    EXPECT_EQ(Inserts(L"typo.exe", {L"cmd.exe could not find it (exit code 9009)", L"0"}),
              entries[6].strings);
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, entries[7].type);
    EXPECT_EQ(MSG_PROGRAM_NOT_RESPONDING, entries[7].id);
    EXPECT_EQ(7u, entries[7].id & 0xFFFF) << "the event's ID never changes";
    EXPECT_EQ(Inserts(L"kiosk.exe", {L"31", L"0", L"no window of it answered"}),
              entries[7].strings);
    // A failed liveness check names itself after the repeats' count.
    EXPECT_EQ(Inserts(L"agent.exe", {L"31", L"0", L"port 8080 refused for 31 s"}),
              entries[9].strings);
    EXPECT_EQ(L"forged<U+000D><U+000A>line.exe", entries[8].strings[0]) << "shown as list shows it";
}

TEST_F(EventLogTest, EveryEntryAndKindIsReportedOnceAnHourWithTheCountOfItsRepeats)
{
    // Twenty programs in trouble, three passes each: one report per program and kind.
    for (int pass = 0; pass < 3; ++pass) {
        for (int i = 0; i < 20; ++i) {
            const std::wstring name = L"p" + std::to_wstring(i) + L".exe";
            ReportProgramStartFailed(Subject(name.c_str()), ERROR_FILE_NOT_FOUND);
            ReportProgramExited(Subject(name.c_str()), 1, 11);
        }
        fakeNow += 60 * 1000;
    }
    EXPECT_EQ(40u, entries.size());
    // Names in any letter case are one entry; another user's entry, another error are not.
    ReportProgramExited(Subject(L"P0.EXE"), 1, 11);
    EXPECT_EQ(40u, entries.size());
    ReportProgramExited(Subject(L"p0.exe", L"S-1-5-21-2"), 1, 11);
    ReportProgramStartFailed(Subject(L"p0.exe"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(42u, entries.size());

    entries.clear();
    fakeNow += 60ULL * 60 * 1000;
    ReportProgramExited(Subject(L"p0.exe"), 1, 11);
    ReportProgramExited(Subject(L"p1.exe"), 1, 11);
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(L"3", entries[0].strings.back()) << "two passes and the upper-case name held back";
    EXPECT_EQ(L"2", entries[1].strings.back());
    ReportProgramExited(Subject(L"p1.exe"), 1, 11);
    EXPECT_EQ(2u, entries.size()) << "the count starts again with the report";
}

TEST_F(EventLogTest, AListReportsAtMostItsShareAnHourAndLeavingTheListResetsNoLimit)
{
    constexpr int kPrograms = 200;
    const auto reportAll = [] {
        for (int i = 0; i < kPrograms; ++i) {
            const std::wstring name = L"m" + std::to_wstring(i) + L".exe";
            ReportProgramNotFound(Subject(name.c_str()), MissingProgram::kNoFile);
        }
    };
    reportAll();
    ASSERT_EQ(event_log::kListEventsPerHour, entries.size());
    // The policy's entries and another user's list have limits of their own.
    ProgramEventSubject policyEntry = Subject(L"policy.exe");
    policyEntry.setByPolicy = true;
    ReportProgramNotFound(policyEntry, MissingProgram::kNoFile);
    ReportProgramNotFound(Subject(L"m0.exe", L"S-1-5-21-2"), MissingProgram::kNoFile);
    EXPECT_EQ(event_log::kListEventsPerHour + 2, entries.size());

    // The whole list is paused, or deleted and imported again, within the hour: nothing of it is
    // reported again.
    ForgetProgramEventsExcept(XStringW(L"S-1-5-21-1"), {});
    fakeNow += 60 * 1000;
    reportAll();
    EXPECT_EQ(event_log::kListEventsPerHour + 2, entries.size());

    // An hour on, the list's share is there again, and each report counts what it held back.
    entries.clear();
    fakeNow += 60ULL * 60 * 1000;
    reportAll();
    ASSERT_EQ(event_log::kListEventsPerHour, entries.size());
    EXPECT_EQ(L"m0.exe", entries[0].strings[0]);
    EXPECT_EQ(L"1", entries[0].strings.back()) << "the repeat after the list came back";
}

TEST(EventMessagesTest, TheExecutableCarriesEachMessageAsOneLineWithItsInserts)
{
    const HMODULE executable = LoadLibraryExW(QUORBEL_DIST_DIR L"\\QuorbelService.exe", nullptr,
                                              LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, executable) << GetLastError();
    struct Message {
        DWORD id;
        std::vector<const wchar_t*> inserts;
        const wchar_t* fragment;
    };
    const Message messages[] = {
        {MSG_SERVICE_STARTED, {}, L"started"},
        {MSG_SERVICE_STOPPED, {}, L"stopped"},
        {MSG_PROGRAM_START_FAILED,
         {L"agent.exe", L"C:\\T\\agent.exe", L"PC7\\kim", L"S-1-5-21-1", L"2", L"5", L"Denied",
          L"0"},
         L"agent.exe could not be started from C:\\T\\agent.exe for PC7\\kim (S-1-5-21-1) in "
         L"session 2: error 5, Denied. Repeats not reported since the last report: 0."},
        {MSG_PROGRAM_EXITED,
         {L"agent.exe", L"C:\\T\\agent.exe", L"PC7\\kim", L"S-1", L"2", L"3", L"12", L"4"},
         L"exit code 3 after running for 12 seconds. Repeats not reported since the last report: 4"},
        {MSG_PROGRAM_BACKING_OFF,
         {L"agent.exe", L"C:\\T\\agent.exe", L"PC7\\kim", L"S-1", L"2", L"5", L"60", L"0"},
         L"ended 5 times soon after its start; it is started again in 60 seconds"},
        {MSG_PROGRAM_NOT_FOUND,
         {L"agent.exe", L"C:\\T\\agent.exe", L"PC7\\kim", L"S-1", L"2", L"the file does not exist",
          L"0"},
         L"agent.exe cannot be found at C:\\T\\agent.exe for PC7\\kim (S-1) in session 2: the file "
         L"does not exist."},
        {MSG_PROGRAM_NOT_RESPONDING,
         {L"kiosk.exe", L"C:\\T\\kiosk.exe", L"PC7\\kim", L"S-1", L"2", L"31", L"0",
          L"port 8080 refused for 31 s"},
         L"kiosk.exe (C:\\T\\kiosk.exe) of PC7\\kim (S-1) in session 2 was not responding for 31 "
         L"seconds (port 8080 refused for 31 s); it was ended and is started again."},
        {MSG_GUARD_HELD, {L"QuorbelService", L"S-1-5-21-1"},
         L"QuorbelService, which keeps a second copy of the service from running, is held by "
         L"another process (owner S-1-5-21-1)"},
        {MSG_COMMAND_FAILED, {L"svc install", L"QuorbelService is installed already"},
         L"The command QuorbelService svc install failed: QuorbelService is installed already"},
    };
    for (const Message& m : messages) {
        std::vector<DWORD_PTR> arguments;
        for (const wchar_t* insert : m.inserts) {
            arguments.push_back(reinterpret_cast<DWORD_PTR>(insert));
        }
        wchar_t text[1024] = {};
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, executable, m.id, 0x409,
            text, 1024,
            arguments.empty() ? nullptr : reinterpret_cast<va_list*>(arguments.data()));
        ASSERT_NE(0u, length) << "message 0x" << std::hex << m.id << " error " << GetLastError();
        std::wstring line(text);
        EXPECT_NE(std::wstring::npos, line.find(m.fragment)) << Utf8(line);
        EXPECT_EQ(line.size() - 2, line.find(L"\r\n")) << "one line: " << Utf8(line);
    }
    FreeLibrary(executable);
}

}  // namespace
