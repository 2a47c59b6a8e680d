#include "app/Dispatch.h"

#include <windows.h>

#include "app/Commands.h"
#include "service/CWindowService.h"
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

// The command line taken apart: its word (null when the first argument is none) and the
// operands after it.
struct CommandForm {
    XStringW first;
    const CommandWord* word = nullptr;
    Operands operands;
};

CommandForm Parse(const std::vector<XStringW>& arguments)
{
    CommandForm form;
    const size_t count = arguments.size();
    // A lone word is taken as typed: "svc " (quoted, with its blank) is no service word. A word
    // with operands is trimmed, and so is its first operand; the rest stay as typed.
    form.first = count == 2 ? arguments[1] : Trimmed(arguments[1]);
    form.operands.assign(arguments.begin() + 2, arguments.end());
    if (!form.operands.empty()) {
        form.operands.front() = Trimmed(form.operands.front());
    }
    form.word = FindWord(kCommandWords, form.first);
    return form;
}

// The words that only tell: they change nothing, so they need no guard.
bool OnlyTells(const CommandWord& word, const Operands& operands)
{
    const CommandRunner telling[] = {RunListCommand, RunCheckCommand, RunVersionCommand,
                                     RunHelpCommand};
    for (const CommandRunner runner : telling) {
        if (word.run == runner) {
            return true;
        }
    }
    if (word.subWords == nullptr) {
        return false;
    }
    // A lone svc prints its words' usage; a svc word that is none is a usage error.
    if (operands.empty()) {
        return word.run == RunSvcCommand;
    }
    const CommandWord* const serviceWord =
        operands.size() == 1 ? FindWord(*word.subWords, operands.front()) : nullptr;
    return serviceWord == nullptr || serviceWord->run == RunServiceStatus;
}

// Whether the service control manager is starting this very process as the service: a
// registration whose command line has no "service" word starts it without arguments, as the
// logon run is started. The manager's own record of the starting service's process tells them
// apart.
bool IsStartingService()
{
    ServiceQuery query;
    return CWindowService::Query(XStringW(kServiceName), query) && query.installed &&
           query.state == SERVICE_START_PENDING && query.processId == ::GetCurrentProcessId();
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

RunForm FormOf(const std::vector<XStringW>& arguments)
{
    if (arguments.size() <= 1) {
        static const bool startingService = IsStartingService();
        return startingService ? RunForm::kService : RunForm::kLogonRun;
    }
    const CommandForm form = Parse(arguments);
    if (form.word == nullptr) {
        return RunForm::kReadOnly;
    }
    if (arguments.size() == 2 && form.word->run == RunServiceCommand) {
        return RunForm::kService;
    }
    if (HelpAskedFor(*form.word, form.operands) != nullptr ||
        OnlyTells(*form.word, form.operands)) {
        return RunForm::kReadOnly;
    }
    return RunForm::kWriting;
}

int DispatchCommand(const std::vector<XStringW>& arguments)
{
    if (arguments.size() <= 1) {
        if (arguments.size() == 1) {
            TraceLog("main", __LINE__, L"arg count = 1");
        }
        RestartAllOnce();
        // Outside the service control manager the dispatcher has nothing to do: it would only
        // fail, and under Wine only after ten seconds.
        if (FormOf(arguments) == RunForm::kService) {
            RunService();
        }
        return kExitSuccess;
    }
    const CommandForm form = Parse(arguments);
    if (form.word == nullptr) {
        return UnknownWord(form.first);
    }
    const CommandWord* const helpWord = HelpAskedFor(*form.word, form.operands);
    if (helpWord != nullptr) {
        return PrintUsageOf(*helpWord, kExitSuccess);
    }
    return form.word->run(form.operands);
}
