// The usage text, built from the word tables, each word's own usage, and the two words that only
// print something.

#include "app/Commands.h"
#include "app/ConsoleOutput.h"
#include "app/Dispatch.h"
#include "app/Version.h"
#include "strings/CommandLineText.h"

#include <algorithm>
#include <vector>

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

wchar_t Folded(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// How many characters must be changed, added or taken away to make one text the other, letter
// case ignored.
size_t EditDistance(const XStringW& typed, const wchar_t* word)
{
    const size_t wordLength = wcslen(word);
    std::vector<size_t> previous(wordLength + 1);
    std::vector<size_t> current(wordLength + 1);
    for (size_t j = 0; j <= wordLength; ++j) {
        previous[j] = j;
    }
    for (int i = 0; i < typed.GetLength(); ++i) {
        current[0] = static_cast<size_t>(i) + 1;
        for (size_t j = 1; j <= wordLength; ++j) {
            const size_t same = Folded(typed.GetAt(i)) == Folded(word[j - 1]) ? 0 : 1;
            const size_t change = previous[j - 1] + same;
            current[j] = std::min({change, previous[j] + 1, current[j - 1] + 1});
        }
        previous.swap(current);
    }
    return previous[wordLength];
}

// A typed word is taken for the word it misses by at most two characters (one for a short one).
constexpr size_t kMostEdits = 2;

// The listed word the argument comes nearest to, null when none is near.
const CommandWord* NearestWord(const XStringW& argument)
{
    const CommandWord* nearest = nullptr;
    size_t fewest = kMostEdits + 1;
    for (size_t i = 0; i < kCommandWords.count; ++i) {
        const CommandWord& word = kCommandWords.words[i];
        const size_t edits = EditDistance(argument, word.word);
        if (word.synopsis != nullptr && edits < fewest && edits < wcslen(word.word) / 2 + 1) {
            nearest = &word;
            fewest = edits;
        }
    }
    return nearest;
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
    // Asked for, it is the answer; after a usage error, part of the error.
    void (*const write)(const XStringW&) =
        exitCode == kExitSuccess ? WriteOutputLine : WriteErrorLine;
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
    write(text.Left(text.GetLength() - 2));
    return exitCode;
}

int UsageAfterError(const wchar_t* words)
{
    const XStringW text(words);
    const int blank = text.Find(L" ");
    const CommandWord* word = FindWord(kCommandWords, blank < 0 ? text : text.Left(blank));
    if (word != nullptr && blank >= 0 && word->subWords != nullptr) {
        word = FindWord(*word->subWords, text.Mid(blank + 1, text.GetLength() - blank - 1));
    }
    if (word == nullptr) {
        return kExitUsage;
    }
    return PrintUsageOf(*word, kExitUsage);
}

int UsageError(const wchar_t* words, const XStringW& notUnderstood)
{
    SayError(L"%s: \"%@\" was not understood", words, WithControlCharactersShown(notUnderstood));
    return UsageAfterError(words);
}

int MissingOperand(const wchar_t* words, const wchar_t* missing)
{
    SayError(L"%s: %s is missing", words, missing);
    return UsageAfterError(words);
}

int ExpectOneOperand(const wchar_t* words, const wchar_t* what, const Operands& operands)
{
    if (operands.empty()) {
        return MissingOperand(words, what);
    }
    return operands.size() == 1 ? kExitSuccess : UsageError(words, operands[1]);
}

int UnknownWord(const XStringW& argument)
{
    const CommandWord* const nearest = NearestWord(argument);
    const XStringW shown = WithControlCharactersShown(argument);
    if (nearest == nullptr) {
        SayError(L"\"%@\" is no command word; %s help lists them", shown, kProgramName);
        return kExitUsage;
    }
    SayError(L"\"%@\" is no command word; the nearest is %s", shown, nearest->word);
    return PrintUsageOf(*nearest, kExitUsage);
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
    if (word == nullptr) {
        return UsageError(L"help", operands.back());
    }
    return PrintUsageOf(*word, kExitSuccess);
}

int RunVersionCommand(const Operands& operands)
{
    if (!operands.empty()) {
        return UsageError(L"version", operands.front());
    }
    Say(L"%s %s", kServiceName, QUORBEL_VERSION_TEXT_W);
    return kExitSuccess;
}
