// The usage text, built from the word tables, each word's own usage, and the two words that only
// print something.

#include "app/Commands.h"
#include "app/ConsoleOutput.h"
#include "app/Dispatch.h"
#include "app/Version.h"

namespace {

// As typed at a prompt: the console twin QuorbelService.com is found before the .exe.
constexpr const wchar_t* kProgramName = L"QuorbelService";
// The synopsis column is this wide; a longer synopsis puts its description on the next line.
constexpr int kSynopsisWidth = 18;
constexpr const wchar_t* kHelpWords[] = {L"help", L"/?", L"-h", L"--help"};

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
        if (word.synopsis == nullptr) {
            continue;
        }
        if (word.subWords != nullptr) {
            AppendWords(text, *word.subWords);
        } else {
            AppendLine(text, word.synopsis, word.description);
        }
    }
}

// A second spelling ("--version", "/?") is shown as the word it spells.
const CommandWord& ShownWord(const CommandWord& word)
{
    for (size_t i = 0; word.synopsis == nullptr && i < kCommandWords.count; ++i) {
        const CommandWord& other = kCommandWords.words[i];
        if (other.run == word.run && other.synopsis != nullptr) {
            return other;
        }
    }
    return word;
}

constexpr const wchar_t* kElevatedNote =
    L"The svc words need an elevated prompt; the others act on your own watch list.\r\n";

XStringW UsageText()
{
    XStringW text(L"Quorbel Service Monitor: keeps the programs on your watch list running.\r\n"
                  L"Usage:\r\n");
    AppendWords(text, kCommandWords);
    AppendLine(text, L"", L"make every paused entry active");
    text += kElevatedNote;
    text += L"A help word (help, /?, -h, --help) after any word prints that word's usage.\r\n"
            L"Exit codes: 0 done, 2 usage, 3 invalid entry name, 4 no such entry, 5 failed,\r\n"
            L"6 another instance runs in this session.";
    return text;
}

}  // namespace

bool IsHelpWord(const XStringW& word)
{
    for (const wchar_t* helpWord : kHelpWords) {
        if (word.Compare(helpWord) == 0) {
            return true;
        }
    }
    return false;
}

int PrintUsageOf(const CommandWord& word, int exitCode)
{
    const CommandWord& shown = ShownWord(word);
    XStringW text(L"Usage:\r\n");
    if (shown.subWords != nullptr) {
        AppendWords(text, *shown.subWords);
        text += kElevatedNote;
    } else if (shown.synopsis != nullptr) {
        AppendLine(text, shown.synopsis, shown.description);
    }
    if (shown.moreUsage != nullptr) {
        shown.moreUsage(text);
    }
    // The last line break is the one every answer ends with.
    WriteOutputLine(text.Left(text.GetLength() - 2));
    return exitCode;
}

int UsageError()
{
    WriteOutputLine(UsageText());
    return kExitUsage;
}

// "help" alone prints the whole text; "help add" and "help svc start" the usage of that word.
int RunHelpCommand(const Operands& operands)
{
    if (operands.empty()) {
        WriteOutputLine(UsageText());
        return kExitSuccess;
    }
    const CommandWord* word = FindWord(kCommandWords, operands.front());
    if (word != nullptr && operands.size() == 2 && word->subWords != nullptr) {
        word = FindWord(*word->subWords, operands[1]);
    } else if (operands.size() > 1) {
        word = nullptr;
    }
    return word == nullptr ? UsageError() : PrintUsageOf(*word, kExitSuccess);
}

int RunVersionCommand(const Operands& operands)
{
    if (!operands.empty()) {
        return UsageError();
    }
    Say(L"%s %s", kServiceName, QUORBEL_VERSION_TEXT_W);
    return kExitSuccess;
}
