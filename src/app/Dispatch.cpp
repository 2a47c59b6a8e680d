#include "app/Dispatch.h"

#include "app/Commands.h"
#include "trace/Trace.h"

namespace {

XStringW Trimmed(const XStringW& argument)
{
    XStringW text = argument;
    text.TrimRight();
    text.TrimLeft();
    return text;
}

bool Matches(const CommandWord& word, const XStringW& argument)
{
    if (word.match == WordMatch::kSuffix) {
        return XStringW(word.word).IsSuffixOf(argument);
    }
    return argument.Compare(word.word) == 0;
}

// The word whose usage the operands ask for: "add --help", "svc start /?". Null when they ask
// for nothing; the words after a program path are the program's own, so only the first operand
// (or the second, after a word of a family) counts.
const CommandWord* HelpAskedFor(const CommandWord& word, const Operands& operands)
{
    if (!operands.empty() && IsHelpWord(operands.front())) {
        return &word;
    }
    if (word.subWords != nullptr && operands.size() >= 2 && IsHelpWord(operands[1])) {
        return FindWord(*word.subWords, operands.front());
    }
    return nullptr;
}

}  // namespace

const CommandWord* FindWord(const WordTable& table, const XStringW& argument)
{
    for (size_t i = 0; i < table.count; ++i) {
        if (Matches(table.words[i], argument)) {
            return &table.words[i];
        }
    }
    return nullptr;
}

bool IsSilentForm(const std::vector<XStringW>& arguments)
{
    if (arguments.size() <= 1) {
        return true;
    }
    const CommandWord* const word = FindWord(kCommandWords, arguments[1]);
    return arguments.size() == 2 && word != nullptr && word->run == RunServiceCommand;
}

int DispatchCommand(const std::vector<XStringW>& arguments)
{
    const size_t count = arguments.size();
    if (count <= 1) {
        if (count == 1) {
            TraceLog("main", __LINE__, L"arg count = 1");
        }
        RestartAllOnce();
        RunService();
        return kExitSuccess;
    }
    // A lone word is taken as typed: "svc " (quoted, with its blank) is no service word. A word
    // with operands is trimmed, and so is its first operand; the rest stay as typed.
    const XStringW first = count == 2 ? arguments[1] : Trimmed(arguments[1]);
    Operands operands(arguments.begin() + 2, arguments.end());
    if (!operands.empty()) {
        operands.front() = Trimmed(operands.front());
    }
    const CommandWord* const word = FindWord(kCommandWords, first);
    if (word == nullptr) {
        return UsageError();
    }
    const CommandWord* const helpWord = HelpAskedFor(*word, operands);
    if (helpWord != nullptr) {
        return PrintUsageOf(*helpWord, kExitSuccess);
    }
    return word->run(operands);
}
