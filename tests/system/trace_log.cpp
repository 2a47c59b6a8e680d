// The trace log of the real executable against a hostile or overgrown Log folder: links planted
// in the place of the folder or of a log file, a folder past its size bound, and a huge value.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "TestSupport.h"

using namespace testing_support;

namespace {

constexpr wchar_t kExeName[] = L"QuorbelService.exe";
constexpr wchar_t kNoCommand[] = L"one two three four";  // a usage error, after the first line
constexpr char kTargetText[] = "not a log file";

// Symbolic links made and removed by the host, as `ln -s` and `rm` in the prefix would. Wine
// cannot make one itself (CreateSymbolicLinkW reports success and does nothing), and it neither
// lists nor removes a dangling one, so the host's own calls (x86-64 Linux) are made.
long HostCall(long number, const std::wstring& first, const std::wstring* second)
{
#if defined(_WIN64)
    using UnixName = char*(CDECL*)(LPCWSTR);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unixName == nullptr) {
        return -1;
    }
    char* const unixFirst = unixName(first.c_str());
    char* const unixSecond = second != nullptr ? unixName(second->c_str()) : nullptr;
    long result = -1;
    if (unixFirst != nullptr && (second == nullptr || unixSecond != nullptr)) {
        asm volatile("syscall"
                     : "=a"(result)
                     : "a"(number), "D"(unixFirst), "S"(unixSecond)
                     : "rcx", "r11", "memory");
    }
    HeapFree(GetProcessHeap(), 0, unixFirst);
    HeapFree(GetProcessHeap(), 0, unixSecond);
    return result;
#else
    (void)number;
    (void)first;
    (void)second;
    return -1;
#endif
}

bool MakeHostLink(const std::wstring& target, const std::wstring& link)
{
    constexpr long kSymlink = 88;
    return HostCall(kSymlink, target, &link) == 0;
}

void RemoveHostLink(const std::wstring& link)
{
    constexpr long kUnlink = 87;
    HostCall(kUnlink, link, nullptr);
}

SYSTEMTIME MinutesLater(const SYSTEMTIME& start, int minutes)
{
    FILETIME time{};
    SystemTimeToFileTime(&start, &time);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    ticks.QuadPart += static_cast<ULONGLONG>(static_cast<LONGLONG>(minutes) * 60 * 10000000);
    time.dwLowDateTime = ticks.LowPart;
    time.dwHighDateTime = ticks.HighPart;
    SYSTEMTIME later{};
    FileTimeToSystemTime(&time, &later);
    return later;
}

// This minute and the next, so that a run across the minute's end meets a link too.
std::vector<SYSTEMTIME> ThisAndNextMinute()
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return {now, MinutesLater(now, 1)};
}

// A file of the given size (the host keeps it sparse, unless text is given), last written the
// given minutes after 2020 began.
void WriteFileOf(const std::wstring& path, const std::string& text, LONGLONG bytes = 0,
                 int minute = 0)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << Utf8(path) << " error " << GetLastError();
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    if (bytes > 0) {
        LARGE_INTEGER size{};
        size.QuadPart = bytes;
        SetFilePointerEx(file, size, nullptr, FILE_BEGIN);
        SetEndOfFile(file);
        const SYSTEMTIME when = MinutesLater(SYSTEMTIME{2020, 1, 0, 1, 0, 0, 0, 0}, minute);
        FILETIME time{};
        SystemTimeToFileTime(&when, &time);
        SetFileTime(file, &time, &time, &time);
    }
    CloseHandle(file);
}

class TraceLogTest : public ::testing::Test {
protected:
    TraceLogTest() : dir(L"system_trace_log"), outside(L"system_trace_log_outside") {}

    void Install()
    {
        ASSERT_TRUE(CopyInto(std::wstring(QUORBEL_DIST_DIR) + L"\\" + kExeName, dir / kExeName));
        ASSERT_NO_FATAL_FAILURE(WriteFileOf(dir / L"trace.txt", ""));
    }

    CapturedRun Run(const std::wstring& arguments)
    {
        return RunProgramCapturingOutput(dir / kExeName, arguments);
    }

    ~TraceLogTest() override
    {
        for (const std::wstring& link : links) {
            RemoveHostLink(link);
        }
    }

    bool Link(const std::wstring& target, const std::wstring& link)
    {
        links.push_back(link);
        return MakeHostLink(target, link);
    }

    ScratchDir dir;
    ScratchDir outside;
    std::vector<std::wstring> links;
};

TEST_F(TraceLogTest, LinksInPlaceOfTheLogFolderOrALogFileAreNeverWrittenThrough)
{
#if !defined(_WIN64)
    GTEST_SKIP() << "the host's links are made by the 64-bit build only";
#endif
    ASSERT_NO_FATAL_FAILURE(Install());
    const std::wstring logDir = dir / L"Log";
    ASSERT_TRUE(CreateDirectoryW(logDir.c_str(), nullptr));
    const std::wstring target = outside / L"target.txt";
    ASSERT_NO_FATAL_FAILURE(WriteFileOf(target, kTargetText));
    const std::wstring missing = outside / L"created-through-a-link.txt";
    for (const SYSTEMTIME& minute : ThisAndNextMinute()) {
        ASSERT_TRUE(Link(target, logDir + L"\\" + LogFileNameAt(L"QuorbelService", minute, 0)));
        ASSERT_TRUE(Link(missing, logDir + L"\\" + LogFileNameAt(L"QuorbelService", minute, 1)));
    }

    const CapturedRun run = Run(kNoCommand);
    ASSERT_TRUE(run.finished);

    EXPECT_EQ(kTargetText, ReadFileBytes(target)) << "a log line went through a file link";
    EXPECT_FALSE(FileExists(missing)) << "a dangling link's target was created";
    // The line went on in the next free name, a file of its own.
    std::wstring written;
    for (const SYSTEMTIME& minute : ThisAndNextMinute()) {
        written += ReadUtf16File(logDir + L"\\" + LogFileNameAt(L"QuorbelService", minute, 2));
    }
    EXPECT_NE(std::wstring::npos, written.find(L"Run QuorbelService")) << Utf8(written);

    // The whole folder a link to another one.
    for (const std::wstring& link : links) {
        RemoveHostLink(link);
    }
    links.clear();
    RemoveTree(logDir);
    ASSERT_FALSE(FileExists(logDir));
    const std::wstring elsewhere = outside / L"elsewhere";
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    ASSERT_TRUE(Link(elsewhere, logDir));
    const DWORD attributes = GetFileAttributesW(logDir.c_str());
    ASSERT_NE(0u, attributes & FILE_ATTRIBUTE_REPARSE_POINT) << std::hex << attributes;

    const CapturedRun second = Run(kNoCommand);
    ASSERT_TRUE(second.finished);

    EXPECT_TRUE(ListFiles(elsewhere, L"*.log").empty()) << "lines went through a folder link";
}

TEST_F(TraceLogTest, ANewFileKeepsTheFolderWithinItsBoundAndAHugeValueIsCut)
{
    ASSERT_NO_FATAL_FAILURE(Install());
    const std::wstring logDir = dir / L"Log";
    ASSERT_TRUE(CreateDirectoryW(logDir.c_str(), nullptr));
    constexpr LONGLONG kMiB = 1 << 20;
    // 70 MiB of old trace files of two channels, oldest first, and files of other names.
    std::vector<std::wstring> old;
    for (int i = 0; i < 70; ++i) {
        wchar_t name[64] = {};
        swprintf(name, 64, i % 2 ? L"QuorbelCtl_0101_%02d%02d.log" : L"Old_Tool_0101_%02d%02d_3.log",
                 i / 60, i % 60);
        old.push_back(name);
        ASSERT_NO_FATAL_FAILURE(WriteFileOf(logDir + L"\\" + name, "", kMiB, i));
    }
    const std::vector<std::wstring> others = {L"notes.txt", L"QuorbelCtl_1301_0000.log",
                                              L"QuorbelCtl_0101_0000_0.log", L"_0101_0000.log",
                                              L"QuorbelCtl_0101_0000.LOG.bak"};
    for (const std::wstring& name : others) {
        ASSERT_NO_FATAL_FAILURE(WriteFileOf(logDir + L"\\" + name, "", kMiB, -1));
    }
    const std::wstring huge(3000, L'v');

    const CapturedRun run = Run(L"pause " + huge);
    ASSERT_TRUE(run.finished);

    for (size_t i = 0; i < old.size(); ++i) {
        EXPECT_EQ(i >= 6, FileExists(logDir + L"\\" + old[i])) << Utf8(old[i]);
    }
    for (const std::wstring& name : others) {
        EXPECT_TRUE(FileExists(logDir + L"\\" + name)) << Utf8(name) << " was touched";
    }
    std::wstring log;
    for (const std::wstring& name : ListFiles(logDir, L"QuorbelService_*.log")) {
        log += ReadUtf16File(logDir + L"\\" + name);
    }
    EXPECT_NE(std::wstring::npos, log.find(L"removed 6 old trace files")) << Utf8(log);
    const std::wstring cut = L"pause service : " + std::wstring(1024, L'v') +
                             L"\x2026(3000 characters)\r\n";
    EXPECT_NE(std::wstring::npos, log.find(cut)) << Utf8(log.substr(0, 3000));
    EXPECT_EQ(std::wstring::npos, log.find(std::wstring(1025, L'v'))) << "a value was not cut";
}

}  // namespace
