#include <gtest/gtest.h>

#include <algorithm>

#include "ConfigTestSupport.h"
#include "config/CRegHelper.h"

using namespace config_test;

namespace {

class RegHelperTest : public ::testing::Test {
protected:
    ScratchKey scratch{L"RegHelper"};

    std::wstring ReadText(const std::wstring& valueName)
    {
        return Text(CRegHelper::GetStringValue(HKEY_CURRENT_USER, W(scratch.Path()), W(valueName)));
    }
};

TEST_F(RegHelperTest, StringValuesOfEveryLengthAreReturnedWhole)
{
    // 255, 256 and 257 characters sit around the first read's 512-byte buffer.
    for (size_t length : {0u, 1u, 255u, 256u, 257u, 1000u}) {
        for (bool withTerminator : {true, false}) {
            std::wstring text(length, L'a');
            for (size_t i = 0; i < length; ++i) {
                text[i] = static_cast<wchar_t>(L'a' + i % 26);
            }
            WriteString(HKEY_CURRENT_USER, scratch.Path(), L"Text", text, REG_SZ, withTerminator);
            const std::wstring read = ReadText(L"Text");
            EXPECT_EQ(read.size(), length) << "length " << length << ", terminator " << withTerminator;
            EXPECT_TRUE(read == text) << "length " << length << ", terminator " << withTerminator
                                      << ": " << Shown(read);
        }
    }
}

TEST_F(RegHelperTest, StringEndsAtItsFirstNullCharacter)
{
    WriteBytes(HKEY_CURRENT_USER, scratch.Path(), L"Text", REG_SZ, L"ab\0cd", 6 * sizeof(wchar_t));
    EXPECT_EQ(ReadText(L"Text"), L"ab") << Shown(ReadText(L"Text"));
}

TEST_F(RegHelperTest, MultiStringsBecomeLinesWithoutTheEmptyOnes)
{
    const std::wstring longItem(400, L'z');
    struct Case {
        const char* label;
        std::wstring data;  // raw characters stored, nulls included
        std::wstring expected;
    };
    const Case cases[] = {
        {"x, empty, y", std::wstring(L"x\0\0y\0\0", 6), L"x\ny\n"},
        {"only the closing null", std::wstring(L"\0", 1), L""},
        {"no data at all", std::wstring(), L""},
        {"missing closing nulls", std::wstring(L"x\0y", 3), L"x\ny\n"},
        {"single 0", std::wstring(L"0\0\0", 3), L"0\n"},
        {"longer than the first read", longItem + std::wstring(L"\0", 1) + longItem +
                                           std::wstring(L"\0\0", 2),
         longItem + L"\n" + longItem + L"\n"},
    };
    for (const Case& c : cases) {
        WriteBytes(HKEY_CURRENT_USER, scratch.Path(), L"Multi", REG_MULTI_SZ, c.data.data(),
                   c.data.size() * sizeof(wchar_t));
        const std::wstring read = ReadText(L"Multi");
        EXPECT_TRUE(read == c.expected) << c.label << ": " << Shown(read);
    }
}

TEST_F(RegHelperTest, OnlyStringTypesHaveTextThroughGetStringValue)
{
    WriteString(HKEY_CURRENT_USER, scratch.Path(), L"Expand", L"%TEMP%", REG_EXPAND_SZ);
    WriteDword(HKEY_CURRENT_USER, scratch.Path(), L"Dword", 5000);
    WriteQword(HKEY_CURRENT_USER, scratch.Path(), L"Qword", 5000);
    WriteBytes(HKEY_CURRENT_USER, scratch.Path(), L"Binary", REG_BINARY, "50", 2);
    for (const wchar_t* name : {L"Expand", L"Dword", L"Qword", L"Binary", L"Missing"}) {
        EXPECT_EQ(ReadText(name), L"") << Shown(name);
    }
}

TEST_F(RegHelperTest, NumbersAreReadAsUnsignedDecimalText)
{
    struct Case {
        const wchar_t* name;
        DWORD expectedType;
        const wchar_t* expectedText;
        DWORD expectedNumber;
    };
    WriteDword(HKEY_CURRENT_USER, scratch.Path(), L"DwordMax", 0xFFFFFFFFu);
    WriteDword(HKEY_CURRENT_USER, scratch.Path(), L"DwordSmall", 5000);
    WriteQword(HKEY_CURRENT_USER, scratch.Path(), L"QwordMax", 0xFFFFFFFFFFFFFFFFull);
    WriteQword(HKEY_CURRENT_USER, scratch.Path(), L"QwordHigh", 0x100000005ull);
    const Case cases[] = {
        {L"DwordMax", REG_DWORD, L"4294967295", 0xFFFFFFFFu},
        {L"DwordSmall", REG_DWORD, L"5000", 5000},
        {L"QwordMax", REG_QWORD, L"18446744073709551615", 0xFFFFFFFFu},
        {L"QwordHigh", REG_QWORD, L"4294967301", 5},
    };
    for (const Case& c : cases) {
        XStringW text;
        DWORD number = 0;
        DWORD size = 77;
        const DWORD type = CRegHelper::GetValue(HKEY_CURRENT_USER, W(scratch.Path()), c.name, text,
                                                number, size);
        EXPECT_EQ(type, c.expectedType) << Shown(c.name);
        EXPECT_EQ(Text(text), c.expectedText) << Shown(c.name);
        EXPECT_EQ(number, c.expectedNumber) << Shown(c.name);
        EXPECT_EQ(size, 77u) << Shown(c.name) << ": the size is only for binary values";
    }
}

TEST_F(RegHelperTest, BinaryValuesReportOnlyTheirSize)
{
    const BYTE bytes[25] = {1, 2, 3};
    for (DWORD length : {3u, 10u, 25u}) {
        WriteBytes(HKEY_CURRENT_USER, scratch.Path(), L"Binary", REG_BINARY, bytes, length);
        XStringW text(L"kept");
        DWORD number = 9;
        DWORD size = 0;
        EXPECT_EQ(CRegHelper::GetValue(HKEY_CURRENT_USER, W(scratch.Path()), L"Binary", text, number,
                                       size),
                  static_cast<DWORD>(REG_BINARY));
        EXPECT_EQ(size, length);
        EXPECT_EQ(Text(text), L"kept");
        EXPECT_EQ(number, 9u);
    }
}

TEST_F(RegHelperTest, OversizedNumberLeavesTextAndNumberAndTracesItsSize)
{
    const BYTE eightBytes[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    const BYTE twelveBytes[12] = {2};
    WriteBytes(HKEY_CURRENT_USER, scratch.Path(), L"LongDword", REG_DWORD, eightBytes, 8);
    WriteBytes(HKEY_CURRENT_USER, scratch.Path(), L"LongQword", REG_QWORD, twelveBytes, 12);
    const TraceTail trace;
    for (const wchar_t* name : {L"LongDword", L"LongQword"}) {
        XStringW text(L"kept");
        DWORD number = 9;
        DWORD size = 0;
        CRegHelper::GetValue(HKEY_CURRENT_USER, W(scratch.Path()), name, text, number, size);
        EXPECT_EQ(Text(text), L"kept") << Shown(name);
        EXPECT_EQ(number, 9u) << Shown(name);
    }
    if (TraceIsOn()) {
        const std::wstring lines = trace.NewText();
        EXPECT_EQ(CountOccurrences(lines, L"<ERROR> REG_DWORD ERROR_MORE_DATA, size:8\n"), 1)
            << Shown(lines);
        EXPECT_EQ(CountOccurrences(lines, L"<ERROR> REG_QWORD ERROR_MORE_DATA, size:12\n"), 1)
            << Shown(lines);
    }
}

TEST_F(RegHelperTest, MissingValueHasTypeZeroAndIsNoError)
{
    WriteString(HKEY_CURRENT_USER, scratch.Path(), L"Other", L"x");
    const TraceTail trace;
    EXPECT_EQ(CRegHelper::GetValueType(HKEY_CURRENT_USER, W(scratch.Path()), L"Missing"), 0u);
    XStringW text(L"kept");
    DWORD number = 0;
    DWORD size = 0;
    EXPECT_EQ(CRegHelper::GetValue(HKEY_CURRENT_USER, W(scratch.Path()), L"Missing", text, number,
                                   size),
              0u);
    EXPECT_EQ(Text(text), L"kept");
    EXPECT_EQ(CRegHelper::GetValueType(HKEY_CURRENT_USER, W(scratch.Path()), L"Other"),
              static_cast<DWORD>(REG_SZ));
    if (TraceIsOn()) {
        EXPECT_EQ(trace.NewText(), L"") << Shown(trace.NewText());
    }
}

TEST_F(RegHelperTest, MissingKeyHasTypeZeroAndWritesOneErrorLine)
{
    const std::wstring missingKey = scratch / L"Missing";
    const TraceTail trace;
    EXPECT_EQ(CRegHelper::GetValueType(HKEY_CURRENT_USER, W(missingKey), L"Status"), 0u);
    if (TraceIsOn()) {
        const std::wstring lines = trace.NewText();
        EXPECT_EQ(CountOccurrences(lines, L"\r\n"), 1) << Shown(lines);
        EXPECT_EQ(CountOccurrences(lines, L"CRegHelper::GetValueType("), 1) << Shown(lines);
        // The number is the open's own failure: the key was not found.
        EXPECT_EQ(CountOccurrences(lines, L" :  <ERROR> RegOpenKeyEx(GetLastError:2)\r\n"), 1)
            << Shown(lines);
    }

    XStringW text(L"kept");
    DWORD number = 3;
    DWORD size = 4;
    EXPECT_EQ(CRegHelper::GetValue(HKEY_CURRENT_USER, W(missingKey), L"Status", text, number, size),
              0u);
    EXPECT_EQ(Text(text), L"kept");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, missingKey)) << "reading must not create the key";
}

TEST_F(RegHelperTest, SetValueCreatesEveryMissingParentAndWritesTerminatedText)
{
    const std::wstring deepKey = scratch / L"a\\b\\c";
    EXPECT_TRUE(CRegHelper::SetValue(W(deepKey), L"Path", L"C:\\Tools\\agent.exe"));
    const RawValue written = ReadRaw(HKEY_CURRENT_USER, deepKey, L"Path");
    ASSERT_TRUE(written.present);
    EXPECT_EQ(written.type, static_cast<DWORD>(REG_SZ));
    const std::wstring expected(L"C:\\Tools\\agent.exe\0", 19);
    EXPECT_EQ(written.bytes.size(), expected.size() * sizeof(wchar_t));
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(written.bytes.data()),
                           written.bytes.size() / sizeof(wchar_t)),
              expected);

    // An existing key is opened, not replaced: its other values stay.
    EXPECT_TRUE(CRegHelper::SetValue(W(deepKey), L"Status", L""));
    EXPECT_EQ(ReadStringOrState(HKEY_CURRENT_USER, deepKey, L"Status"), L"");
    EXPECT_EQ(ReadRaw(HKEY_CURRENT_USER, deepKey, L"Status").bytes.size(), sizeof(wchar_t));
    EXPECT_EQ(ReadStringOrState(HKEY_CURRENT_USER, deepKey, L"Path"), L"C:\\Tools\\agent.exe");
}

TEST_F(RegHelperTest, SubKeysAreListedByName)
{
    EXPECT_EQ(CRegHelper::GetSubKeyList(HKEY_CURRENT_USER, W(scratch.Path())).GetCount(), 0);
    EXPECT_EQ(CRegHelper::GetSubKeyList(HKEY_CURRENT_USER, W(scratch / L"Missing")).GetCount(), 0);

    const std::wstring longestName(255, L'n');
    for (const std::wstring& name : {std::wstring(L"agent.exe"), std::wstring(L"B.EXE"), longestName}) {
        WriteString(HKEY_CURRENT_USER, scratch / name, L"Path", L"x");
    }
    // A value of the key itself is no subkey.
    WriteString(HKEY_CURRENT_USER, scratch.Path(), L"Interval", L"1000");
    const std::vector<std::wstring> listed =
        Names(CRegHelper::GetSubKeyList(HKEY_CURRENT_USER, W(scratch.Path())));
    EXPECT_EQ(listed, SubKeys(HKEY_CURRENT_USER, scratch.Path()))
        << "same names in the platform's enumeration order";
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_NE(std::find(listed.begin(), listed.end(), longestName), listed.end());
}

TEST_F(RegHelperTest, ReadsThroughTheUsersHiveOfTheCurrentUser)
{
    const std::wstring sid = CurrentUserSidByName();
    ASSERT_FALSE(sid.empty()) << "the current user's SID could not be looked up";
    WriteString(HKEY_CURRENT_USER, scratch.Path(), L"Text", L"seen from HKEY_USERS");
    EXPECT_EQ(Text(CRegHelper::GetStringValue(HKEY_USERS, W(sid + L"\\" + scratch.Path()), L"Text")),
              L"seen from HKEY_USERS");
}

}  // namespace
