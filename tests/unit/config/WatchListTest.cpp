// The watch list in its real place, HKCU\Software\QUORBEL\QuorbelService. The tests need the
// place empty and remove what they made there.

#include <gtest/gtest.h>

#include <atomic>

#include "ConfigTestSupport.h"
#include "TestSupport.h"
#include "config/CActiveListMonitor.h"
#include "config/CQuorbelServiceHelper.h"
#include "config/CRegHelper.h"
#include "config/HangTimeout.h"
#include "config/MachinePolicy.h"
#include "config/WatchListView.h"

using namespace config_test;

namespace {

const std::wstring kQuorbelKey = L"Software\\QUORBEL";
const std::wstring kBaseKey = L"Software\\QUORBEL\\QuorbelService";

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
        if (KeyExists(HKEY_CURRENT_USER, kBaseKey)) {
            GTEST_SKIP() << "this prefix already holds a watch list";
        }
        quorbelKeyExisted = KeyExists(HKEY_CURRENT_USER, kQuorbelKey);
        ownsWatchList = true;
    }

    void TearDown() override
    {
        if (ownsWatchList) {
            DeleteTree(HKEY_CURRENT_USER, quorbelKeyExisted ? kBaseKey : kQuorbelKey);
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
        if (status.kind == StatusValue::Text) {
            WriteString(HKEY_CURRENT_USER, EntryKey(name), L"Status", status.text);
        } else if (status.kind == StatusValue::Dword) {
            WriteDword(HKEY_CURRENT_USER, EntryKey(name), L"Status", status.number);
        } else if (status.kind == StatusValue::MultiString) {
            const std::wstring data = status.text + std::wstring(2, L'\0');
            WriteBytes(HKEY_CURRENT_USER, EntryKey(name), L"Status", REG_MULTI_SZ, data.data(),
                       data.size() * sizeof(wchar_t));
        }
    }

    bool quorbelKeyExisted = false;
    bool ownsWatchList = false;
};

TEST_F(WatchListTest, AddCreatesAnActiveEntryAndReplacesItsPath)
{
    const std::wstring name = L"agent.exe";
    CQuorbelServiceHelper::AddList(L"agent.exe", L"C:\\Tools\\agent.exe");
    EXPECT_EQ(ReadStringOrState(HKEY_CURRENT_USER, EntryKey(name), L"Path"),
              L"C:\\Tools\\agent.exe");
    EXPECT_EQ(StatusOf(name), L"1");

    CQuorbelServiceHelper::PauseList(L"agent.exe");
    ASSERT_EQ(StatusOf(name), L"0");
    // Registry key names ignore case: this is the same entry, which keeps its first spelling.
    CQuorbelServiceHelper::AddList(L"AGENT.EXE", L"D:\\Other\\agent.exe");
    EXPECT_EQ(ReadStringOrState(HKEY_CURRENT_USER, EntryKey(name), L"Path"),
              L"D:\\Other\\agent.exe");
    EXPECT_EQ(StatusOf(name), L"1") << "adding again makes a paused entry active";
    EXPECT_EQ(SubKeys(HKEY_CURRENT_USER, kBaseKey), std::vector<std::wstring>{name});
}

// Pause and restart, each from every kind of Status; what a missing entry gives is the command
// line's test.
TEST_F(WatchListTest, PauseAndRestartSwitchOnlyAStatusReadingTheOtherStateAndSayWhatTheyDid)
{
    using R = WatchListResult;
    const struct {
        bool pause;
        StatusValue before;
        const wchar_t* after;
        WatchListResult result;
    } cases[] = {
        {true, TextStatus(L"1"), L"0", R::kDone},
        {true, TextStatus(L"01"), L"0", R::kDone},
        {true, TextStatus(L"0"), L"0", R::kAlreadySo},
        {true, TextStatus(L"2"), L"2", R::kStatusUnreadable},
        {true, TextStatus(L"-1"), L"-1", R::kStatusUnreadable},
        {true, TextStatus(L"abc"), L"abc", R::kStatusUnreadable},
        {true, TextStatus(L""), L"", R::kStatusUnreadable},
        {true, kMissingStatus, L"<absent>", R::kStatusUnreadable},
        {true, {StatusValue::Dword, L"", 1}, L"<type 4>", R::kStatusUnreadable},
        {true, {StatusValue::MultiString, L"1", 0}, L"<type 7>", R::kStatusUnreadable},
        {false, TextStatus(L"0"), L"1", R::kDone},
        {false, TextStatus(L"00"), L"1", R::kDone},
        {false, TextStatus(L"-0"), L"1", R::kDone},
        {false, TextStatus(L"-"), L"1", R::kDone},
        {false, TextStatus(L"1"), L"1", R::kAlreadySo},
        {false, TextStatus(L"2"), L"2", R::kStatusUnreadable},
        {false, TextStatus(L"abc"), L"abc", R::kStatusUnreadable},
        {false, TextStatus(L""), L"", R::kStatusUnreadable},
        {false, kMissingStatus, L"<absent>", R::kStatusUnreadable},
        {false, {StatusValue::Dword, L"", 0}, L"<type 4>", R::kStatusUnreadable},
    };
    for (const auto& c : cases) {
        PutEntry(L"agent.exe", c.before);
        const WatchListResult result = c.pause ? CQuorbelServiceHelper::PauseList(L"agent.exe")
                                               : CQuorbelServiceHelper::RestartList(L"agent.exe");
        const std::string label = (c.pause ? "pause from " : "restart from ") + c.before.Label();
        EXPECT_EQ(StatusOf(L"agent.exe"), c.after) << label;
        EXPECT_EQ(static_cast<int>(c.result), static_cast<int>(result)) << label;
    }
}

TEST_F(WatchListTest, RemoveDeletesTheEntryInEveryStateAndIgnoresAMissingOne)
{
    for (const StatusValue& status :
         {TextStatus(L"1"), TextStatus(L"0"), TextStatus(L"abc"), kMissingStatus}) {
        PutEntry(L"remove.exe", status);
        CQuorbelServiceHelper::RemoveList(L"remove.exe");
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, EntryKey(L"remove.exe"))) << status.Label();
    }
    const TraceCapture trace;
    CQuorbelServiceHelper::RemoveList(L"remove.exe");
    const std::wstring lines = trace.Text();
    EXPECT_EQ(Occurrences(lines, L"\r\n"), 2) << Shown(lines);
    EXPECT_EQ(Occurrences(lines, L"CQuorbelServiceHelper::RemoveList("), 2)
        << Shown(lines);
    EXPECT_EQ(Occurrences(lines, L" :  Start\r\n"), 1) << Shown(lines);
    EXPECT_EQ(Occurrences(lines, L" :  End\r\n"), 1) << Shown(lines);
}

TEST_F(WatchListTest, RestartAllListMakesEveryPausedEntryActive)
{
    {
        const TraceCapture trace;
        CQuorbelServiceHelper::RestartAllList();
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kBaseKey)) << "without a watch list";
        EXPECT_EQ(trace.Text(), L"") << Shown(trace.Text());
    }
    PutEntry(L"pausedA.exe", TextStatus(L"0"));
    PutEntry(L"pausedB.exe", TextStatus(L"-"));
    PutEntry(L"active.exe", TextStatus(L"1"));
    PutEntry(L"odd.exe", TextStatus(L"abc"));
    CQuorbelServiceHelper::RestartAllList();
    EXPECT_EQ(StatusOf(L"pausedA.exe"), L"1");
    EXPECT_EQ(StatusOf(L"pausedB.exe"), L"1");
    EXPECT_EQ(StatusOf(L"active.exe"), L"1");
    EXPECT_EQ(StatusOf(L"odd.exe"), L"abc");
}

TEST_F(WatchListTest, ActiveListLeavesOutOnlyEntriesWhoseStatusReadsZero)
{
    const std::wstring sid = CurrentUserSidByName();
    ASSERT_FALSE(sid.empty());
    const struct {
        const wchar_t* name;
        StatusValue status;
        bool listed;
    } cases[] = {
        {L"s1.exe", TextStatus(L"1"), true},
        {L"s2.exe", TextStatus(L"2"), true},
        {L"sMinus1.exe", TextStatus(L"-1"), true},
        {L"sAbc.exe", TextStatus(L"abc"), true},
        {L"sEmpty.exe", TextStatus(L""), true},
        {L"sMissing.exe", kMissingStatus, true},
        {L"sDword.exe", {StatusValue::Dword, L"", 0}, true},
        {L"sMulti.exe", {StatusValue::MultiString, L"0", 0}, true},
        {L"s0.exe", TextStatus(L"0"), false},
        {L"s00.exe", TextStatus(L"00"), false},
    };
    for (const auto& c : cases) {
        PutEntry(c.name, c.status);
    }
    std::vector<std::wstring> expected;
    for (const std::wstring& name : SubKeys(HKEY_CURRENT_USER, kBaseKey)) {
        for (const auto& c : cases) {
            if (name == c.name && c.listed) {
                expected.push_back(name);
            }
        }
    }
    EXPECT_EQ(Names(CQuorbelServiceHelper::GetActiveList(W(sid))), expected);
    EXPECT_EQ(Names(CQuorbelServiceHelper::GetAllList()), SubKeys(HKEY_CURRENT_USER, kBaseKey));
}

TEST_F(WatchListTest, PathAndIntervalAreReadThroughTheUsersHive)
{
    const std::wstring sid = CurrentUserSidByName();
    ASSERT_FALSE(sid.empty());
    CQuorbelServiceHelper::AddList(L"tool.exe", L"C:\\Program Files\\Tool\\tool.exe");
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetListPath(W(sid), L"tool.exe")),
              L"C:\\Program Files\\Tool\\tool.exe");
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetListPath(W(sid), L"gone.exe")), L"");

    EXPECT_EQ(Text(CQuorbelServiceHelper::GetInterval(W(sid))), L"");
    WriteString(HKEY_CURRENT_USER, kBaseKey, L"Interval", L"2500");
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetInterval(W(sid))), L"2500");
    WriteDword(HKEY_CURRENT_USER, kBaseKey, L"Interval", 2500);
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetInterval(W(sid))), L"2500")
        << "a REG_DWORD Interval reads as its decimal text";
}

TEST_F(WatchListTest, HangTimeoutIsReadAsDwordOrDigitsWithinItsBoundsAndOffOtherwise)
{
    const std::wstring sid = CurrentUserSidByName();
    ASSERT_FALSE(sid.empty());
    CQuorbelServiceHelper::AddList(L"kiosk.exe", L"C:\\Kiosk\\kiosk.exe");
    const std::wstring entryKey = kBaseKey + L"\\kiosk.exe";
    EXPECT_EQ(0u, hang_timeout::ForEntry(W(sid), L"kiosk.exe")) << "absent";
    struct Case {
        const wchar_t* text;  // nullptr: the DWORD below
        DWORD number;
        DWORD seconds;
    } const cases[] = {
        {nullptr, 30, 30},     {nullptr, 0, 0},         {nullptr, 2, 5},
        {nullptr, 7200, 3600}, {L"45", 0, 45},          {L"0", 0, 0},
        {L"3", 0, 5},          {L"99999999999", 0, 3600}, {L"30s", 0, 0},
        {L"-5", 0, 0},         {L"", 0, 0},
    };
    for (const Case& c : cases) {
        if (c.text != nullptr) {
            WriteString(HKEY_CURRENT_USER, entryKey, hang_timeout::kValueName, c.text);
        } else {
            WriteDword(HKEY_CURRENT_USER, entryKey, hang_timeout::kValueName, c.number);
        }
        const std::wstring shown = c.text != nullptr ? c.text : std::to_wstring(c.number);
        EXPECT_EQ(c.seconds, hang_timeout::ForEntry(W(sid), L"kiosk.exe")) << Shown(shown);
        EXPECT_EQ(c.seconds, hang_timeout::ForUserEntry(L"kiosk.exe")) << Shown(shown);
    }
    WriteString(HKEY_CURRENT_USER, entryKey, hang_timeout::kValueName, L"30", REG_MULTI_SZ);
    EXPECT_EQ(0u, hang_timeout::ForEntry(W(sid), L"kiosk.exe")) << "a REG_MULTI_SZ is no timeout";
}

TEST_F(WatchListTest, AnEmptySidFindsNoWatchList)
{
    CQuorbelServiceHelper::AddList(L"nosid.exe", L"C:\\nosid.exe");
    WriteString(HKEY_CURRENT_USER, kBaseKey, L"Interval", L"2500");
    const TraceCapture trace;
    EXPECT_EQ(CQuorbelServiceHelper::GetActiveList(L"").GetCount(), 0);
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetInterval(L"")), L"");
    EXPECT_EQ(Text(CQuorbelServiceHelper::GetListPath(L"", L"nosid.exe")), L"");
    // The enumeration is silent; the two value reads trace their failed open.
    const std::wstring lines = trace.Text();
    EXPECT_EQ(Occurrences(lines, L"\r\n"), 2) << Shown(lines);
    EXPECT_EQ(Occurrences(lines, L"CRegHelper::GetValueType("), 2) << Shown(lines);
}

TEST_F(WatchListTest, MonitoredActiveListFollowsEveryEditAtTheNextRead)
{
    const std::wstring sid = CurrentUserSidByName();
    ASSERT_FALSE(sid.empty());
    std::atomic<int> wakes{0};
    CActiveListMonitor monitor([&] { ++wakes; });
    // No base key yet: the list is read every time, and its first edit wakes the reader and
    // counts as a change, so that the first entry's settings are taken at once.
    EXPECT_EQ(monitor.GetActiveList(W(sid)).GetCount(), 0);
    EXPECT_EQ(monitor.GetActiveList(W(sid)).GetCount(), 0);
    const unsigned changesBefore = monitor.ChangeCount();
    CQuorbelServiceHelper::AddList(L"one.exe", L"C:\\one.exe");
    EXPECT_TRUE(testing_support::WaitUntil([&] { return wakes > 0; }, 5000)) << "no wake";
    EXPECT_EQ(Names(monitor.GetActiveList(W(sid))), std::vector<std::wstring>{L"one.exe"});
    EXPECT_EQ(monitor.ChangeCount(), changesBefore + 1);
    EXPECT_EQ(Names(monitor.GetActiveList(W(sid))), std::vector<std::wstring>{L"one.exe"});
    EXPECT_EQ(monitor.ChangeCount(), changesBefore + 1);

    // An edit of the watched list calls the callback the monitor was made with.
    const int wakesBefore = wakes;
    CQuorbelServiceHelper::AddList(L"two.exe", L"C:\\two.exe");
    EXPECT_TRUE(testing_support::WaitUntil([&] { return wakes > wakesBefore; }, 5000))
        << "wakes: " << wakes;
    CQuorbelServiceHelper::PauseList(L"one.exe");
    EXPECT_EQ(Names(monitor.GetActiveList(W(sid))), std::vector<std::wstring>{L"two.exe"});
    CQuorbelServiceHelper::RestartList(L"one.exe");
    EXPECT_EQ(Names(monitor.GetActiveList(W(sid))),
              Names(CQuorbelServiceHelper::GetActiveList(W(sid))));
    EXPECT_EQ(monitor.GetActiveList(W(sid)).GetCount(), 2);

    // The watched key itself goes and comes back.
    DeleteTree(HKEY_CURRENT_USER, kBaseKey);
    EXPECT_EQ(monitor.GetActiveList(W(sid)).GetCount(), 0);
    CQuorbelServiceHelper::AddList(L"three.exe", L"C:\\three.exe");
    EXPECT_EQ(Names(monitor.GetActiveList(W(sid))), std::vector<std::wstring>{L"three.exe"});
    CQuorbelServiceHelper::RemoveList(L"three.exe");
    EXPECT_EQ(monitor.GetActiveList(W(sid)).GetCount(), 0);
}

}  // namespace

// ---- edits that fail or race ---------------------------------------------------------------------

namespace {

// The registry write behind the seam: fails the first write of one value, or deletes the key
// it writes into first, as a remove from another process would.
const wchar_t* failingValue = nullptr;
LONG failingStatus = ERROR_SUCCESS;
bool deleteKeyFirst = false;

LONG WINAPI ScriptedSetValue(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                             const BYTE* data, DWORD byteCount)
{
    if (failingValue != nullptr && lstrcmpiW(valueName, failingValue) == 0) {
        failingValue = nullptr;
        return failingStatus;
    }
    if (deleteKeyFirst) {
        deleteKeyFirst = false;
        RegDeleteKeyExW(HKEY_CURRENT_USER, (kBaseKey + L"\\agent.exe").c_str(), KEY_WOW64_64KEY, 0);
    }
    return RegSetValueExW(key, valueName, reserved, type, data, byteCount);
}

class WatchListFailureTest : public WatchListTest {
protected:
    void SetUp() override
    {
        WatchListTest::SetUp();
        registry_seam::setValue = &ScriptedSetValue;
    }
    void TearDown() override
    {
        registry_seam::setValue = ::RegSetValueExW;
        failingValue = nullptr;
        deleteKeyFirst = false;
        WatchListTest::TearDown();
    }
};

}  // namespace

TEST_F(WatchListFailureTest, PauseOrRestartOfAnEntryRemovedMeanwhileLeavesNoKeyAndIsNoSuchEntry)
{
    for (const bool pause : {true, false}) {
        PutEntry(L"agent.exe", TextStatus(pause ? L"1" : L"0"));
        deleteKeyFirst = true;

        const WatchListResult result = pause ? CQuorbelServiceHelper::PauseList(L"agent.exe")
                                             : CQuorbelServiceHelper::RestartList(L"agent.exe");

        EXPECT_EQ(WatchListResult::kNoSuchEntry, result) << (pause ? "pause" : "restart");
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, EntryKey(L"agent.exe")))
            << "a ghost entry was left behind";
    }
}

TEST_F(WatchListFailureTest, AFailedAddLeavesANewEntryOutAndAnOldOneAsItWas)
{
    const TraceCapture trace;
    failingValue = L"Status";
    failingStatus = ERROR_ACCESS_DENIED;
    WatchListEdit edit;
    EXPECT_EQ(WatchListResult::kFailed,
              CQuorbelServiceHelper::AddList(L"agent.exe", L"C:\\T\\agent.exe", L"-x", &edit));
    EXPECT_EQ(ERROR_ACCESS_DENIED, edit.error);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, EntryKey(L"agent.exe"))) << "half an entry is left";
    EXPECT_NE(std::wstring::npos, trace.Text().find(L"RegSetValueEx Status failed (error 5)"))
        << Shown(trace.Text());

    // An existing entry, paused and without arguments, keeps all of that.
    PutEntry(L"agent.exe", TextStatus(L"0"));
    failingValue = L"Status";
    EXPECT_EQ(WatchListResult::kFailed,
              CQuorbelServiceHelper::AddList(L"agent.exe", L"D:\\New\\agent.exe", L"-y", &edit));
    EXPECT_EQ(L"C:\\Tools\\agent.exe", ReadStringOrState(HKEY_CURRENT_USER, EntryKey(L"agent.exe"), L"Path"));
    EXPECT_EQ(L"<absent>",
              ReadStringOrState(HKEY_CURRENT_USER, EntryKey(L"agent.exe"), L"Arguments"));
    EXPECT_EQ(L"0", StatusOf(L"agent.exe"));

    // ... and its hang timeout, when the add that failed set another.
    WriteString(HKEY_CURRENT_USER, EntryKey(L"agent.exe"), L"HangTimeout", L"40");
    failingValue = L"Status";
    EXPECT_EQ(WatchListResult::kFailed,
              CQuorbelServiceHelper::AddList(L"agent.exe", L"D:\\New\\agent.exe", L"", &edit, 9));
    EXPECT_EQ(L"40", ReadStringOrState(HKEY_CURRENT_USER, EntryKey(L"agent.exe"), L"HangTimeout"));
}

TEST_F(WatchListTest, ReAddTellsThePreviousValuesAndKeepsTheDirectoryUnlessGivenOne)
{
    PutEntry(L"agent.exe", TextStatus(L"0"));
    WriteString(HKEY_CURRENT_USER, EntryKey(L"agent.exe"), L"Directory", L"C:\\Work");
    WriteString(HKEY_CURRENT_USER, EntryKey(L"agent.exe"), L"Arguments", L"--old");

    WatchListEdit edit;
    EXPECT_EQ(WatchListResult::kDone,
              CQuorbelServiceHelper::AddList(L"agent.exe", L"D:\\New\\agent.exe", L"", &edit));
    EXPECT_TRUE(edit.replaced);
    EXPECT_EQ(L"C:\\Tools\\agent.exe", Text(edit.previousPath));
    EXPECT_EQ(L"C:\\Work", Text(edit.previousDirectory));
    EXPECT_EQ(L"--old", Text(edit.previousArguments));
    EXPECT_EQ(L"C:\\Work", ReadStringOrState(HKEY_CURRENT_USER, EntryKey(L"agent.exe"), L"Directory"));
    EXPECT_EQ(L"<absent>",
              ReadStringOrState(HKEY_CURRENT_USER, EntryKey(L"agent.exe"), L"Arguments"));
    const std::wstring sid = CurrentUserSidByName();
    EXPECT_EQ(L"C:\\Work", Text(CQuorbelServiceHelper::GetListDirectory(W(sid), L"agent.exe")));
    EXPECT_EQ(L"", Text(CQuorbelServiceHelper::GetListArguments(W(sid), L"agent.exe")));

    EXPECT_EQ(WatchListResult::kDone,
              CQuorbelServiceHelper::AddList(L"agent.exe", L"D:\\New\\agent.exe", L"", nullptr,
                                             CQuorbelServiceHelper::kKeepHangTimeout,
                                             L"D:\\Data"));
    EXPECT_EQ(L"D:\\Data", Text(CQuorbelServiceHelper::GetUserListDirectory(L"agent.exe")));
}

TEST_F(WatchListTest, PolicyProgramsComeFirstAndWinOverTheUsersEntryOfTheirName)
{
    PutEntry(L"Kiosk.exe", TextStatus(L"0"));
    PutEntry(L"mine.exe", TextStatus(L"1"));
    WriteString(HKEY_CURRENT_USER, EntryKey(L"mine.exe"), L"Directory", L"C:\\Work");
    const ScratchKey policyKey(L"MergedPolicy");
    WriteString(HKEY_CURRENT_USER, policyKey / L"Programs", L"kiosk.exe",
                L"\"C:\\Kiosk App\\kiosk.exe\" --full");
    MachinePolicy policy = machine_policy::ReadFrom(HKEY_CURRENT_USER, W(policyKey.Path()));

    const std::vector<WatchListEntry> merged = GetMergedList(policy);
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(Text(merged[0].name), L"kiosk.exe");
    EXPECT_EQ(merged[0].source, EntrySource::kPolicy);
    EXPECT_EQ(Text(merged[0].path), L"C:\\Kiosk App\\kiosk.exe");
    EXPECT_EQ(Text(merged[0].arguments), L"--full");
    EXPECT_TRUE(merged[0].IsActive()) << "the user's paused entry of that name does not count";
    EXPECT_EQ(Text(merged[1].name), L"mine.exe");
    EXPECT_EQ(merged[1].source, EntrySource::kUser);
    EXPECT_EQ(Text(merged[1].path), L"C:\\Tools\\mine.exe");
    EXPECT_EQ(Text(merged[1].directory), L"C:\\Work");
    EXPECT_EQ(std::wstring(EntrySourceName(merged[1].source)), L"user");

    policy.userListsWatched = false;
    const std::vector<WatchListEntry> policyOnly = GetMergedList(policy);
    ASSERT_EQ(policyOnly.size(), 1u);
    EXPECT_EQ(Text(policyOnly[0].name), L"kiosk.exe");
    policy.hasInterval = true;
    policy.intervalMs = 750;
    EXPECT_EQ(Text(EffectiveIntervalText(policy, L"5000")), L"750");
    EXPECT_EQ(Text(EffectiveIntervalText(MachinePolicy(), L"5000")), L"5000");
}
