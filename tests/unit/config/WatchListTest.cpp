// The watch list in the real place, HKCU\Software\QUORBEL\QuorbelService. Every test works on
// entries of its own and leaves the key as it found it.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "ConfigTestSupport.h"
#include "config/CQuorbelServiceHelper.h"

using namespace config_test;

namespace {

const std::wstring kQuorbelKey = L"Software\\QUORBEL";
const std::wstring kBaseKey = L"Software\\QUORBEL\\QuorbelService";
const std::wstring kEntryPrefix = L"QuorbelTest";

// A Status value as it may be found in the registry.
struct StatusValue {
    enum Kind { Missing, Text, Dword, MultiString };
    Kind kind;
    const wchar_t* text;
    DWORD number;

    std::string Label() const
    {
        switch (kind) {
        case Missing:
            return "missing";
        case Dword:
            return "REG_DWORD " + std::to_string(number);
        case MultiString:
            return "REG_MULTI_SZ " + Shown(text);
        default:
            return "REG_SZ " + Shown(text);
        }
    }
};

StatusValue TextStatus(const wchar_t* text)
{
    return {StatusValue::Text, text, 0};
}

const StatusValue kMissingStatus{StatusValue::Missing, L"", 0};

class WatchListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        quorbelKeyExisted = KeyExists(HKEY_CURRENT_USER, kQuorbelKey);
        baseKeyExisted = KeyExists(HKEY_CURRENT_USER, kBaseKey);
        RemoveOwnEntries();
        for (const std::wstring& name : SubKeys(HKEY_CURRENT_USER, kBaseKey)) {
            foreignStatus[name] = ReadRaw(HKEY_CURRENT_USER, EntryKey(name), L"Status");
        }
        savedInterval = ReadRaw(HKEY_CURRENT_USER, kBaseKey, L"Interval");
    }

    void TearDown() override
    {
        RemoveOwnEntries();
        if (!baseKeyExisted) {
            DeleteTree(HKEY_CURRENT_USER, kBaseKey);
        } else {
            for (const auto& entry : foreignStatus) {
                WriteRaw(HKEY_CURRENT_USER, EntryKey(entry.first), L"Status", entry.second);
            }
            WriteRaw(HKEY_CURRENT_USER, kBaseKey, L"Interval", savedInterval);
        }
        if (!quorbelKeyExisted) {
            DeleteTree(HKEY_CURRENT_USER, kQuorbelKey);
        }
    }

    static std::wstring EntryKey(const std::wstring& name) { return kBaseKey + L"\\" + name; }

    static std::wstring StatusOf(const std::wstring& name)
    {
        return ReadStringOrState(HKEY_CURRENT_USER, EntryKey(name), L"Status");
    }

    static void PutEntry(const std::wstring& name, const StatusValue& status)
    {
        DeleteTree(HKEY_CURRENT_USER, EntryKey(name));
        WriteString(HKEY_CURRENT_USER, EntryKey(name), L"Path", L"C:\\Tools\\" + name);
        switch (status.kind) {
        case StatusValue::Text:
            WriteString(HKEY_CURRENT_USER, EntryKey(name), L"Status", status.text);
            break;
        case StatusValue::Dword:
            WriteDword(HKEY_CURRENT_USER, EntryKey(name), L"Status", status.number);
            break;
        case StatusValue::MultiString:
            WriteMultiString(HKEY_CURRENT_USER, EntryKey(name), L"Status", {std::wstring(status.text)});
            break;
        case StatusValue::Missing:
            break;
        }
    }

    // Our own entries, in the order in which the platform enumerates them.
    static std::vector<std::wstring> OwnNames(const std::vector<std::wstring>& names)
    {
        std::vector<std::wstring> own;
        for (const std::wstring& name : names) {
            if (name.compare(0, kEntryPrefix.size(), kEntryPrefix) == 0) {
                own.push_back(name);
            }
        }
        return own;
    }

    static void RemoveOwnEntries()
    {
        for (const std::wstring& name : OwnNames(SubKeys(HKEY_CURRENT_USER, kBaseKey))) {
            DeleteTree(HKEY_CURRENT_USER, EntryKey(name));
        }
    }

    bool quorbelKeyExisted = false;
    bool baseKeyExisted = false;
    std::map<std::wstring, RawValue> foreignStatus;
    RawValue savedInterval;
};

TEST_F(WatchListTest, AddCreatesAnActiveEntryAndReplacesItsPath)
{
    const std::wstring name = L"QuorbelTestAgent.exe";
    CQuorbelServiceHelper::AddList(name.c_str(), L"C:\\Tools\\agent.exe");
    EXPECT_EQ(ReadStringOrState(HKEY_CURRENT_USER, EntryKey(name), L"Path"), L"C:\\Tools\\agent.exe");
    EXPECT_EQ(StatusOf(name), L"1");

    CQuorbelServiceHelper::PauseList(name.c_str());
    ASSERT_EQ(StatusOf(name), L"0");
    // Registry key names ignore case: this is the same entry, which keeps its first spelling.
    CQuorbelServiceHelper::AddList(L"QUORBELTESTAGENT.EXE", L"D:\\Other\\agent.exe");
    EXPECT_EQ(ReadStringOrState(HKEY_CURRENT_USER, EntryKey(name), L"Path"), L"D:\\Other\\agent.exe");
    EXPECT_EQ(StatusOf(name), L"1") << "adding again makes a paused entry active";
    const std::vector<std::wstring> own = OwnNames(SubKeys(HKEY_CURRENT_USER, kBaseKey));
    EXPECT_EQ(own, std::vector<std::wstring>{name});
}

TEST_F(WatchListTest, PauseWritesZeroOnlyFromAStatusReadingOne)
{
    struct Case {
        StatusValue before;
        const wchar_t* after;
    };
    const Case cases[] = {
        {TextStatus(L"1"), L"0"},       {TextStatus(L"01"), L"0"},
        {TextStatus(L"0"), L"0"},       {TextStatus(L"2"), L"2"},
        {TextStatus(L"-1"), L"-1"},     {TextStatus(L"abc"), L"abc"},
        {TextStatus(L""), L""},         {kMissingStatus, L"<absent>"},
        {{StatusValue::Dword, L"", 1}, L"<type 4>"},
        {{StatusValue::MultiString, L"1", 0}, L"<type 7>"},
    };
    const std::wstring name = L"QuorbelTestPause.exe";
    for (const Case& c : cases) {
        PutEntry(name, c.before);
        CQuorbelServiceHelper::PauseList(name.c_str());
        EXPECT_EQ(StatusOf(name), c.after) << "from " << c.before.Label();
    }
}

TEST_F(WatchListTest, RestartWritesOneOnlyFromAStatusReadingZero)
{
    struct Case {
        StatusValue before;
        const wchar_t* after;
    };
    const Case cases[] = {
        {TextStatus(L"0"), L"1"},       {TextStatus(L"00"), L"1"},
        {TextStatus(L"-0"), L"1"},      {TextStatus(L"-"), L"1"},
        {TextStatus(L"1"), L"1"},       {TextStatus(L"2"), L"2"},
        {TextStatus(L"abc"), L"abc"},   {TextStatus(L""), L""},
        {kMissingStatus, L"<absent>"},  {{StatusValue::Dword, L"", 0}, L"<type 4>"},
    };
    const std::wstring name = L"QuorbelTestRestart.exe";
    for (const Case& c : cases) {
        PutEntry(name, c.before);
        CQuorbelServiceHelper::RestartList(name.c_str());
        EXPECT_EQ(StatusOf(name), c.after) << "from " << c.before.Label();
    }
}

TEST_F(WatchListTest, PauseAndRestartOfAMissingEntryCreateNothing)
{
    const std::wstring name = L"QuorbelTestMissing.exe";
    const TraceTail trace;
    CQuorbelServiceHelper::PauseList(name.c_str());
    CQuorbelServiceHelper::RestartList(name.c_str());
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, EntryKey(name)));
    if (TraceIsOn()) {
        const std::wstring lines = trace.NewText();
        EXPECT_EQ(CountOccurrences(lines, L"\r\n"), 6) << Shown(lines);
        EXPECT_EQ(CountOccurrences(lines, L"<ERROR> RegOpenKeyEx(GetLastError:2)\r\n"), 2)
            << Shown(lines);
        for (const wchar_t* function : {L"PauseList(", L"RestartList("}) {
            const std::wstring qualified = std::wstring(L"CQuorbelServiceHelper::") + function;
            EXPECT_EQ(CountOccurrences(lines, qualified), 2) << Shown(lines);
        }
    }
}

TEST_F(WatchListTest, RemoveDeletesTheEntryInEveryState)
{
    const std::wstring name = L"QuorbelTestRemove.exe";
    for (const StatusValue& status :
         {TextStatus(L"1"), TextStatus(L"0"), TextStatus(L"abc"), kMissingStatus}) {
        PutEntry(name, status);
        CQuorbelServiceHelper::RemoveList(name.c_str());
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, EntryKey(name))) << status.Label();
    }
}

TEST_F(WatchListTest, RemoveOfAMissingEntryTracesOnlyStartAndEnd)
{
    const TraceTail trace;
    CQuorbelServiceHelper::RemoveList(L"QuorbelTestNever.exe");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, EntryKey(L"QuorbelTestNever.exe")));
    if (TraceIsOn()) {
        const std::wstring lines = trace.NewText();
        EXPECT_EQ(CountOccurrences(lines, L"\r\n"), 2) << Shown(lines);
        EXPECT_EQ(CountOccurrences(lines, L" :  Start\r\n"), 1) << Shown(lines);
        EXPECT_EQ(CountOccurrences(lines, L" :  End\r\n"), 1) << Shown(lines);
        EXPECT_EQ(CountOccurrences(lines, L"CQuorbelServiceHelper::RemoveList("), 2) << Shown(lines);
    }
}

TEST_F(WatchListTest, RestartAllListMakesEveryPausedEntryActive)
{
    PutEntry(L"QuorbelTestPausedA.exe", TextStatus(L"0"));
    PutEntry(L"QuorbelTestPausedB.exe", TextStatus(L"-"));
    PutEntry(L"QuorbelTestActive.exe", TextStatus(L"1"));
    PutEntry(L"QuorbelTestOdd.exe", TextStatus(L"abc"));
    CQuorbelServiceHelper::RestartAllList();
    EXPECT_EQ(StatusOf(L"QuorbelTestPausedA.exe"), L"1");
    EXPECT_EQ(StatusOf(L"QuorbelTestPausedB.exe"), L"1");
    EXPECT_EQ(StatusOf(L"QuorbelTestActive.exe"), L"1");
    EXPECT_EQ(StatusOf(L"QuorbelTestOdd.exe"), L"abc");
}

TEST_F(WatchListTest, RestartAllListWithoutAWatchListDoesNothing)
{
    if (baseKeyExisted) {
        GTEST_SKIP() << "this prefix already holds a watch list";
    }
    const TraceTail trace;
    CQuorbelServiceHelper::RestartAllList();
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kBaseKey));
    if (TraceIsOn()) {
        EXPECT_EQ(trace.NewText(), L"") << Shown(trace.NewText());
    }
}

TEST_F(WatchListTest, AllListNamesEveryEntry)
{
    CQuorbelServiceHelper::AddList(L"QuorbelTestOne.exe", L"C:\\one.exe");
    CQuorbelServiceHelper::AddList(L"QuorbelTestTwo.exe", L"C:\\two.exe");
    const std::vector<std::wstring> all = Names(CQuorbelServiceHelper::GetAllList());
    EXPECT_EQ(all, SubKeys(HKEY_CURRENT_USER, kBaseKey));
    EXPECT_EQ(OwnNames(all).size(), 2u);
}

TEST_F(WatchListTest, ActiveListLeavesOutOnlyEntriesWhoseStatusReadsZero)
{
    const std::wstring sid = CurrentUserSidByName();
    ASSERT_FALSE(sid.empty());
    struct Case {
        const wchar_t* name;
        StatusValue status;
        bool listed;
    };
    const Case cases[] = {
        {L"QuorbelTestS1.exe", TextStatus(L"1"), true},
        {L"QuorbelTestS2.exe", TextStatus(L"2"), true},
        {L"QuorbelTestSMinus1.exe", TextStatus(L"-1"), true},
        {L"QuorbelTestSAbc.exe", TextStatus(L"abc"), true},
        {L"QuorbelTestSEmpty.exe", TextStatus(L""), true},
        {L"QuorbelTestSMissing.exe", kMissingStatus, true},
        {L"QuorbelTestSDword.exe", {StatusValue::Dword, L"", 0}, true},
        {L"QuorbelTestSMulti.exe", {StatusValue::MultiString, L"0", 0}, true},
        {L"QuorbelTestS0.exe", TextStatus(L"0"), false},
        {L"QuorbelTestS00.exe", TextStatus(L"00"), false},
    };
    for (const Case& c : cases) {
        PutEntry(c.name, c.status);
    }
    std::vector<std::wstring> expected;
    for (const std::wstring& name : OwnNames(SubKeys(HKEY_CURRENT_USER, kBaseKey))) {
        const auto found = std::find_if(std::begin(cases), std::end(cases),
                                        [&](const Case& c) { return name == c.name; });
        if (found != std::end(cases) && found->listed) {
            expected.push_back(name);
        }
    }
    const std::vector<std::wstring> active =
        OwnNames(Names(CQuorbelServiceHelper::GetActiveList(sid.c_str())));
    EXPECT_EQ(active, expected);
}

TEST_F(WatchListTest, PathAndIntervalAreReadThroughTheUsersHive)
{
    const std::wstring sid = CurrentUserSidByName();
    ASSERT_FALSE(sid.empty());
    CQuorbelServiceHelper::AddList(L"QuorbelTestPath.exe", L"C:\\Program Files\\Tool\\tool.exe");
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetListPath(sid.c_str(), L"QuorbelTestPath.exe")),
              L"C:\\Program Files\\Tool\\tool.exe");
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetListPath(sid.c_str(), L"QuorbelTestGone.exe")), L"");

    WriteString(HKEY_CURRENT_USER, kBaseKey, L"Interval", L"2500");
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetInterval(sid.c_str())), L"2500");
    WriteDword(HKEY_CURRENT_USER, kBaseKey, L"Interval", 2500);
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetInterval(sid.c_str())), L"")
        << "a REG_DWORD Interval reads as empty text";
    WriteRaw(HKEY_CURRENT_USER, kBaseKey, L"Interval", RawValue{});
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetInterval(sid.c_str())), L"");
}

TEST_F(WatchListTest, AnEmptySidFindsNoWatchList)
{
    CQuorbelServiceHelper::AddList(L"QuorbelTestNoSid.exe", L"C:\\nosid.exe");
    WriteString(HKEY_CURRENT_USER, kBaseKey, L"Interval", L"2500");
    const TraceTail trace;
    EXPECT_EQ(CQuorbelServiceHelper::GetActiveList(L"").GetCount(), 0);
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetInterval(L"")), L"");
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetListPath(L"", L"QuorbelTestNoSid.exe")), L"");
    if (TraceIsOn()) {
        // The enumeration is silent; the two value reads trace their failed open.
        const std::wstring lines = trace.NewText();
        EXPECT_EQ(CountOccurrences(lines, L"CRegHelper::GetValueType("), 2) << Shown(lines);
        EXPECT_EQ(CountOccurrences(lines, L"\r\n"), 2) << Shown(lines);
    }
}

}  // namespace
