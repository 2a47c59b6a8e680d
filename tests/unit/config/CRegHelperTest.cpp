#include <gtest/gtest.h>

#include "ConfigTestSupport.h"
#include "config/CRegHelper.h"

using namespace config_test;

namespace {

class RegHelperTest : public ::testing::Test {
protected:
    ScratchKey scratch{L"RegHelper"};

    void Put(const wchar_t* name, DWORD type, const std::wstring& raw)
    {
        WriteBytes(HKEY_CURRENT_USER, scratch.Path(), name, type, raw.data(),
                   raw.size() * sizeof(wchar_t));
    }
    std::wstring ReadText(const std::wstring& valueName)
    {
        return Text(CRegHelper::GetStringValue(HKEY_CURRENT_USER, W(scratch.Path()), W(valueName)));
    }
    // GetValue with every output preset, so that untouched outputs show.
    DWORD Read(const wchar_t* name, std::wstring& text, DWORD& number, DWORD& size)
    {
        XStringW out(L"kept");
        number = 9;
        size = 7;
        const DWORD type =
            CRegHelper::GetValue(HKEY_CURRENT_USER, W(scratch.Path()), name, out, number, size);
        text = Text(out);
        return type;
    }
};

TEST_F(RegHelperTest, StringValuesOfEveryLengthAreReturnedWhole)
{
    // 255 to 257 characters sit around the first read's 512-byte buffer.
    for (size_t length : {0u, 1u, 255u, 256u, 257u, 1000u}) {
        for (bool withTerminator : {true, false}) {
            std::wstring text(length, L' ');
            for (size_t i = 0; i < length; ++i) {
                text[i] = static_cast<wchar_t>(L'a' + i % 26);
            }
            WriteString(HKEY_CURRENT_USER, scratch.Path(), L"Text", text, REG_SZ, withTerminator);
            const std::wstring read = ReadText(L"Text");
            EXPECT_TRUE(read == text) << "length " << length << ", terminator " << withTerminator
                                      << " gave " << read.size() << ": " << Shown(read);
        }
    }
    Put(L"Text", REG_SZ, std::wstring(L"ab\0cd", 6));
    EXPECT_EQ(ReadText(L"Text"), L"ab") << "a string ends at its first null";
}

TEST_F(RegHelperTest, MultiStringsBecomeLinesWithoutTheEmptyOnes)
{
    const std::wstring longItem(400, L'z');
    const std::wstring null(1, L'\0');
    const struct {
        const char* label;
        std::wstring data;  // raw characters stored, nulls included
        std::wstring expected;
    } cases[] = {
        {"x, empty, y", L"x" + null + null + L"y" + null + null, L"x\ny\n"},
        {"only the closing null", null, L""},
        {"no data at all", L"", L""},
        {"no closing nulls", L"x" + null + L"y", L"x\ny\n"},
        {"longer than the first read", longItem + null + longItem + null + null,
         longItem + L"\n" + longItem + L"\n"},
    };
    for (const auto& c : cases) {
        Put(L"Multi", REG_MULTI_SZ, c.data);
        const std::wstring read = ReadText(L"Multi");
        EXPECT_TRUE(read == c.expected) << c.label << ": " << Shown(read);
    }
}

TEST_F(RegHelperTest, OnlyStringTypesHaveTextThroughGetStringValue)
{
    Put(L"Expand", REG_EXPAND_SZ, std::wstring(L"%TEMP%\0", 7));
    WriteDword(HKEY_CURRENT_USER, scratch.Path(), L"Dword", 5000);
    Put(L"Binary", REG_BINARY, L"50");
    for (const wchar_t* name : {L"Expand", L"Dword", L"Binary", L"Missing"}) {
        EXPECT_EQ(ReadText(name), L"") << Shown(name);
    }
}

TEST_F(RegHelperTest, NumbersReadAsUnsignedDecimalAndBinariesAsTheirSize)
{
    const ULONGLONG qwordMax = 0xFFFFFFFFFFFFFFFFull;
    const ULONGLONG qwordHigh = 0x100000005ull;
    const BYTE bytes[25] = {1, 2, 3};
    WriteDword(HKEY_CURRENT_USER, scratch.Path(), L"DwordMax", 0xFFFFFFFFu);
    WriteBytes(HKEY_CURRENT_USER, scratch.Path(), L"QwordMax", REG_QWORD, &qwordMax, 8);
    WriteBytes(HKEY_CURRENT_USER, scratch.Path(), L"QwordHigh", REG_QWORD, &qwordHigh, 8);
    WriteBytes(HKEY_CURRENT_USER, scratch.Path(), L"Binary3", REG_BINARY, bytes, 3);
    WriteBytes(HKEY_CURRENT_USER, scratch.Path(), L"Binary25", REG_BINARY, bytes, 25);
    const struct {
        const wchar_t* name;
        DWORD type;
        const wchar_t* text;
        DWORD number;
        DWORD size;
    } cases[] = {
        {L"DwordMax", REG_DWORD, L"4294967295", 0xFFFFFFFFu, 7},
        {L"QwordMax", REG_QWORD, L"18446744073709551615", 0xFFFFFFFFu, 7},
        {L"QwordHigh", REG_QWORD, L"4294967301", 5, 7},
        {L"Binary3", REG_BINARY, L"kept", 9, 3},
        {L"Binary25", REG_BINARY, L"kept", 9, 25},
    };
    for (const auto& c : cases) {
        std::wstring text;
        DWORD number = 0;
        DWORD size = 0;
        EXPECT_EQ(Read(c.name, text, number, size), c.type) << Shown(c.name);
        EXPECT_EQ(text, c.text) << Shown(c.name);
        EXPECT_EQ(number, c.number) << Shown(c.name);
        EXPECT_EQ(size, c.size) << Shown(c.name);
    }
}

TEST_F(RegHelperTest, OversizedNumberLeavesTextAndNumberAndTracesItsSize)
{
    const BYTE twelveBytes[12] = {2};
    WriteBytes(HKEY_CURRENT_USER, scratch.Path(), L"LongDword", REG_DWORD, twelveBytes, 8);
    WriteBytes(HKEY_CURRENT_USER, scratch.Path(), L"LongQword", REG_QWORD, twelveBytes, 12);
    const TraceCapture trace;
    for (const wchar_t* name : {L"LongDword", L"LongQword"}) {
        std::wstring text;
        DWORD number = 0;
        DWORD size = 0;
        Read(name, text, number, size);
        EXPECT_EQ(text, L"kept") << Shown(name);
        EXPECT_EQ(number, 9u) << Shown(name);
    }
    const std::wstring lines = trace.Text();
    EXPECT_EQ(Occurrences(lines, L"<ERROR> REG_DWORD ERROR_MORE_DATA, size:8\n"), 1)
        << Shown(lines);
    EXPECT_EQ(Occurrences(lines, L"<ERROR> REG_QWORD ERROR_MORE_DATA, size:12\n"), 1)
        << Shown(lines);
}

TEST_F(RegHelperTest, MissingValueHasTypeZeroAndIsNoError)
{
    WriteString(HKEY_CURRENT_USER, scratch.Path(), L"Other", L"x");
    const TraceCapture trace;
    EXPECT_EQ(CRegHelper::GetValueType(HKEY_CURRENT_USER, W(scratch.Path()), L"Missing"), 0u);
    std::wstring text;
    DWORD number = 0;
    DWORD size = 0;
    EXPECT_EQ(Read(L"Missing", text, number, size), 0u);
    EXPECT_EQ(text, L"kept");
    EXPECT_EQ(CRegHelper::GetValueType(HKEY_CURRENT_USER, W(scratch.Path()), L"Other"),
              static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(trace.Text(), L"") << Shown(trace.Text());
}

TEST_F(RegHelperTest, MissingKeyHasTypeZeroAndWritesOneErrorLine)
{
    const XStringW missingKey = W(scratch / L"Missing");
    const TraceCapture trace;
    EXPECT_EQ(CRegHelper::GetValueType(HKEY_CURRENT_USER, missingKey, L"Status"), 0u);
    const std::wstring lines = trace.Text();
    EXPECT_EQ(Occurrences(lines, L"\r\n"), 1) << Shown(lines);
    // The number is the open's own failure: the key was not found.
    EXPECT_EQ(Occurrences(lines, L"CRegHelper::GetValueType("), 1) << Shown(lines);
    EXPECT_EQ(Occurrences(lines, L" :  <ERROR> RegOpenKeyEx(GetLastError:2)\r\n"), 1)
        << Shown(lines);
    XStringW text(L"kept");
    DWORD number = 3;
    DWORD size = 4;
    EXPECT_EQ(CRegHelper::GetValue(HKEY_CURRENT_USER, missingKey, L"Status", text, number, size),
              0u);
    EXPECT_EQ(Text(text), L"kept");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, scratch / L"Missing")) << "a read created the key";
}

TEST_F(RegHelperTest, SetValueCreatesEveryMissingParentAndWritesTerminatedText)
{
    const std::wstring deepKey = scratch / L"a\\b\\c";
    EXPECT_TRUE(CRegHelper::SetValue(W(deepKey), L"Path", L"C:\\Tools\\agent.exe"));
    const auto [type, bytes] = ReadRaw(HKEY_CURRENT_USER, deepKey, L"Path");
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    const std::wstring expected(L"C:\\Tools\\agent.exe\0", 19);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()),
                           bytes.size() / sizeof(wchar_t)),
              expected);

    // An existing key is opened, not replaced: its other values stay.
    EXPECT_TRUE(CRegHelper::SetValue(W(deepKey), L"Status", L""));
    EXPECT_EQ(ReadRaw(HKEY_CURRENT_USER, deepKey, L"Status").second.size(), sizeof(wchar_t));
    EXPECT_EQ(ReadStringOrState(HKEY_CURRENT_USER, deepKey, L"Path"), L"C:\\Tools\\agent.exe");
}

TEST_F(RegHelperTest, SubKeysAreListedInEnumerationOrder)
{
    EXPECT_EQ(CRegHelper::GetSubKeyList(HKEY_CURRENT_USER, W(scratch.Path())).GetCount(), 0);
    EXPECT_EQ(CRegHelper::GetSubKeyList(HKEY_CURRENT_USER, W(scratch / L"Missing")).GetCount(), 0);

    for (const std::wstring& name : {std::wstring(L"agent.exe"), std::wstring(L"B.EXE"),
                                     std::wstring(255, L'n')}) {  // the longest key name
        WriteString(HKEY_CURRENT_USER, scratch / name, L"Path", L"x");
    }
    WriteString(HKEY_CURRENT_USER, scratch.Path(), L"Interval", L"1000");  // a value, no subkey
    const std::vector<std::wstring> listed =
        Names(CRegHelper::GetSubKeyList(HKEY_CURRENT_USER, W(scratch.Path())));
    EXPECT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed, SubKeys(HKEY_CURRENT_USER, scratch.Path()));
}

}  // namespace
