// Where this test program is, and how a path splits at its last backslash.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "TestSupport.h"
#include "paths/ModulePaths.h"

using testing_support::Utf8;

namespace {

std::wstring Text(const XStringW& text)
{
    return text.GetString();
}

bool SameIgnoringCase(const std::wstring& left, const std::wstring& right)
{
    return CompareStringOrdinal(left.c_str(), -1, right.c_str(), -1, TRUE) == CSTR_EQUAL;
}

TEST(ModulePaths, NameThisTestProgramItsFileAndItsDirectory)
{
    wchar_t own[MAX_PATH] = {};
    ASSERT_NE(0u, GetModuleFileNameW(nullptr, own, MAX_PATH));

    const std::wstring path = Text(GetModulePath(true));
    const std::wstring name = Text(GetModuleName());
    const std::wstring directory = Text(GetModuleDirectory());

    EXPECT_EQ(std::wstring(own), path);
    EXPECT_EQ(std::wstring(L"unit_paths.exe"), name);
    EXPECT_EQ(name, Text(GetModulePath(false)));
    EXPECT_TRUE(SameIgnoringCase(QUORBEL_TESTBIN_DIR, directory)) << Utf8(directory);
    EXPECT_EQ(path, directory + L"\\" + name);
}

TEST(ModulePaths, PathSplitsAtItsLastWholeBackslash)
{
    struct Case {
        const wchar_t* path;
        const wchar_t* fileName;
        const wchar_t* directory;
    };
    const Case cases[] = {
        {L"C:\\Svc\\QuorbelService.exe", L"QuorbelService.exe", L"C:\\Svc"},
        {L"C:\\a\\b\\c.exe", L"c.exe", L"C:\\a\\b"},
        {L"QuorbelService.exe", L"QuorbelService.exe", L"QuorbelService.exe"},
        {L"D:\\Tools\\", L"", L"D:\\Tools"},
        {L"\\x.exe", L"x.exe", L""},
        {L"", L"", L""},
        // U+015C shares the backslash's low byte and must not be taken for one.
        {L"C:\\a\u015Cb\\x\u015C.exe", L"x\u015C.exe", L"C:\\a\u015Cb"},
        {L"a\u015Cb", L"a\u015Cb", L"a\u015Cb"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(std::wstring(c.fileName), Text(FileNamePart(c.path))) << Utf8(c.path);
        EXPECT_EQ(std::wstring(c.directory), Text(DirectoryPart(c.path))) << Utf8(c.path);
    }
}

}  // namespace
