#include <gtest/gtest.h>

#include "ConfigTestSupport.h"
#include "TestSupport.h"
#include "config/EntryStateStore.h"

using namespace config_test;

namespace {

// A SID no account here has, so the test never meets the state of a running service.
const std::wstring kSid = L"S-1-5-21-7-7-7-4242";
const std::wstring kSidKey = std::wstring(EntryStateStore::kStateKeyPath) + L"\\" + kSid;

class EntryStateStoreTest : public ::testing::Test {
protected:
    void SetUp() override { DeleteTree(HKEY_LOCAL_MACHINE, kSidKey); }
    void TearDown() override { DeleteTree(HKEY_LOCAL_MACHINE, kSidKey); }
};

// The 32-bit build under WOW64 and the 64-bit build share one state key, the one in the 64-bit
// view (which the helpers here open), and RemoveAll empties that one, not the redirected one.
TEST_F(EntryStateStoreTest, StatesLieInThe64BitViewAndRemoveAllClearsThemThere)
{
    EntryState state;
    state.processId = 1234;
    state.hasExit = true;
    state.exitCode = 3;
    ASSERT_TRUE(EntryStateStore::Write(W(kSid), L"first.exe", state));
    ASSERT_TRUE(EntryStateStore::Write(W(kSid), L"second.exe", EntryState()));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kSidKey + L"\\first.exe"));
    const auto [type, bytes] = ReadRaw(HKEY_LOCAL_MACHINE, kSidKey + L"\\first.exe", L"ProcessId");
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EntryState read;
    ASSERT_TRUE(EntryStateStore::Read(W(kSid), L"first.exe", read));
    EXPECT_TRUE(read == state) << "process " << read.processId << ", exit code " << read.exitCode;

    EntryStateStore::RemoveAll(W(kSid));

    EXPECT_FALSE(EntryStateStore::Read(W(kSid), L"first.exe", read));
    EXPECT_FALSE(EntryStateStore::Read(W(kSid), L"second.exe", read));
    const std::vector<std::wstring> left = SubKeys(HKEY_LOCAL_MACHINE, kSidKey);
    EXPECT_TRUE(left.empty()) << left.size() << " entries left, the first "
                              << testing_support::Utf8(left.empty() ? L"" : left[0]);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kSidKey));
    // Nothing to remove is no fault.
    EntryStateStore::RemoveAll(W(kSid));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kSidKey));
}

}  // namespace
