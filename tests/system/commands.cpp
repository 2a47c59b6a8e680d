// The command words of the real executable under Wine: what they leave in the user's watch list,
// in the service manager's database, among the running processes and in the trace log.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "JsonReader.h"
#include "ServiceControl.h"
#include "TestSupport.h"
#include "app/Version.h"
#include "common/ScopedHandle.h"
#include "service/CWindowService.h"

using namespace testing_support;

namespace {

constexpr const wchar_t* kBaseKeyPath = L"Software\\QUORBEL\\QuorbelService";
constexpr const wchar_t* kServiceName = L"QuorbelService";
constexpr DWORD kCommandTimeoutMs = 30000;
constexpr DWORD kSettleTimeoutMs = 20000;
constexpr const wchar_t* kEventSourceKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QuorbelService";

// The exit codes of the command line.
constexpr DWORD kExitUsage = 2;
constexpr DWORD kExitInvalidName = 3;
constexpr DWORD kExitNoSuchEntry = 4;
constexpr DWORD kExitFailed = 5;

// ---- the watch list in HKEY_CURRENT_USER --------------------------------------------------------

// Every key below the base key (the base key itself as "") with its values. REG_SZ data is kept
// as it is; a value of any other type shows as "<type N>".
using KeyValues = std::map<std::wstring, std::wstring>;
using RegistryState = std::map<std::wstring, KeyValues>;

void ReadKey(HKEY parent, const std::wstring& path, const std::wstring& relative,
             RegistryState& state)
{
    ScopedRegKey key;
    if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.Receive()) !=
        ERROR_SUCCESS) {
        return;
    }
    KeyValues& values = state[relative];
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        BYTE data[4096] = {};
        DWORD dataSize = sizeof(data) - sizeof(wchar_t);
        DWORD type = 0;
        if (RegEnumValueW(key.Get(), i, name, &nameLength, nullptr, &type, data, &dataSize) !=
            ERROR_SUCCESS) {
            break;
        }
        values[name] = type == REG_SZ ? std::wstring(reinterpret_cast<const wchar_t*>(data))
                                      : L"<type " + std::to_wstring(type) + L">";
    }
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key.Get(), i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        subkeys.emplace_back(name);
    }
    for (const std::wstring& subkey : subkeys) {
        const std::wstring subkeyRelative = relative.empty() ? subkey : relative + L"\\" + subkey;
        ReadKey(parent, path + L"\\" + subkey, subkeyRelative, state);
    }
}

RegistryState ReadWatchList()
{
    RegistryState state;
    ReadKey(HKEY_CURRENT_USER, kBaseKeyPath, L"", state);
    return state;
}

std::string Describe(const RegistryState& state)
{
    if (state.empty()) {
        return "{no base key}";
    }
    std::string text;
    for (const auto& key : state) {
        text += "\n  [" + Utf8(key.first) + "]";
        for (const auto& value : key.second) {
            text += " " + Utf8(value.first) + "=\"" + Utf8(value.second) + "\"";
        }
    }
    return text;
}

void SetEntryValue(const std::wstring& entry, const wchar_t* valueName, const std::wstring& data)
{
    ASSERT_TRUE(SetString(std::wstring(kBaseKeyPath) + L"\\" + entry, valueName, data));
}

// An entry as the add command leaves it; an empty status means no Status value.
void PresetEntry(const std::wstring& entry, const std::wstring& path, const std::wstring& status)
{
    SetEntryValue(entry, L"Path", path);
    if (!status.empty()) {
        SetEntryValue(entry, L"Status", status);
    }
}

void DeleteWatchList()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, kBaseKeyPath);
    RegDeleteKeyExW(HKEY_CURRENT_USER, kBaseKeyPath, KEY_WOW64_64KEY, 0);
    RegDeleteKeyExW(HKEY_CURRENT_USER, L"Software\\QUORBEL", KEY_WOW64_64KEY, 0);
}

// ---- the service manager ------------------------------------------------------------------------

ScopedServiceHandle OpenManager()
{
    return ScopedServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

ScopedServiceHandle OpenQuorbelService(const ScopedServiceHandle& manager)
{
    return ScopedServiceHandle(OpenServiceW(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
}

struct ServiceConfig {
    DWORD serviceType = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::wstring binaryPath;
    std::wstring account;
    std::wstring displayName;
};

bool QueryServiceConfig(ServiceConfig& config)
{
    const ScopedServiceHandle manager = OpenManager();
    const ScopedServiceHandle service = OpenQuorbelService(manager);
    if (!service) {
        return false;
    }
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* raw = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.Get(), raw, static_cast<DWORD>(buffer.size()), &needed)) {
        return false;
    }
    config.serviceType = raw->dwServiceType;
    config.startType = raw->dwStartType;
    config.errorControl = raw->dwErrorControl;
    config.binaryPath = raw->lpBinaryPathName ? raw->lpBinaryPathName : L"";
    config.account = raw->lpServiceStartName ? raw->lpServiceStartName : L"";
    config.displayName = raw->lpDisplayName ? raw->lpDisplayName : L"";
    return true;
}

// ---- the trace log ------------------------------------------------------------------------------

struct TraceLine {
    std::string function;
    std::wstring message;
};

// "(hh:mm:ss.mmm) function(line) :  message": the function name and the message of each line.
std::vector<TraceLine> ParseTrace(const std::wstring& text)
{
    std::vector<TraceLine> lines;
    for (const std::wstring& line : OutputLinesOf(text)) {
        const size_t separator = line.find(L" :  ");
        const size_t timeEnd = line.find(L") ");
        if (separator == std::wstring::npos || timeEnd == std::wstring::npos) {
            lines.push_back({"?", line});
            continue;
        }
        const std::wstring prefix = line.substr(timeEnd + 2, separator - timeEnd - 2);
        lines.push_back({Utf8(prefix.substr(0, prefix.rfind(L'('))), line.substr(separator + 4)});
    }
    return lines;
}

std::vector<TraceLine> FunctionLines(const std::vector<TraceLine>& lines, const std::string& name)
{
    std::vector<TraceLine> selected;
    for (const TraceLine& line : lines) {
        if (line.function == name) {
            selected.push_back(line);
        }
    }
    return selected;
}

std::vector<std::wstring> Messages(const std::vector<TraceLine>& lines)
{
    std::vector<std::wstring> messages;
    for (const TraceLine& line : lines) {
        messages.push_back(line.message);
    }
    return messages;
}

std::string Describe(const std::vector<TraceLine>& lines)
{
    std::string text;
    for (const TraceLine& line : lines) {
        text += "\n  " + line.function + " : " + Utf8(line.message);
    }
    return text.empty() ? "{no trace lines}" : text;
}

const std::vector<std::wstring> kStartupOnly = {L"Run QuorbelService"};

// ---- the fixture --------------------------------------------------------------------------------

// A copy of the executable with the trace switch beside it, in a fresh folder, and a clean
// watch list, service database and process list before and after every test.
class Commands : public ::testing::Test {
protected:
    Commands() : scratch_(L"commands"), exe_(scratch_ / L"QuorbelService.exe")
    {
        CopyInto(QUORBEL_DIST_DIR L"\\QuorbelService.exe", exe_);
        WriteTextFile(scratch_ / L"trace.txt");
    }

    void SetUp() override
    {
        ASSERT_TRUE(FileExists(exe_)) << Utf8(exe_);
        CleanUp();
    }

    void TearDown() override { CleanUp(); }

    static void CleanUp()
    {
        EXPECT_TRUE(RemoveService()) << "the test service could not be removed";
        DeleteWatchList();
        TerminateAllByName(L"QuorbelServiceManager.exe");
        TerminateAllByName(L"quorbelservicemanager.EXE");
        TerminateAllByName(L"agent.exe");
    }

    // Runs the executable with the arguments (a raw command-line tail), checks its exit code and
    // returns the trace lines of this run alone; Output() then holds what it printed.
    std::vector<TraceLine> Run(const std::wstring& arguments, DWORD expectedExitCode = 0)
    {
        return RunProgramAt(exe_, arguments, expectedExitCode);
    }

    // With a token, the program runs as that token says.
    std::vector<TraceLine> RunProgramAt(const std::wstring& program, const std::wstring& arguments,
                                        DWORD expectedExitCode = 0, HANDLE userToken = nullptr)
    {
        RemoveTree(scratch_ / L"Log");
        const CapturedRun result =
            RunProgramCapturingOutput(program, arguments, kCommandTimeoutMs, userToken);
        // Errors and warnings come before a result, so they are read first.
        output_ = Widened(result.errors + result.output);
        standardOutput_ = Widened(result.output);
        EXPECT_TRUE(result.started) << Utf8(program);
        EXPECT_TRUE(result.finished) << "'" << Utf8(arguments) << "' did not end";
        EXPECT_EQ(expectedExitCode, result.exitCode)
            << "'" << Utf8(arguments) << "' printed: " << result.errors << result.output;
        return ReadTrace();
    }

    // The lines the last run printed, without their line breaks.
    std::vector<std::wstring> OutputLines() const { return OutputLinesOf(output_); }
    std::wstring FirstOutputLine() const
    {
        const std::vector<std::wstring> lines = OutputLines();
        return lines.empty() ? std::wstring() : lines.front();
    }
    const std::wstring& Output() const { return output_; }
    // What the last run wrote to standard output alone.
    const std::wstring& StandardOutput() const { return standardOutput_; }

    // Every line in the log folder beside the copy, whichever process wrote it.
    std::vector<TraceLine> ReadTrace() const
    {
        return ParseTrace(ReadAllLogFiles(scratch_ / L"Log"));
    }

    // A second copy under another file name: its single-instance event has another name, so it
    // can give commands while the service, a process of the first copy, runs.
    std::wstring MakeControlCopy()
    {
        const std::wstring control = scratch_ / L"QuorbelCtl.exe";
        EXPECT_TRUE(CopyInto(exe_, control));
        return control;
    }

    // Starts a copy of the sleeper under the given file name in a folder of its own.
    HANDLE StartSleeperAs(const std::wstring& folder, const std::wstring& imageName)
    {
        const std::wstring directory = scratch_ / folder;
        CreateDirectoryW(directory.c_str(), nullptr);
        const std::wstring program = directory + L"\\" + imageName;
        EXPECT_TRUE(CopyInto(QUORBEL_TESTBIN_DIR L"\\fixture_sleeper.exe", program));
        const DWORD id = StartRecorded(program, kSettleTimeoutMs);
        EXPECT_NE(0u, id) << Utf8(program) << " did not start";
        sleepers_.emplace_back(id == 0 ? nullptr : OpenProcess(SYNCHRONIZE, FALSE, id));
        return sleepers_.back().Get();
    }

    // The registration this copy makes of itself: own interactive process, automatic start,
    // LocalSystem, the display name and "<exe>" service as its command.
    void ExpectOwnRegistration(const ServiceConfig& config) const
    {
        EXPECT_EQ(0x110u, config.serviceType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.startType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config.errorControl);
        EXPECT_EQ(L"LocalSystem", config.account) << Utf8(config.account);
        EXPECT_EQ(L"Quorbel Service Monitor", config.displayName) << Utf8(config.displayName);
        EXPECT_EQ(ServiceBinaryPath(), config.binaryPath) << Utf8(config.binaryPath);
    }

    const std::wstring& Exe() const { return exe_; }
    std::wstring ServiceBinaryPath() const { return L"\"" + exe_ + L"\" service"; }
    const ScratchDir& Scratch() const { return scratch_; }

private:
    ScratchDir scratch_;
    std::wstring exe_;
    std::wstring output_;
    std::wstring standardOutput_;
    std::vector<ScopedHandle> sleepers_;
};

KeyValues Entry(const std::wstring& path, const std::wstring& status)
{
    KeyValues values{{L"Path", path}};
    if (!status.empty()) {
        values[L"Status"] = status;
    }
    return values;
}

// The base key with no values and one entry below it.
RegistryState OnlyEntry(const std::wstring& entry, const std::wstring& path,
                        const std::wstring& status)
{
    return {{L"", {}}, {entry, Entry(path, status)}};
}

}  // namespace

// ---- watch-list commands ------------------------------------------------------------------------

TEST_F(Commands, AddCreatesAnActiveEntryNamedAfterTheProgramFile)
{
    const std::vector<TraceLine> trace = Run(L"add C:\\Tools\\agent.exe");

    const RegistryState expected = OnlyEntry(L"agent.exe", L"C:\\Tools\\agent.exe", L"1");
    const RegistryState actual = ReadWatchList();
    EXPECT_EQ(expected, actual) << Describe(actual);
    // No C:\Tools\agent.exe here: the entry is made all the same, since the service may see
    // a drive that this user does not, and a warning on standard error says so.
    EXPECT_EQ(std::vector<std::wstring>(
                  {L"warning: C:\\Tools\\agent.exe is not there as seen from here (it may be for "
                   L"the service)",
                   L"agent.exe added: C:\\Tools\\agent.exe (active)"}),
              OutputLines())
        << Utf8(Output());
    EXPECT_EQ(L"agent.exe added: C:\\Tools\\agent.exe (active)\r\n", StandardOutput());

    const std::vector<std::wstring> mainLines = {L"Run QuorbelService",
                                                 L"add service : C:\\Tools\\agent.exe"};
    EXPECT_EQ(mainLines, Messages(FunctionLines(trace, "main"))) << Describe(trace);
    const std::vector<std::wstring> addLines = {L"RunProcessAfterLogon C:\\Tools\\agent.exe"};
    EXPECT_EQ(addLines, Messages(FunctionLines(trace, "AddService"))) << Describe(trace);
}

TEST_F(Commands, AddRefusesAPathWithoutAFolderInsteadOfTakingItAsItsOwnEntryName)
{
    Run(L"add app.exe", kExitInvalidName);

    EXPECT_EQ(RegistryState(), ReadWatchList()) << Describe(ReadWatchList());
    EXPECT_NE(std::wstring::npos, FirstOutputLine().find(L"the path must be absolute"))
        << Utf8(Output());
}

TEST_F(Commands, TwoWordFormsTrimBothWordsAndMatchTheFirstBySuffix)
{
    Run(L"\" /add \" \" C:\\Tools\\agent.exe \"");

    const RegistryState expected = OnlyEntry(L"agent.exe", L"C:\\Tools\\agent.exe", L"1");
    const RegistryState actual = ReadWatchList();
    EXPECT_EQ(expected, actual) << Describe(actual);
}

TEST_F(Commands, EntryNamesThatAreNoFileNamesAreRefusedAndTheBaseKeyKeepsItsInterval)
{
    // An empty name, or one with a backslash, would address the base key itself (or a key
    // below another entry); a name over 255 characters cannot be a key name.
    SetEntryValue(L"", L"Interval", L"3000");
    const RegistryState before = ReadWatchList();
    const std::wstring longName = std::wstring(252, L'n') + L".exe";  // 256 characters

    for (const std::wstring& arguments :
         {std::wstring(L"add D:\\Tools\\"), std::wstring(L"add \"\""), std::wstring(L"remove \\"),
          std::wstring(L"pause \\"), std::wstring(L"restart a\\b.exe"),
          L"add C:\\T\\" + longName}) {
        const std::vector<TraceLine> trace = Run(arguments, kExitInvalidName);

        const RegistryState after = ReadWatchList();
        EXPECT_EQ(before, after) << Utf8(arguments) << Describe(after);
        const std::vector<TraceLine> refused = FunctionLines(trace, "main");
        ASSERT_EQ(2u, refused.size()) << Utf8(arguments) << Describe(trace);
        bool tracedError = false;
        for (const TraceLine& line : trace) {
            tracedError |= line.message.find(L"<ERROR> invalid entry name") == 0;
        }
        EXPECT_TRUE(tracedError) << Utf8(arguments) << Describe(trace);
        EXPECT_NE(std::wstring::npos, FirstOutputLine().find(L"valid entry name"))
            << Utf8(arguments) << ": " << Utf8(Output());
    }

    // 255 characters is the longest name a key can have, and it is taken.
    const std::wstring longest = longName.substr(1);
    Run(L"add C:\\T\\" + longest);
    RegistryState expected = before;
    expected[longest] = Entry(L"C:\\T\\" + longest, L"1");
    const RegistryState actual = ReadWatchList();
    EXPECT_EQ(expected, actual) << Describe(actual);
}

TEST_F(Commands, AddTakesUnicodeArgumentsAsTyped)
{
    // In the ANSI code page both names would come out as "??.exe", one entry.
    Run(L"add C:\\Tools\\\u7a0b\u5e8f.exe");
    EXPECT_NE(std::wstring::npos,
              StandardOutput().find(L"\u7a0b\u5e8f.exe added: C:\\Tools\\\u7a0b\u5e8f.exe (active)"))
        << Utf8(Output());
    Run(L"add C:\\Tools\\\u7a0b\u5f0f.exe");

    const RegistryState expected = {{L"", {}},
                                    {L"\u7a0b\u5e8f.exe", Entry(L"C:\\Tools\\\u7a0b\u5e8f.exe", L"1")},
                                    {L"\u7a0b\u5f0f.exe", Entry(L"C:\\Tools\\\u7a0b\u5f0f.exe", L"1")}};
    const RegistryState actual = ReadWatchList();
    EXPECT_EQ(expected, actual) << Describe(actual);
}

TEST_F(Commands, EntriesSetByPolicyAreRefusedAndTheUsersListIsLeftAsItWas)
{
    const wchar_t programs[] = L"SOFTWARE\\Policies\\QUORBEL\\QuorbelService\\Programs";
    const wchar_t commandLine[] = L"C:\\Kiosk\\kiosk.exe --full";
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, programs, L"kiosk.exe", REG_SZ, commandLine,
                              sizeof(commandLine)),
              ERROR_SUCCESS);
    Run(L"add C:\\Tools\\agent.exe");
    const RegistryState before = ReadWatchList();

    for (const std::wstring command : {L"pause kiosk.exe", L"restart KIOSK.EXE",
                                        L"remove kiosk.exe", L"add D:\\Other\\kiosk.exe"}) {
        Run(command, kExitInvalidName);
        EXPECT_NE(FirstOutputLine().find(L"is set by policy"), std::wstring::npos)
            << Utf8(command) << ": " << Utf8(FirstOutputLine());
    }
    EXPECT_EQ(Describe(before), Describe(ReadWatchList()));
    Run(L"pause agent.exe");  // the user's own entries are the user's

    // What the policy sets wrongly is shown where people look: a refused value under the
    // entries, an Interval as text read as a user's is, a hang timeout as the service uses it.
    const wchar_t relative[] = L"Programs\\rel.exe";
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, programs, L"rel.exe", REG_SZ, relative,
                              sizeof(relative)),
              ERROR_SUCCESS);
    const wchar_t interval[] = L"750";
    const DWORD hangTimeout = 2;
    const wchar_t policyKey[] = L"SOFTWARE\\Policies\\QUORBEL\\QuorbelService";
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, policyKey, L"Interval", REG_SZ, interval,
                              sizeof(interval)),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, policyKey, L"HangTimeout", REG_DWORD,
                              &hangTimeout, sizeof(hangTimeout)),
              ERROR_SUCCESS);
    Run(L"list");
    const std::vector<std::wstring> lines = OutputLines();
    ASSERT_EQ(5u, lines.size()) << Utf8(Output());
    EXPECT_NE(std::wstring::npos, lines[1].find(L"kiosk.exe  policy  not running; hang timeout 5 s"))
        << Utf8(lines[1]);
    EXPECT_EQ(L"policy value Programs\\rel.exe refused: the path is not absolute (X:\\... or "
              L"\\\\server\\share\\...)",
              lines[3]);
    EXPECT_EQ(L"Interval: 750 ms", lines[4]);
    Run(L"list --json");
    JsonValue document;
    std::string error;
    ASSERT_TRUE(ParseJson(Utf8(StandardOutput()), document, error)) << error;
    ASSERT_EQ(1u, document["policyRefused"].items.size()) << Utf8(Output());
    EXPECT_EQ(L"Programs\\rel.exe", document["policyRefused"].items[0]["value"].text);
    EXPECT_EQ(L"the path is not absolute (X:\\... or \\\\server\\share\\...)",
              document["policyRefused"].items[0]["reason"].text);
    EXPECT_EQ("750", document["intervalMs"].number);
    EXPECT_EQ("5", document["entries"].items.at(0)["hangTimeoutSeconds"].number);

    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\QUORBEL");
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\QUORBEL");
}

// Every Status an entry may hold is the watch list's unit test; here, what each kind of result
// answers with.
TEST_F(Commands, PauseAndRestartExitWithTheCodeOfWhatTheyDid)
{
    const struct {
        const wchar_t* words;
        const wchar_t* before;  // empty: no Status value
        const wchar_t* after;
        DWORD exitCode;
        const wchar_t* traced;  // main's line for the command
    } cases[] = {
        {L"pause agent.exe", L"1", L"0", 0, L"pause service : agent.exe"},
        {L"restart agent.exe", L"1", L"1", 0, L"restart service : agent.exe"},  // active already
        {L"pause agent.exe", L"", L"", kExitFailed, L"pause service : agent.exe"},
        {L"restart agent.exe", L"abc", L"abc", kExitFailed, L"restart service : agent.exe"},
    };
    for (const auto& c : cases) {
        PresetEntry(L"agent.exe", L"C:\\Tools\\agent.exe", c.before);

        const std::vector<TraceLine> trace = Run(c.words, c.exitCode);

        const RegistryState actual = ReadWatchList();
        EXPECT_EQ(OnlyEntry(L"agent.exe", L"C:\\Tools\\agent.exe", c.after), actual)
            << Utf8(c.words) << " from \"" << Utf8(c.before) << "\"" << Describe(actual);
        const std::vector<std::wstring> mainLines = {L"Run QuorbelService", c.traced};
        EXPECT_EQ(mainLines, Messages(FunctionLines(trace, "main"))) << Describe(trace);
        DeleteWatchList();
    }
}

TEST_F(Commands, PauseAndRestartOfAMissingEntryCreateNothing)
{
    PresetEntry(L"other.exe", L"C:\\Tools\\other.exe", L"1");
    const RegistryState before = ReadWatchList();

    Run(L"pause agent.exe", kExitNoSuchEntry);
    EXPECT_EQ(L"no entry named agent.exe", FirstOutputLine()) << Utf8(Output());
    Run(L"restart agent.exe", kExitNoSuchEntry);

    const RegistryState after = ReadWatchList();
    EXPECT_EQ(before, after) << Describe(after);
}

TEST_F(Commands, RemoveDeletesOnlyTheNamedEntryAndTakesTheNameAsTyped)
{
    PresetEntry(L"agent.exe", L"C:\\Tools\\agent.exe", L"1");
    PresetEntry(L"other.exe", L"C:\\Tools\\other.exe", L"0");

    // A path is not reduced to its file name: it is refused as an entry name.
    Run(L"remove C:\\Tools\\agent.exe", kExitInvalidName);
    RegistryState expected = {{L"", {}},
                              {L"agent.exe", Entry(L"C:\\Tools\\agent.exe", L"1")},
                              {L"other.exe", Entry(L"C:\\Tools\\other.exe", L"0")}};
    RegistryState actual = ReadWatchList();
    EXPECT_EQ(expected, actual) << Describe(actual);

    ASSERT_NE(nullptr, StartSleeperAs(L"a", L"agent.exe"));
    const std::vector<TraceLine> trace = Run(L"remove agent.exe");
    const std::wstring id = std::to_wstring(ProcessIdsByName(L"agent.exe").at(0));
    EXPECT_EQ(std::vector<std::wstring>({L"agent.exe removed",
                                         L"agent.exe still runs (process " + id +
                                             L") and is no longer watched: end it with taskkill "
                                             L"/pid " + id + L" if it is to stop"}),
              OutputLines());
    expected.erase(L"agent.exe");
    actual = ReadWatchList();
    EXPECT_EQ(expected, actual) << Describe(actual);
    const std::vector<std::wstring> mainLines = {L"Run QuorbelService",
                                                 L"remove service : agent.exe"};
    EXPECT_EQ(mainLines, Messages(FunctionLines(trace, "main"))) << Describe(trace);
}

TEST_F(Commands, RemoveOfAnEmptyNameKeepsTheBaseKeyAndItsSettings)
{
    // An empty name (also a blank one, after trimming) would address the base key itself.
    SetEntryValue(L"", L"Interval", L"3000");
    const RegistryState before = ReadWatchList();

    for (const wchar_t* arguments : {L"remove \"\"", L"remove \" \""}) {
        const std::vector<TraceLine> trace = Run(arguments, kExitInvalidName);

        const RegistryState after = ReadWatchList();
        EXPECT_EQ(before, after) << Utf8(arguments) << Describe(after);
        const std::vector<std::wstring> mainLines = {L"Run QuorbelService", L"remove service : "};
        EXPECT_EQ(mainLines, Messages(FunctionLines(trace, "main"))) << Describe(trace);
    }
}

// ---- the forms without a second word ------------------------------------------------------------

TEST_F(Commands, NoArgumentsMakeEveryPausedEntryActive)
{
    PresetEntry(L"agent.exe", L"C:\\Tools\\agent.exe", L"0");
    PresetEntry(L"other.exe", L"C:\\Tools\\other.exe", L"0");

    const std::vector<TraceLine> trace = Run(L"");

    const RegistryState expected = {{L"", {}},
                                    {L"agent.exe", Entry(L"C:\\Tools\\agent.exe", L"1")},
                                    {L"other.exe", Entry(L"C:\\Tools\\other.exe", L"1")}};
    const RegistryState actual = ReadWatchList();
    EXPECT_EQ(expected, actual) << Describe(actual);
    const std::vector<std::wstring> mainLines = {L"Run QuorbelService", L"arg count = 1"};
    EXPECT_EQ(mainLines, Messages(FunctionLines(trace, "main"))) << Describe(trace);
    // Not started by the service manager: the dispatcher is not entered.
    EXPECT_TRUE(FunctionLines(trace, "RunService").empty()) << Describe(trace);
}

TEST_F(Commands, ALoneServiceWordRunsTheServicePathWithoutRestartAll)
{
    PresetEntry(L"agent.exe", L"C:\\Tools\\agent.exe", L"0");
    const RegistryState before = ReadWatchList();

    // Each run waits out Wine's ten seconds for a dispatcher outside the service manager.
    for (const wchar_t* word : {L"service", L"/service"}) {
        const std::vector<TraceLine> trace = Run(word);

        const std::vector<std::wstring> mainLines = {L"Run QuorbelService", L"arg count = 2"};
        EXPECT_EQ(mainLines, Messages(FunctionLines(trace, "main")))
            << Utf8(word) << Describe(trace);
        const RegistryState after = ReadWatchList();
        EXPECT_EQ(before, after) << Utf8(word) << Describe(after);
    }
}

// ---- forms that do nothing ----------------------------------------------------------------------

TEST_F(Commands, UnmatchedFormsChangeNothingAndTraceOnlyTheStartUp)
{
    const wchar_t* const unmatched[] = {
        L"bogus",                       // one word that is no service word
        L"\"svc \"",                    // the lone word is not trimmed
        L"SVC install",                 // the first word's suffix test heeds letter case
        L"svc Install",                 // the second word must match exactly
        L"svc installs",
        L"svc bogus",
        L"bogus agent.exe",             // two words, the first matching nothing
        L"Pause agent.exe",
        L"remove agent.exe extra",      // four or more arguments, other than add
        L"svc install now",
        L"restart agent.exe a b c",
    };
    PresetEntry(L"agent.exe", L"C:\\Tools\\agent.exe", L"0");
    const RegistryState before = ReadWatchList();

    for (const wchar_t* arguments : unmatched) {
        const std::vector<TraceLine> trace = Run(arguments, kExitUsage);

        EXPECT_EQ(kStartupOnly, Messages(trace)) << Utf8(arguments) << Describe(trace);
        const RegistryState after = ReadWatchList();
        EXPECT_EQ(before, after) << Utf8(arguments) << Describe(after);
        EXPECT_FALSE(IsServiceRegistered()) << Utf8(arguments);
    }
}

// ---- service commands ---------------------------------------------------------------------------

TEST_F(Commands, InstallRegistersTheServiceAndItsEventSourceOnceAndUninstallRemovesBoth)
{
    const std::vector<TraceLine> trace = Run(L"svc install");

    ServiceConfig config;
    ASSERT_TRUE(QueryServiceConfig(config)) << "not registered, error " << GetLastError()
                                            << Describe(trace);
    ExpectOwnRegistration(config);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState()) << "install must not start it";
    const std::vector<std::wstring> mainLines = {L"Run QuorbelService", L"install service"};
    EXPECT_EQ(mainLines, Messages(FunctionLines(trace, "main"))) << Describe(trace);
    // The event source, and a description for the services console.
    wchar_t messageFile[MAX_PATH] = {};
    DWORD size = sizeof(messageFile);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, kEventSourceKey, L"EventMessageFile",
                                          RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                                          messageFile, &size));
    EXPECT_EQ(Exe(), std::wstring(messageFile));
    DWORD types = 0;
    size = sizeof(types);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, kEventSourceKey, L"TypesSupported",
                                          RRF_RT_REG_DWORD, nullptr, &types, &size));
    EXPECT_EQ(7u, types) << "information, warning and error";
    {
        const ScopedServiceHandle manager = OpenManager();
        const ScopedServiceHandle service = OpenQuorbelService(manager);
        std::vector<BYTE> buffer(4096);
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                                         static_cast<DWORD>(buffer.size()), &needed));
        const auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data());
        ASSERT_NE(nullptr, description->lpDescription);
        EXPECT_NE(std::wstring::npos, std::wstring(description->lpDescription).find(L"watch list"))
            << Utf8(description->lpDescription);
    }

    // A second install, from another place, leaves the registration as it was.
    const std::wstring otherDirectory = Scratch() / L"other";
    CreateDirectoryW(otherDirectory.c_str(), nullptr);
    const std::wstring otherExe = otherDirectory + L"\\QuorbelService.exe";
    ASSERT_TRUE(CopyInto(Exe(), otherExe));
    RunProgramAt(otherExe, L"service install", kExitFailed);
    EXPECT_EQ(L"QuorbelService is installed already; its registration was left as it is",
              FirstOutputLine());
    ServiceConfig again;
    ASSERT_TRUE(QueryServiceConfig(again));
    EXPECT_EQ(ServiceBinaryPath(), again.binaryPath) << Utf8(again.binaryPath);

    // What a service published; the uninstall of a stopped service takes it with the key.
    {
        ScopedRegKey published;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                  L"SOFTWARE\\QUORBEL\\QuorbelService\\State\\S-1-5-21-9", 0,
                                  nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                  nullptr, published.Receive(), nullptr));
        const DWORD probe = 1;
        RegSetValueExW(published.Get(), L"probe", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&probe), sizeof(probe));
    }
    const std::vector<TraceLine> uninstall = Run(L"svc uninstall");
    EXPECT_TRUE(WaitUntil([] { return !IsServiceRegistered(); }, kSettleTimeoutMs))
        << "still registered after uninstall";
    ScopedRegKey machineKey;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QUORBEL\\QuorbelService", 0,
                            KEY_READ | KEY_WOW64_64KEY, machineKey.Receive()),
              ERROR_SUCCESS);
    const std::vector<std::wstring> uninstallLines = {L"Run QuorbelService", L"uninstall service"};
    EXPECT_EQ(uninstallLines, Messages(FunctionLines(uninstall, "main"))) << Describe(uninstall);
    ScopedRegKey source;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_READ,
                                                  source.Receive()));
}

TEST_F(Commands, StartRegistersAMissingServiceAfterMakingPausedEntriesActive)
{
    PresetEntry(L"agent.exe", L"C:\\Tools\\agent.exe", L"0");

    // Under Wine the service process shares this command's session and finds the command's
    // single-instance event held: that is reported, and the service runs all the same.
    const std::vector<TraceLine> trace = Run(L"svc start");
    EXPECT_EQ(L"QuorbelService installed and started", FirstOutputLine()) << Utf8(Output());

    ServiceConfig config;
    ASSERT_TRUE(QueryServiceConfig(config)) << "not registered" << Describe(trace);
    ExpectOwnRegistration(config);

    const RegistryState expected = OnlyEntry(L"agent.exe", L"C:\\Tools\\agent.exe", L"1");
    const RegistryState actual = ReadWatchList();
    EXPECT_EQ(expected, actual) << Describe(actual);
    const std::vector<std::wstring> mainLines = {L"Run QuorbelService", L"start service"};
    const std::vector<std::wstring> main = Messages(FunctionLines(trace, "main"));
    ASSERT_GE(main.size(), mainLines.size()) << Describe(trace);
    EXPECT_EQ(mainLines, std::vector<std::wstring>(main.begin(), main.begin() + 2))
        << Describe(trace);

    // The manager did start the registered command line: that process writes its own start-up
    // line into the same log, and the guard it found held.
    EXPECT_TRUE(WaitUntil(
        [&] {
            const std::vector<std::wstring> all = Messages(FunctionLines(ReadTrace(), "main"));
            return std::count(all.begin(), all.end(), L"Run QuorbelService") == 2 &&
                   std::any_of(all.begin(), all.end(), [](const std::wstring& message) {
                       return message.find(L"<ERROR> Duplicate Process: QuorbelService is held by "
                                           L"another process") == 0;
                   });
        },
        kSettleTimeoutMs))
        << "the service process never started" << Describe(ReadTrace());
}

TEST_F(Commands, StopOfARunningServiceReturnsOnlyOnceItHasStopped)
{
    Run(L"svc install");
    {
        const ScopedServiceHandle manager = OpenManager();
        const ScopedServiceHandle service = OpenQuorbelService(manager);
        ASSERT_TRUE(service) << "not registered";
        ASSERT_TRUE(StartServiceW(service.Get(), 0, nullptr)) << "error " << GetLastError();
    }
    ASSERT_TRUE(WaitUntil([] { return ServiceState() == SERVICE_RUNNING; }, kSettleTimeoutMs, 100))
        << "state " << ServiceState() << Describe(ReadTrace());
    const HANDLE companion = StartSleeperAs(L"a", L"QuorbelServiceManager.exe");
    ASSERT_NE(nullptr, companion);

    // The words that only tell answer from the console twin under the service's own name while
    // the service runs in this session; a word that writes is still turned away.
    const std::wstring twin = Scratch() / L"QuorbelService.com";
    ASSERT_TRUE(CopyInto(QUORBEL_DIST_DIR L"\\QuorbelService.com", twin));
    for (const wchar_t* word : {L"list", L"check", L"version", L"help add", L"svc status"}) {
        RunProgramAt(twin, word);
        EXPECT_EQ(std::wstring::npos, Output().find(L"another QuorbelService")) << Utf8(word);
    }
    EXPECT_EQ(L"QuorbelService: running; binary path: " + ServiceBinaryPath(), FirstOutputLine())
        << Utf8(Output());
    RunProgramAt(twin, L"add C:\\Tools\\agent.exe", 6);
    EXPECT_EQ(L"another QuorbelService runs in this session already; nothing was done",
              FirstOutputLine());
    // check fails on a program the policy meant to set and the service does not have.
    const wchar_t programs[] = L"SOFTWARE\\Policies\\QUORBEL\\QuorbelService\\Programs";
    const wchar_t relative[] = L"Programs\\rel.exe";
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, programs, L"rel.exe", REG_SZ, relative,
                              sizeof(relative)),
              ERROR_SUCCESS);
    RunProgramAt(twin, L"check", 1);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\QUORBEL");
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\QUORBEL");
    EXPECT_EQ(0u, FirstOutputLine().find(L"policy value Programs\\rel.exe refused: ")) << Utf8(Output());

    // A plain process that holds the control copy's event is no instance of it: the stop goes on,
    // and says so.
    const std::wstring control = MakeControlCopy();
    const ScopedHandle squatter(CreateEventW(nullptr, FALSE, TRUE, L"QuorbelCtl"));
    ASSERT_TRUE(squatter);
    const std::vector<TraceLine> trace = RunProgramAt(control, L"svc stop");
    EXPECT_EQ(L"warning: the event QuorbelCtl that keeps two of these tools apart is held by a "
              L"process that is not QuorbelCtl (no other QuorbelCtl runs in this session), so it "
              L"guards nothing; going on",
              FirstOutputLine());

    // No waiting here: the command itself waits for the stopped state.
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState()) << Describe(trace);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(companion, kSettleTimeoutMs)) << Describe(trace);
    EXPECT_TRUE(IsServiceRegistered()) << "stop must not remove the service";
}

TEST_F(Commands, StopEndsEveryCompanionManagerInAnyLetterCase)
{
    const HANDLE manager = StartSleeperAs(L"a", L"QuorbelServiceManager.exe");
    const HANDLE otherCase = StartSleeperAs(L"b", L"quorbelservicemanager.EXE");
    ASSERT_TRUE(manager && otherCase);

    const std::vector<TraceLine> trace = Run(L"svc stop", kExitFailed);

    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manager, kSettleTimeoutMs)) << Describe(trace);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(otherCase, kSettleTimeoutMs)) << Describe(trace);
    const std::vector<std::wstring> mainLines = {L"Run QuorbelService", L"stop service"};
    EXPECT_EQ(mainLines, Messages(FunctionLines(trace, "main"))) << Describe(trace);
    std::vector<std::wstring> found = Messages(FunctionLines(trace, "CWinHelper::KillProcess"));
    std::sort(found.begin(), found.end());
    const std::vector<std::wstring> expectedFound = {L"Process Found = QuorbelServiceManager.exe",
                                                     L"Process Found = quorbelservicemanager.EXE"};
    EXPECT_EQ(expectedFound, found) << Describe(trace);
}

TEST_F(Commands, PauseOfTheServiceLeavesTheCompanionManagerRunning)
{
    const HANDLE manager = StartSleeperAs(L"a", L"QuorbelServiceManager.exe");
    ASSERT_NE(nullptr, manager);

    const std::vector<TraceLine> trace = Run(L"svc pause", kExitFailed);

    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(manager, 0))
        << "the manager was terminated" << Describe(trace);
    const std::vector<std::wstring> mainLines = {L"Run QuorbelService",
                                                 L"stop service by ServiceManager"};
    EXPECT_EQ(mainLines, Messages(FunctionLines(trace, "main"))) << Describe(trace);
    EXPECT_TRUE(FunctionLines(trace, "CWinHelper::KillProcess").empty()) << Describe(trace);
}

// ---- answers on standard output -----------------------------------------------------------------

TEST_F(Commands, EachKindOfFailureHasItsOwnExitCodeAndAnswer)
{
    struct Case {
        const wchar_t* arguments;
        DWORD exitCode;
        const wchar_t* answer;
    };
    const Case cases[] = {
        {L"bogus agent.exe", kExitUsage,
         L"\"bogus\" is no command word; QuorbelService help lists them"},
        {L"remove \\", kExitInvalidName,
         L"invalid entry name \"\\\": an entry name is a file name of 1 to 255 characters "
         L"without a backslash"},
        {L"remove nosuch.exe", kExitNoSuchEntry, L"no entry named nosuch.exe"},
        {L"svc uninstall", kExitFailed, L"QuorbelService is not installed"},
        {L"relaunch agent.exe", kExitUsage,
         L"relaunch closes the program's windows, which only the console tool does: run "
         L"QuorbelService.com relaunch agent.exe"},
    };
    for (const Case& c : cases) {
        Run(c.arguments, c.exitCode);
        EXPECT_EQ(c.answer, FirstOutputLine()) << Utf8(c.arguments) << ": " << Utf8(Output());
        // Errors go to standard error: a script reading standard output gets nothing.
        EXPECT_EQ(L"", StandardOutput()) << Utf8(c.arguments);
    }

    // A usage error names what was not understood, then gives the usage of that word, or of the
    // word nearest to a word that is none; never the whole text.
    const struct {
        const wchar_t* arguments;
        const wchar_t* named;
        const wchar_t* usage;  // the line after "Usage:"
    } usage[] = {
        {L"Pause agent.exe", L"\"Pause\" is no command word; the nearest is pause",
         L"  QuorbelService pause <entry>     leave the program alone until the next logon or "
         L"svc start"},
        {L"lsit", L"\"lsit\" is no command word; the nearest is list",
         L"  QuorbelService list [-v | --json]"},
        {L"remove agent.exe extra", L"remove: \"extra\" was not understood",
         L"  QuorbelService remove <entry>    take it off the watch list"},
        {L"svc bogus", L"svc: \"bogus\" was not understood",
         L"  QuorbelService svc install       register the service"},
        {L"svc install now", L"svc install: \"now\" was not understood",
         L"  QuorbelService svc install       register the service"},
        {L"pause", L"pause: the entry name is missing",
         L"  QuorbelService pause <entry>     leave the program alone until the next logon or "
         L"svc start"},
    };
    for (const auto& c : usage) {
        Run(c.arguments, kExitUsage);
        const std::vector<std::wstring> lines = OutputLines();
        ASSERT_GE(lines.size(), 3u) << Utf8(c.arguments) << ": " << Utf8(Output());
        EXPECT_EQ(c.named, lines[0]) << Utf8(c.arguments);
        EXPECT_EQ(L"Usage:", lines[1]) << Utf8(c.arguments);
        EXPECT_EQ(c.usage, lines[2]) << Utf8(c.arguments);
        EXPECT_EQ(std::wstring::npos, Output().find(L"Exit codes:")) << Utf8(c.arguments);
        EXPECT_EQ(L"", StandardOutput()) << Utf8(c.arguments);
    }
}

// A help word alone prints the whole usage after the program's summary; after another word, that
// word's usage; a lone svc word, the svc words' usage as a usage error. None runs anything.
TEST_F(Commands, HelpWordsPrintTheUsageOfWhatTheyFollowAndChangeNothing)
{
    const wchar_t* const svcInstall = L"  QuorbelService svc install       register the service";
    struct Case {
        const wchar_t* arguments;
        const wchar_t* usageLine;  // the line after "Usage:"
        bool whole;                // the usage of every word, the version among them
        DWORD exitCode;
    };
    const Case cases[] = {
        {L"help", svcInstall, true, 0},
        {L"/?", svcInstall, true, 0},
        {L"-h", svcInstall, true, 0},
        {L"--help", svcInstall, true, 0},
        {L"svc", svcInstall, false, kExitUsage},
        {L"-svc", svcInstall, false, kExitUsage},
        {L"add --help",
         L"  QuorbelService add [--dir <folder>] [--hang-timeout SECONDS] <path> [arguments...]",
         false, 0},
        {L"add help",
         L"  QuorbelService add [--dir <folder>] [--hang-timeout SECONDS] <path> [arguments...]",
         false, 0},
        {L"pause -h", L"  QuorbelService pause <entry>     leave the program alone until the next "
                      L"logon or svc start", false, 0},
        {L"remove /?", L"  QuorbelService remove <entry>    take it off the watch list", false, 0},
        {L"list --help", L"  QuorbelService list [-v | --json]", false, 0},
        {L"svc --help", svcInstall, false, 0},
        {L"svc uninstall help", L"  QuorbelService svc uninstall     remove the service", false, 0},
        {L"service start -h", L"  QuorbelService svc start         make paused entries active, "
                              L"start the service", false, 0},
        {L"help restart", L"  QuorbelService restart <entry>   make a paused entry active (a running "
                          L"program keeps running)", false, 0},
        {L"help svc stop", L"  QuorbelService svc stop          stop the service and "
                           L"QuorbelServiceManager.exe", false, 0},
        {L"--version -h", L"  QuorbelService version           QuorbelService " QUORBEL_VERSION_TEXT_W,
         false, 0},
    };
    PresetEntry(L"agent.exe", L"C:\\Tools\\agent.exe", L"1");
    const RegistryState before = ReadWatchList();
    for (const Case& c : cases) {
        const std::vector<TraceLine> trace = Run(c.arguments, c.exitCode);

        const std::vector<std::wstring> lines = OutputLines();
        const auto usage = std::find(lines.begin(), lines.end(), L"Usage:");
        ASSERT_TRUE(usage - lines.begin() == (c.whole ? 1 : 0) && lines.end() - usage >= 2)
            << Utf8(c.arguments) << ": " << Utf8(Output());
        EXPECT_EQ(c.usageLine, *(usage + 1)) << Utf8(c.arguments);
        EXPECT_EQ(c.whole, Output().find(L"  QuorbelService add ") != std::wstring::npos &&
                               Output().find(L"QuorbelService " QUORBEL_VERSION_TEXT_W) !=
                                   std::wstring::npos)
            << Utf8(c.arguments) << ": " << Utf8(Output());
        EXPECT_EQ(kStartupOnly, Messages(trace)) << Utf8(c.arguments) << Describe(trace);
        EXPECT_EQ(before, ReadWatchList()) << Utf8(c.arguments);
        EXPECT_FALSE(IsServiceRegistered()) << Utf8(c.arguments);
    }
}

TEST_F(Commands, ListShowsEachEntryItsStateWhetherItRunsAndThePathThenTheInterval)
{
    PresetEntry(L"agent.exe", L"C:\\Tools\\agent.exe", L"1");
    PresetEntry(L"other.exe", L"C:\\Tools\\other.exe", L"0");
    ASSERT_NE(nullptr, StartSleeperAs(L"a", L"agent.exe"));

    Run(L"list");
    const std::vector<std::wstring> expected = {
        L"QuorbelService: not installed",
        L"agent.exe  active  running, pid " + std::to_wstring(ProcessIdsByName(L"agent.exe").at(0)),
        L"other.exe  paused  not running  C:\\Tools\\other.exe",
        L"Interval: 5000 ms (default)",
    };
    const std::vector<std::wstring> lines = OutputLines();
    ASSERT_EQ(expected.size(), lines.size()) << Utf8(Output());
    EXPECT_EQ(expected[0], lines[0]);
    // The process's own age, from its creation time.
    EXPECT_EQ(0u, lines[1].find(expected[1] + L", up ")) << Utf8(lines[1]);
    EXPECT_NE(std::wstring::npos, lines[1].find(L"  C:\\Tools\\agent.exe")) << Utf8(lines[1]);
    EXPECT_EQ(0u, lines[2].find(L"other.exe  paused  not running ")) << Utf8(lines[2]);
    EXPECT_EQ(expected[3], lines[3]);

    Run(L"svc install");
    const struct {
        const wchar_t* interval;
        const wchar_t* line;
    } intervals[] = {
        {L"750", L"Interval: 750 ms"},
        {L"5s", L"Interval: 5000 ms (set to \"5s\", which is no number of milliseconds)"},
        {L"100", L"Interval: 500 ms (set to 100, kept within 500 ms .. 86400000 ms)"},
    };
    for (const auto& interval : intervals) {
        SetEntryValue(L"", L"Interval", interval.interval);
        Run(L"list");
        EXPECT_EQ(L"QuorbelService: stopped", FirstOutputLine());
        EXPECT_EQ(interval.line, OutputLines().back()) << Utf8(Output());
    }
}

TEST_F(Commands, ListJsonIsOneAsciiDocumentWithEveryFieldAndVerboseListShowsTheSame)
{
    PresetEntry(L"\u7a0b\u5e8f.exe", L"C:\\T\\\u7a0b\u5e8f.exe", L"1");
    SetEntryValue(L"\u7a0b\u5e8f.exe", L"Arguments", L"--a \"b c\"");
    SetEntryValue(L"\u7a0b\u5e8f.exe", L"Directory", L"C:\\Work");
    PresetEntry(L"other.exe", L"C:\\Tools\\other.exe", L"0");
    PresetEntry(L"agent.exe", L"C:\\Tools\\agent.exe", L"1");
    ASSERT_NE(nullptr, StartSleeperAs(L"a", L"agent.exe"));
    const DWORD agentPid = ProcessIdsByName(L"agent.exe").at(0);

    Run(L"list --json");
    for (const wchar_t c : Output()) {
        ASSERT_LT(static_cast<unsigned>(c), 0x80u) << "not ASCII: " << Utf8(Output());
    }
    JsonValue document;
    std::string error;
    ASSERT_TRUE(ParseJson(Utf8(Output()), document, error)) << error << "\n" << Utf8(Output());
    EXPECT_EQ(std::vector<std::string>(
                  {"schemaVersion", "service", "intervalMs", "entries", "policyRefused"}),
              document.memberOrder);
    EXPECT_TRUE(document["policyRefused"].items.empty());
    EXPECT_EQ("1", document["schemaVersion"].number);
    EXPECT_EQ(L"not installed", document["service"].text);
    EXPECT_EQ("5000", document["intervalMs"].number);
    const std::vector<std::string> fields = {
        "name",      "path",    "arguments",          "directory",       "source",
        "status",    "state",   "reason",             "pid",             "startedAt",
        "hangTimeoutSeconds",   "notRespondingAt",    "notRespondingReason", "aliveCheck",
        "restarts",             "lastExitCode",       "nextStartInSeconds", "watched"};
    std::map<std::wstring, const JsonValue*> byName;
    for (const JsonValue& entry : document["entries"].items) {
        EXPECT_EQ(fields, entry.memberOrder) << Utf8(entry["name"].text);
        EXPECT_EQ(L"user", entry["source"].text);
        // Nothing was published: the service never ran.
        EXPECT_TRUE(entry["restarts"].IsNull() && entry["lastExitCode"].IsNull() &&
                    entry["nextStartInSeconds"].IsNull())
            << Utf8(entry["name"].text);
        byName[entry["name"].text] = &entry;
    }
    ASSERT_EQ(3u, byName.size()) << Utf8(Output());
    const JsonValue& unicode = *byName.at(L"\u7a0b\u5e8f.exe");
    EXPECT_EQ(L"C:\\T\\\u7a0b\u5e8f.exe", unicode["path"].text);
    EXPECT_EQ(L"--a \"b c\"", unicode["arguments"].text);
    EXPECT_EQ(L"C:\\Work", unicode["directory"].text);
    EXPECT_EQ(L"active", unicode["status"].text);
    EXPECT_EQ(L"not running", unicode["state"].text);
    EXPECT_TRUE(unicode["pid"].IsNull() && unicode["startedAt"].IsNull());
    EXPECT_TRUE(unicode["aliveCheck"].IsNull() && unicode["notRespondingReason"].IsNull());
    const JsonValue& other = *byName.at(L"other.exe");
    EXPECT_EQ(L"paused", other["status"].text);
    EXPECT_TRUE(unicode["watched"].boolean && !other["watched"].boolean);
    EXPECT_TRUE(other["directory"].IsNull());
    EXPECT_EQ(L"", other["arguments"].text);
    const JsonValue& agent = *byName.at(L"agent.exe");
    EXPECT_EQ(L"running", agent["state"].text);
    EXPECT_EQ(std::to_string(agentPid), agent["pid"].number);
    const std::wstring startedAt = agent["startedAt"].text;
    EXPECT_TRUE(startedAt.size() == 20 && startedAt[4] == L'-' && startedAt[10] == L'T' &&
                startedAt[19] == L'Z')
        << Utf8(startedAt);

    Run(L"list -v");
    const std::vector<std::wstring> lines = OutputLines();
    const auto at = std::find_if(lines.begin(), lines.end(), [](const std::wstring& line) {
        return line.find(L"\u7a0b\u5e8f.exe ") == 0;
    });
    ASSERT_TRUE(at != lines.end() && lines.end() - at > 2) << Utf8(Output());
    EXPECT_EQ(L"    arguments: --a \"b c\"", *(at + 1));
    EXPECT_EQ(L"    directory: C:\\Work", *(at + 2));
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(),
                                     L"    directory: (the program's own folder)"))
        << Utf8(Output());
}

TEST_F(Commands, SvcStatusAndCheckTellANotInstalledAndAStoppedServiceAndCheckFailsWithFive)
{
    Run(L"svc status");
    EXPECT_EQ(L"QuorbelService: not installed", FirstOutputLine()) << Utf8(Output());
    Run(L"check", kExitFailed);
    EXPECT_EQ(std::vector<std::wstring>({L"QuorbelService: not installed"}), OutputLines());

    Run(L"svc install");
    Run(L"svc status");
    EXPECT_EQ(L"QuorbelService: stopped; binary path: " + ServiceBinaryPath(), FirstOutputLine())
        << Utf8(Output());
    Run(L"check", kExitFailed);
    EXPECT_EQ(std::vector<std::wstring>({L"QuorbelService: stopped"}), OutputLines());
}

// ---- the console twin ---------------------------------------------------------------------------

// The subsystem field of a program's PE header; 0 when the file is no PE program.
WORD SubsystemOf(const std::wstring& path)
{
    const std::string bytes = ReadFileBytes(path);
    if (bytes.size() < sizeof(IMAGE_DOS_HEADER)) {
        return 0;
    }
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
    const size_t offset = static_cast<size_t>(dos->e_lfanew);
    if (offset + sizeof(IMAGE_NT_HEADERS) > bytes.size()) {
        return 0;
    }
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(bytes.data() + offset)->OptionalHeader.Subsystem;
}

TEST_F(Commands, TheConsoleTwinIsAConsoleProgramThatRunsAsInvokedAndTheExeIsNot)
{
    const std::wstring twin = QUORBEL_DIST_DIR L"\\QuorbelService.com";
    const std::wstring exe = QUORBEL_DIST_DIR L"\\QuorbelService.exe";
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_CUI, SubsystemOf(twin));
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, SubsystemOf(exe));
    const std::string twinManifest = ManifestOf(twin);
    EXPECT_NE(std::string::npos, twinManifest.find("level=\"asInvoker\"")) << twinManifest;
    const std::string exeManifest = ManifestOf(exe);
    EXPECT_NE(std::string::npos, exeManifest.find("level=\"requireAdministrator\"")) << exeManifest;

    // What the service starts in the user's session at each logon, with the user's own token:
    // an image that demands no elevation.
    CWindowService::modulePath = exe.c_str();
    const std::wstring launched = CWindowService::LogonLaunchPath().GetString();
    EXPECT_EQ(twin, launched);
    const std::string launchedManifest = ManifestOf(launched);
    EXPECT_NE(std::string::npos, launchedManifest.find("asInvoker")) << launchedManifest;
    EXPECT_EQ(std::string::npos, launchedManifest.find("requireAdministrator")) << launchedManifest;
}

TEST_F(Commands, TheConsoleTwinEditsTheCallersListAsInvokedAndSvcWordsNeedAnElevatedPrompt)
{
    const std::wstring twin = Scratch() / L"QuorbelService.com";
    ASSERT_TRUE(CopyInto(QUORBEL_DIST_DIR L"\\QuorbelService.com", twin));
    const ScopedHandle limited(LimitedToken());
    ASSERT_TRUE(limited) << "no token without elevation, error " << GetLastError();

    RunProgramAt(twin, L"add C:\\Tools\\agent.exe", 0, limited.Get());
    EXPECT_EQ(OnlyEntry(L"agent.exe", L"C:\\Tools\\agent.exe", L"1"), ReadWatchList())
        << Describe(ReadWatchList());
    RunProgramAt(twin, L"list", 0, limited.Get());
    ASSERT_GT(OutputLines().size(), 1u) << Utf8(Output());
    EXPECT_EQ(0u, OutputLines()[1].find(L"agent.exe")) << Utf8(Output());
    RunProgramAt(twin, L"svc --help", 0, limited.Get());
    EXPECT_EQ(L"Usage:", FirstOutputLine()) << Utf8(Output());
    // relaunch closes nothing that nobody would start again. A Status of "01" is active to the
    // service, so it is no paused entry either.
    SetEntryValue(L"agent.exe", L"Status", L"01");
    RunProgramAt(twin, L"relaunch agent.exe", kExitFailed, limited.Get());
    EXPECT_EQ(L"QuorbelService does not run, so nothing would start agent.exe again: relaunch "
              L"refused, nothing was closed",
              FirstOutputLine());
    RunProgramAt(twin, L"pause agent.exe", 0, limited.Get());
    RunProgramAt(twin, L"relaunch agent.exe", kExitInvalidName, limited.Get());
    EXPECT_EQ(0u, FirstOutputLine().find(L"agent.exe is paused")) << Utf8(Output());
    RunProgramAt(twin, L"relaunch nosuch.exe", kExitNoSuchEntry, limited.Get());

    for (const wchar_t* word : {L"svc install", L"svc status", L"service start"}) {
        RunProgramAt(twin, word, kExitFailed, limited.Get());
        EXPECT_EQ(L"run this from an elevated prompt", FirstOutputLine()) << Utf8(word);
        EXPECT_FALSE(IsServiceRegistered()) << Utf8(word);
    }

    // Without the GUI executable beside it there is nothing to register.
    const std::wstring alone = Scratch() / L"alone";
    CreateDirectoryW(alone.c_str(), nullptr);
    ASSERT_TRUE(CopyInto(twin, alone + L"\\QuorbelService.com"));
    RunProgramAt(alone + L"\\QuorbelService.com", L"svc install", kExitFailed);
    EXPECT_EQ(L"could not install QuorbelService: its executable " + alone +
                  L"\\QuorbelService.exe is not there; nothing was registered",
              FirstOutputLine());
    EXPECT_FALSE(IsServiceRegistered());

    // From an elevated prompt the twin registers the service, and the registration names the
    // GUI executable beside it.
    RunProgramAt(twin, L"svc install");
    ServiceConfig config;
    ASSERT_TRUE(QueryServiceConfig(config));
    ExpectOwnRegistration(config);
}

// ---- what add checks, and what it says ----------------------------------------------------------

TEST_F(Commands, AddRefusesEveryPathItCouldNotStartAndSaysWhy)
{
    PresetEntry(L"agent.exe", L"C:\\Tools\\agent.exe", L"1");
    const RegistryState before = ReadWatchList();
    struct Case {
        const wchar_t* arguments;  // the raw command-line tail
        const wchar_t* reason;
    };
    const Case cases[] = {
        {L"add Programs\\app.exe", L"the path must be absolute"},
        {L"add notepad.exe", L"the path must be absolute"},
        {L"add \\\\server\\app.exe", L"the path must be absolute"},  // no share
        {L"add C:\\Kiosk\\Kiosk", L"the program must be an .exe file"},
        {L"add C:\\Kiosk\\Kiosk.exe.txt", L"the program must be an .exe file"},
        {L"add \"C:\\R\\a\\\"b.exe\"", L"a program path holds no double quote"},
        {L"add \"C:\\R\\a\nb.exe\"", L"a program path holds no control character"},
        {L"add C:\\R\\agent.exe ok \"line\rbreak\"", L"its argument 2 holds a control character"},
    };
    for (const Case& c : cases) {
        const std::vector<TraceLine> trace = Run(c.arguments, kExitInvalidName);

        EXPECT_NE(std::wstring::npos, FirstOutputLine().find(c.reason))
            << Utf8(c.arguments) << ": " << Utf8(Output());
        EXPECT_EQ(1u, OutputLines().size()) << "control characters must not reach the console: "
                                            << Utf8(Output());
        const RegistryState after = ReadWatchList();
        EXPECT_EQ(before, after) << Utf8(c.arguments) << Describe(after);
        EXPECT_EQ(1u, FunctionLines(trace, "AddCommand").size()) << Describe(trace);
    }
}

TEST_F(Commands, AddOfAProgramThatIsThereSaysReplacedWithBothPathsAndStoresItsArguments)
{
    const std::wstring folder = Scratch() / L"Tools";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring program = folder + L"\\agent.exe";
    ASSERT_TRUE(CopyInto(QUORBEL_TESTBIN_DIR L"\\fixture_sleeper.exe", program));
    PresetEntry(L"agent.exe", L"C:\\Old\\agent.exe", L"0");

    // Forward slashes count as separators; the entry keeps backslashes.
    std::wstring typed = program;
    std::replace(typed.begin(), typed.end(), L'\\', L'/');
    Run(L"add " + typed + L" --name \"a b\" \"\" x&y");

    EXPECT_EQ(L"agent.exe replaced: C:\\Old\\agent.exe -> " + program +
                  L" (active), arguments: --name \"a b\" \"\" x&y",
              FirstOutputLine());
    RegistryState expected = OnlyEntry(L"agent.exe", program, L"1");
    expected[L"agent.exe"][L"Arguments"] = L"--name \"a b\" \"\" x&y";
    EXPECT_EQ(expected, ReadWatchList()) << Describe(ReadWatchList());

    // Arguments that change are named, old and new; a running program keeps its old ones.
    ASSERT_NE(nullptr, StartSleeperAs(L"a", L"agent.exe"));
    Run(L"add " + program + L" --port 8080");
    EXPECT_EQ(std::vector<std::wstring>(
                  {L"agent.exe added: " + program +
                       L" (active), arguments replaced: --name \"a b\" \"\" x&y -> --port 8080",
                   L"agent.exe runs (process " +
                       std::to_wstring(ProcessIdsByName(L"agent.exe").at(0)) +
                       L") with its old path, arguments and folder until it starts again: "
                       L"QuorbelService relaunch agent.exe starts it with the new ones now"}),
              OutputLines());
    TerminateAllByName(L"agent.exe");

    // Added again without arguments, the entry has none left, and the answer says which went.
    Run(L"add " + program);
    EXPECT_EQ(L"agent.exe added: " + program + L" (active), arguments dropped: --port 8080",
              FirstOutputLine());
    EXPECT_EQ(OnlyEntry(L"agent.exe", program, L"1"), ReadWatchList()) << Describe(ReadWatchList());
}

TEST_F(Commands, AddTakesADirectoryBeforeThePathAndRefusesARelativeOneOrUnknownOptions)
{
    const std::wstring folder = Scratch() / L"Work";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring program = folder + L"\\agent.exe";
    ASSERT_TRUE(CopyInto(QUORBEL_TESTBIN_DIR L"\\fixture_sleeper.exe", program));

    Run(L"add --dir " + folder + L" " + program + L" --dir x");
    EXPECT_EQ(L"agent.exe added: " + program + L" (active), arguments: --dir x, directory: " +
                  folder,
              FirstOutputLine());
    RegistryState expected = OnlyEntry(L"agent.exe", program, L"1");
    expected[L"agent.exe"][L"Arguments"] = L"--dir x";
    expected[L"agent.exe"][L"Directory"] = folder;
    EXPECT_EQ(expected, ReadWatchList()) << Describe(ReadWatchList());

    // Without --dir a re-add keeps the directory and says so.
    Run(L"add " + program);
    EXPECT_EQ(L"agent.exe added: " + program + L" (active), arguments dropped: --dir x, "
              L"directory kept: " + folder,
              FirstOutputLine());

    const RegistryState before = ReadWatchList();
    const struct {
        const wchar_t* words;
        DWORD exitCode;
        const wchar_t* answer;
    } refused[] = {
        {L"add --dir Work C:\\T\\a.exe", kExitInvalidName,
         L"cannot add: the folder \"Work\" must be absolute"},
        {L"add --dir \\Work C:\\T\\a.exe", kExitInvalidName,
         L"cannot add: the folder \"\\Work\" must be absolute"},
        {L"add --dir", kExitUsage, L"add: the option --dir needs a value (folder)"},
        {L"add --dir C:\\W", kExitUsage, L"add: the program path is missing"},
        {L"add --port 1 C:\\T\\a.exe", kExitUsage, L"add: unknown option --port"},
    };
    for (const auto& c : refused) {
        Run(c.words, c.exitCode);
        EXPECT_EQ(0u, FirstOutputLine().find(c.answer)) << Utf8(c.words) << ": " << Utf8(Output());
        EXPECT_EQ(before, ReadWatchList()) << Utf8(c.words) << Describe(ReadWatchList());
    }
}

TEST_F(Commands, AddRefusesACommandLineLongerThanCmdTakes)
{
    // cmd.exe gets /c ""<path>" <arguments>": 8 characters besides the path and the arguments.
    const std::wstring path = L"C:\\T\\a.exe";
    const size_t room = 8191 - 8 - path.size();
    Run(L"add " + path + L" " + std::wstring(room, L'x'));
    EXPECT_EQ(0u, FirstOutputLine().find(L"warning: ")) << Utf8(FirstOutputLine().substr(0, 200));

    Run(L"add " + path + L" " + std::wstring(room + 1, L'y'), kExitInvalidName);
    EXPECT_EQ(L"cannot add \"C:\\T\\a.exe\": its command line for cmd.exe would be 8192 "
              L"characters long, cmd.exe takes at most 8191",
              FirstOutputLine());
    std::vector<wchar_t> kept(room + 2, L'\0');
    DWORD size = static_cast<DWORD>(kept.size() * sizeof(wchar_t));
    const std::wstring key = std::wstring(kBaseKeyPath) + L"\\a.exe";
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"Arguments",
                                          RRF_RT_REG_SZ, nullptr, kept.data(), &size));
    EXPECT_EQ(std::wstring(room, L'x'), std::wstring(kept.data())) << "the first add is kept";
}

TEST_F(Commands, AddHangTimeoutSetsKeepsAndClearsTheTimeoutAndRefusesAnyOtherValue)
{
    Run(L"add --hang-timeout 30 C:\\Kiosk\\kiosk.exe --full");
    EXPECT_NE(std::wstring::npos, StandardOutput().find(L"arguments: --full, hang timeout 30 s"))
        << Utf8(Output());
    RegistryState expected = OnlyEntry(L"kiosk.exe", L"C:\\Kiosk\\kiosk.exe", L"1");
    expected[L"kiosk.exe"][L"Arguments"] = L"--full";
    expected[L"kiosk.exe"][L"HangTimeout"] = L"30";
    EXPECT_EQ(expected, ReadWatchList()) << Describe(ReadWatchList());

    // Added again without the option, the entry keeps its timeout and says so.
    Run(L"add C:\\Kiosk\\kiosk.exe");
    EXPECT_NE(std::wstring::npos,
              StandardOutput().find(L"(active), arguments dropped: --full, hang timeout kept: 30 s"))
        << Utf8(Output());
    expected[L"kiosk.exe"].erase(L"Arguments");
    EXPECT_EQ(expected, ReadWatchList()) << Describe(ReadWatchList());

    for (const wchar_t* refused : {L"4", L"3601", L"30s", L"-5", L"99999999999"}) {
        Run(std::wstring(L"add --hang-timeout ") + refused + L" C:\\Kiosk\\kiosk.exe", 2);
        EXPECT_NE(std::wstring::npos, FirstOutputLine().find(L"takes 0 (off) or 5 to 3600 seconds"))
            << Utf8(FirstOutputLine());
    }
    Run(L"add --hang-timeout", 2);
    EXPECT_EQ(expected, ReadWatchList()) << "a refused add changed the entry";

    Run(L"add --hang-timeout 0 C:\\Kiosk\\kiosk.exe");
    expected[L"kiosk.exe"].erase(L"HangTimeout");
    EXPECT_EQ(expected, ReadWatchList()) << Describe(ReadWatchList());
}

TEST_F(Commands, AddAliveCheckIsSetKeptReplacedAndRemovedAndABadTargetIsRefusedWithThree)
{
    Run(L"add --alive-port 8080 C:\\Agent\\agent.exe");
    EXPECT_NE(std::wstring::npos,
              StandardOutput().find(L"(active), alive check: port 8080 (fails after 60 s)"))
        << Utf8(Output());
    RegistryState expected = OnlyEntry(L"agent.exe", L"C:\\Agent\\agent.exe", L"1");
    expected[L"agent.exe"][L"AliveCheck"] = L"port 8080";
    EXPECT_EQ(expected, ReadWatchList()) << Describe(ReadWatchList());

    // Added again without a check option, the entry keeps its check and says so.
    Run(L"add C:\\Agent\\agent.exe");
    EXPECT_NE(std::wstring::npos, StandardOutput().find(L", alive check kept: port 8080"))
        << Utf8(Output());
    EXPECT_EQ(expected, ReadWatchList()) << Describe(ReadWatchList());

    // Each kind, with the hang timeout it fails after; a variable in the file's path stays.
    Run(L"add --hang-timeout 30 --alive-url https://127.0.0.1:8443/health?deep=1 "
        L"C:\\Agent\\agent.exe");
    EXPECT_NE(std::wstring::npos,
              StandardOutput().find(
                  L"alive check: url https://127.0.0.1:8443/health?deep=1 (fails after 30 s)"))
        << Utf8(Output());
    Run(L"add --alive-file %TEMP%\\agent\\beat.txt C:\\Agent\\agent.exe");
    EXPECT_NE(std::wstring::npos,
              StandardOutput().find(L"alive check: file %TEMP%\\agent\\beat.txt (fails after 30 s)"))
        << Utf8(Output());
    // A file not there yet is a warning, on standard error with the others.
    EXPECT_NE(std::wstring::npos,
              Output().find(L"warning: %TEMP%\\agent\\beat.txt is not there yet as seen from here"))
        << Utf8(Output());
    EXPECT_EQ(std::wstring::npos, StandardOutput().find(L"warning")) << Utf8(StandardOutput());
    expected[L"agent.exe"][L"AliveCheck"] = L"file %TEMP%\\agent\\beat.txt";
    expected[L"agent.exe"][L"HangTimeout"] = L"30";
    EXPECT_EQ(expected, ReadWatchList()) << Describe(ReadWatchList());

    struct Refusal {
        const wchar_t* option;
        DWORD exitCode;
        const wchar_t* answer;
    };
    const Refusal refusals[] = {
        {L"--alive-port 0", 3, L"the port must be a number from 1 to 65535, not \"0\""},
        {L"--alive-port 65536", 3, L"the port must be a number from 1 to 65535"},
        {L"--alive-port http", 3, L"the port must be a number"},
        {L"--alive-url ftp://host/x", 3, L"must start with http:// or https://"},
        {L"--alive-url http:///path", 3, L"names no host"},
        {L"--alive-url \"http://h/a b\"", 3, L"holds a blank"},
        {L"--alive-file beat.txt", 3, L"must be absolute"},
        {L"--alive-file C:\\Logs\\", 3, L"names a folder, not a file"},
        {L"--alive-port 80 --alive-none", 2, L"one alive check at most"},
    };
    for (const Refusal& refusal : refusals) {
        Run(std::wstring(L"add ") + refusal.option + L" C:\\Agent\\agent.exe", refusal.exitCode);
        EXPECT_NE(std::wstring::npos, Output().find(refusal.answer))
            << Utf8(refusal.option) << ": " << Utf8(Output());
    }
    EXPECT_EQ(expected, ReadWatchList()) << "a refused add changed the entry";

    Run(L"add --alive-none C:\\Agent\\agent.exe");
    EXPECT_NE(std::wstring::npos,
              StandardOutput().find(L", alive check removed: file %TEMP%\\agent\\beat.txt"))
        << Utf8(Output());
    expected[L"agent.exe"].erase(L"AliveCheck");
    EXPECT_EQ(expected, ReadWatchList()) << Describe(ReadWatchList());
}

TEST_F(Commands, VersionWordPrintsTheBuildsVersionWhichTheResourceCarriesToo)
{
    Run(L"version");
    EXPECT_EQ(std::vector<std::wstring>({L"QuorbelService " QUORBEL_VERSION_TEXT_W}), OutputLines());

    DWORD ignored = 0;
    std::vector<BYTE> info(GetFileVersionInfoSizeW(Exe().c_str(), &ignored));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoW(Exe().c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(QUORBEL_VERSION_MINOR, QUORBEL_VERSION_MAJOR)),
              fixed->dwFileVersionMS);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(0, QUORBEL_VERSION_PATCH)), fixed->dwFileVersionLS);
}

TEST_F(Commands, UninstallOfARunningServiceSaysRemovalWaitsForTheStopAndStatusShowsIt)
{
    Run(L"svc install");
    {
        const ScopedServiceHandle manager = OpenManager();
        const ScopedServiceHandle service = OpenQuorbelService(manager);
        ASSERT_TRUE(StartServiceW(service.Get(), 0, nullptr)) << "error " << GetLastError();
    }
    ASSERT_TRUE(WaitUntil([] { return ServiceState() == SERVICE_RUNNING; }, kSettleTimeoutMs, 100));
    const std::wstring control = MakeControlCopy();

    RunProgramAt(control, L"svc uninstall");
    EXPECT_EQ(L"QuorbelService marked for removal: it is removed once it has stopped (svc stop "
              L"stops it)",
              FirstOutputLine());
    RunProgramAt(control, L"svc status");
    EXPECT_EQ(0u, FirstOutputLine().find(
                      L"QuorbelService: running, marked for removal (it goes once it has stopped)"))
        << Utf8(Output());

    RunProgramAt(control, L"svc stop");
    EXPECT_TRUE(WaitUntil([] { return !IsServiceRegistered(); }, kSettleTimeoutMs, 100));
    RunProgramAt(control, L"svc status");
    EXPECT_EQ(L"QuorbelService: not installed", FirstOutputLine());
}

TEST_F(Commands, ListSpellsOutControlCharactersAndShowsAPathThatIsNoStringAsNone)
{
    PresetEntry(L"bell\a.exe", L"C:\\T\\bell\a\x1b[2J.exe", L"1");
    const std::wstring numberKey = std::wstring(kBaseKeyPath) + L"\\number.exe";
    const DWORD number = 5;
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, numberKey.c_str(), L"Path",
                                             REG_DWORD, &number, sizeof(number)));
    SetEntryValue(L"number.exe", L"Status", L"1");

    Run(L"list");
    const std::vector<std::wstring> expected = {
        L"QuorbelService: not installed",
        L"bell<U+0007>.exe  active  not running  C:\\T\\bell<U+0007><U+001B>[2J.exe",
        L"number.exe        active  not running  (no program path)",
        L"Interval: 5000 ms (default)",
    };
    EXPECT_EQ(expected, OutputLines()) << Utf8(Output());
}
