#include "strings/CommandLineText.h"

#include <string>

namespace {

constexpr const wchar_t* kCommandCharacters = L"&|<>^()@";

bool NeedsQuotes(const std::wstring& argument)
{
    return argument.empty() || argument.find_first_of(L" \t\"") != std::wstring::npos;
}

bool IsCommandCharacter(wchar_t c)
{
    for (const wchar_t* p = kCommandCharacters; *p != L'\0'; ++p) {
        if (*p == c) {
            return true;
        }
    }
    return false;
}

bool IsControlCharacter(wchar_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

}  // namespace

XStringW QuoteArgument(const XStringW& argument)
{
    const std::wstring text(argument.GetString(), argument.GetLength());
    if (!NeedsQuotes(text)) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : text) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            // 2n + 1 backslashes read back as n backslashes and a literal quote.
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        backslashes = 0;
        quoted += c;
    }
    // Before the closing quote, 2n backslashes read back as n.
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return XStringW(quoted.c_str());
}

XStringW JoinArguments(const std::vector<XStringW>& arguments)
{
    XStringW joined;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0) {
            joined += L" ";
        }
        joined += QuoteArgument(arguments[i]);
    }
    return joined;
}

XStringW EscapeForCommandInterpreter(const XStringW& text)
{
    std::wstring escaped;
    bool quoted = false;
    const wchar_t* chars = text.GetString();
    for (int i = 0; i < text.GetLength(); ++i) {
        const wchar_t c = chars[i];
        if (c == L'"') {
            quoted = !quoted;
        } else if (!quoted && IsCommandCharacter(c)) {
            escaped += L'^';
        }
        escaped += c;
    }
    return XStringW(escaped.c_str());
}

bool HasControlCharacter(const XStringW& text)
{
    const wchar_t* chars = text.GetString();
    for (int i = 0; i < text.GetLength(); ++i) {
        if (IsControlCharacter(chars[i])) {
            return true;
        }
    }
    return false;
}

XStringW WithControlCharactersShown(const XStringW& text)
{
    if (!HasControlCharacter(text)) {
        return text;
    }
    XStringW shown;
    const wchar_t* chars = text.GetString();
    for (int i = 0; i < text.GetLength(); ++i) {
        if (IsControlCharacter(chars[i])) {
            shown.AppendFormat(L"<U+%04X>", static_cast<unsigned>(chars[i]));
        } else {
            const wchar_t single[2] = {chars[i], L'\0'};
            shown += single;
        }
    }
    return shown;
}

XStringW ConsoleCommandLine(const XStringW& path, const XStringW& arguments)
{
    XStringW commandLine;
    if (arguments.IsEmpty()) {
        commandLine.Format(L"/c \"\"%@\"\"", path);
    } else {
        commandLine.Format(L"/c \"\"%@\" %@\"", path, EscapeForCommandInterpreter(arguments));
    }
    return commandLine;
}
