// The usage text, built from the word tables, and the two words that only print something.

#include "app/Commands.h"
#include "app/ConsoleOutput.h"
#include "app/Dispatch.h"
#include "app/Version.h"

namespace {

constexpr const wchar_t* kProgramName = L"QuorbelService.exe";
// The synopsis column is this wide; a longer synopsis puts its description on the next line.
constexpr int kSynopsisWidth = 18;

XStringW Blanks(int count)
{
    XStringW blanks;
    for (int i = 0; i < count; ++i) {
        blanks += L" ";
    }
    return blanks;
}

void AppendLine(XStringW& text, const wchar_t* synopsis, const wchar_t* description)
{
    XStringW line;
    line.Format(L"  %s %s", kProgramName, synopsis);
    const int column = static_cast<int>(wcslen(kProgramName)) + 3 + kSynopsisWidth;
    if (line.GetLength() >= column) {
        text.AppendFormat(L"%@\r\n", line);
        line = L"";
    }
    text.AppendFormat(L"%@%@%s\r\n", line, Blanks(column - line.GetLength()), description);
}

void AppendWords(XStringW& text, const WordTable& table)
{
    for (size_t i = 0; i < table.count; ++i) {
        const CommandWord& word = table.words[i];
        if (word.subWords != nullptr) {
            AppendWords(text, *word.subWords);
        } else if (word.synopsis != nullptr) {
            AppendLine(text, word.synopsis, word.description);
        }
    }
}

XStringW UsageText()
{
    XStringW text(L"Quorbel Service Monitor: keeps the programs on your watch list running.\r\n"
                  L"Usage (as an administrator):\r\n");
    AppendWords(text, kCommandWords);
    AppendLine(text, L"", L"make every paused entry active");
    text += L"Exit codes: 0 done, 2 usage, 3 invalid entry name, 4 no such entry, 5 failed,\r\n"
            L"6 another instance runs in this session.";
    return text;
}

}  // namespace

int UsageError()
{
    WriteOutputLine(UsageText());
    return kExitUsage;
}

int RunHelpCommand(const Operands& operands)
{
    if (!operands.empty()) {
        return UsageError();
    }
    WriteOutputLine(UsageText());
    return kExitSuccess;
}

int RunVersionCommand(const Operands& operands)
{
    if (!operands.empty()) {
        return UsageError();
    }
    Say(L"%s %s", kServiceName, QUORBEL_VERSION_TEXT_W);
    return kExitSuccess;
}
