// Command-line text: quoted arguments read back by the platform's own parser, cmd.exe's command
// characters escaped only where cmd.exe sees them, control characters spelled out.

#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "strings/CommandLineText.h"

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

}  // namespace
