// Command-line text: quoted arguments read back by the platform's own parser, cmd.exe's command
// characters escaped only where cmd.exe sees them, control characters spelled out.

#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "strings/CommandLineText.h"
#include "strings/ExitCodeText.h"
#include "strings/JsonText.h"
#include "strings/PathText.h"

using testing_support::Utf8;

namespace {

std::vector<std::wstring> ParsedBack(const XStringW& arguments)
{
    // The parser treats the program name apart, so one goes first.
    const std::wstring commandLine = std::wstring(L"prog.exe ") + arguments.GetString();
    int count = 0;
    wchar_t** parsed = CommandLineToArgvW(commandLine.c_str(), &count);
    std::vector<std::wstring> words;
    for (int i = 1; parsed != nullptr && i < count; ++i) {
        words.emplace_back(parsed[i]);
    }
    LocalFree(parsed);
    return words;
}

TEST(CommandLineTextTest, JoinedArgumentsParseBackToTheSameWords)
{
    const std::vector<std::vector<std::wstring>> vectors = {
        {L"--name", L"a b", L"x&y"},
        {L""},
        {L"a\"b", L"\"", L"\\\"", L"end\\"},
        {L"C:\\Program Files\\x\\", L"tab\there", L"two  blanks"},
        {L"\\\\server\\share", L"a\\\\\"b", L"%PATH%", L"^&|<>()@"},
    };
    for (const std::vector<std::wstring>& words : vectors) {
        std::vector<XStringW> arguments;
        for (const std::wstring& word : words) {
            arguments.emplace_back(word.c_str());
        }
        const XStringW joined = JoinArguments(arguments);
        EXPECT_EQ(words, ParsedBack(joined)) << Utf8(joined.GetString());
    }
    EXPECT_EQ(std::wstring(L"plain"), QuoteArgument(L"plain").GetString());
    EXPECT_EQ(std::wstring(L"\"a b\\\\\""), QuoteArgument(L"a b\\").GetString());
}

TEST(CommandLineTextTest, CommandCharactersAreEscapedOnlyOutsideQuotesAsCmdCountsThem)
{
    struct Case {
        const wchar_t* text;
        const wchar_t* escaped;
    };
    const Case cases[] = {
        {L"x&y", L"x^&y"},
        {L"& | < > ^ ( ) @", L"^& ^| ^< ^> ^^ ^( ^) ^@"},
        {L"\"a&b\" c&d", L"\"a&b\" c^&d"},
        // cmd.exe takes \" for a quote like any other: the state follows every quote.
        {L"\"q\\\"uote&\"", L"\"q\\\"uote^&\""},
        {L"%NAME%!", L"%NAME%!"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(std::wstring(c.escaped), EscapeForCommandInterpreter(c.text).GetString())
            << Utf8(c.text);
    }
}

TEST(CommandLineTextTest, ExitCodesFromTheStatusRangeAreHexWithANameTheRestDecimal)
{
    const std::pair<DWORD, const wchar_t*> codes[] = {
        {0, L"0"},
        {7, L"7"},
        {9009, L"9009"},
        {0xBFFFFFFF, L"3221225471"},
        {0xC0000005, L"0xC0000005 (access violation)"},
        {0xC0000409, L"0xC0000409 (stack buffer overrun)"},
        {0xC0000001, L"0xC0000001"},
        {0xFFFFFFFF, L"0xFFFFFFFF"},
    };
    for (const auto& code : codes) {
        EXPECT_EQ(std::wstring(code.second), ExitCodeText(code.first).GetString()) << code.first;
    }
    EXPECT_EQ(std::wstring(L"program not found"), StartFailureWords(ERROR_FILE_NOT_FOUND).GetString());
    EXPECT_EQ(std::wstring(L"directory not found"), StartFailureWords(ERROR_DIRECTORY).GetString());
    EXPECT_EQ(std::wstring(L""), StartFailureWords(ERROR_NOT_ENOUGH_MEMORY).GetString());
}

TEST(CommandLineTextTest, JsonStringsAreAsciiWithEveryOtherCharacterEscaped)
{
    const std::pair<const wchar_t*, const wchar_t*> texts[] = {
        {L"plain", L"\"plain\""},
        {L"a\"b\\c/", L"\"a\\\"b\\\\c/\""},
        {L"\t\x1b\x7f", L"\"\\u0009\\u001b\\u007f\""},
        {L"\u7a0b\U0001F600", L"\"\\u7a0b\\ud83d\\ude00\""},
    };
    for (const auto& text : texts) {
        EXPECT_EQ(std::wstring(text.second), JsonString(XStringW(text.first)).GetString())
            << Utf8(text.first);
    }
}

TEST(CommandLineTextTest, OnlyDrivePathsAndSharesAreAbsoluteAndTheConsoleLineQuotesThePathTwice)
{
    for (const wchar_t* path : {L"C:\\", L"c:\\x", L"\\\\srv\\share\\x"}) {
        EXPECT_TRUE(IsAbsolutePath(XStringW(path))) << Utf8(path);
    }
    for (const wchar_t* path : {L"", L"C:", L"C:x", L"\\x", L"x\\y", L"\\\\srv\\share"}) {
        EXPECT_FALSE(IsAbsolutePath(XStringW(path))) << Utf8(path);
    }
    EXPECT_EQ(std::wstring(L"/c \"\"C:\\a b\\p.exe\" x^&y\""),
              ConsoleCommandLine(XStringW(L"C:\\a b\\p.exe"), XStringW(L"x&y")).GetString());
}

}  // namespace
