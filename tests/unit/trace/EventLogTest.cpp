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

TEST_F(EventLogTest, EachReportIsOneEntryOfItsTypeWithItsInserts)
{
    ReportServiceStarted();
    ReportServiceStopped();
    ReportProgramStartFailed(L"agent.exe", L"C:\\Tools\\agent.exe", ERROR_FILE_NOT_FOUND);
    ReportProgramExited(L"agent.exe", 0xC0000005, 12);
    ReportProgramExited(L"agent.exe", 0, 30);  // a clean end is no warning
    ReportProgramBackingOff(L"agent.exe", 5, 60);
    ReportProgramBackingOff(L"forged\r\nline.exe", 1, 1);

    ASSERT_EQ(6u, entries.size());
    EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, entries[0].type);
    EXPECT_EQ(MSG_SERVICE_STARTED, entries[0].id);
    EXPECT_EQ(MSG_SERVICE_STOPPED, entries[1].id);
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, entries[2].type);
    EXPECT_EQ(MSG_PROGRAM_START_FAILED, entries[2].id);
    ASSERT_EQ(3u, entries[2].strings.size());
    EXPECT_EQ(L"agent.exe", entries[2].strings[0]);
    EXPECT_EQ(L"C:\\Tools\\agent.exe", entries[2].strings[1]);
    EXPECT_EQ(0u, entries[2].strings[2].find(L"error 2: ")) << Utf8(entries[2].strings[2]);
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, entries[3].type);
    EXPECT_EQ(MSG_PROGRAM_EXITED, entries[3].id);
    EXPECT_EQ((std::vector<std::wstring>{L"agent.exe", L"3221225477 (0xC0000005)", L"12"}),
              entries[3].strings);
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, entries[4].type);
    EXPECT_EQ(MSG_PROGRAM_BACKING_OFF, entries[4].id);
    EXPECT_EQ((std::vector<std::wstring>{L"agent.exe", L"5", L"60"}), entries[4].strings);
    EXPECT_EQ(L"forged<U+000D><U+000A>line.exe", entries[5].strings[0]) << "shown as list shows it";
}

TEST_F(EventLogTest, TheSameStartFailureOfAProgramIsReportedOnceAnHour)
{
    ReportProgramStartFailed(L"agent.exe", L"C:\\a\\agent.exe", ERROR_FILE_NOT_FOUND);
    ReportProgramStartFailed(L"AGENT.EXE", L"C:\\a\\agent.exe", ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(1u, entries.size()) << "a repeat within the hour";

    ReportProgramStartFailed(L"agent.exe", L"C:\\a\\agent.exe", ERROR_ACCESS_DENIED);
    ReportProgramStartFailed(L"other.exe", L"C:\\a\\other.exe", ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(3u, entries.size()) << "another error, another program";

    fakeNow += 60ULL * 60 * 1000;
    ReportProgramStartFailed(L"agent.exe", L"C:\\a\\agent.exe", ERROR_ACCESS_DENIED);
    EXPECT_EQ(4u, entries.size()) << "an hour later";
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
        {MSG_PROGRAM_START_FAILED, {L"agent.exe", L"C:\\T\\agent.exe", L"error 2"},
         L"watched program agent.exe could not be started from C:\\T\\agent.exe: error 2"},
        {MSG_PROGRAM_EXITED, {L"agent.exe", L"3", L"12"}, L"exit code 3 after running for 12"},
        {MSG_PROGRAM_BACKING_OFF, {L"agent.exe", L"5", L"60"}, L"ended 5 times"},
        {MSG_GUARD_HELD, {L"QuorbelService", L"S-1-5-21-1"},
         L"QuorbelService, which keeps a second copy of the service from running, is held by "
         L"another process (owner S-1-5-21-1)"},
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
