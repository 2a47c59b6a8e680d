#pragma once
// The command words and the families that carry them out. DispatchCommand finds the word in
// kCommandWords and hands its runner the words typed after it, its operands: the first operand
// trimmed of blanks at both ends, the others as typed (they may be a program's own arguments).
//
// To add a word: write its runner in the file of its family, declare it below and give it a row
// in CommandTable.cpp with its line of the usage text.

#include <vector>

#include "config/CQuorbelServiceHelper.h"
#include "strings/XStringW.h"

// The service's name, as registered and as the answers call it.
constexpr const wchar_t* kServiceName = L"QuorbelService";

using Operands = std::vector<XStringW>;
using CommandRunner = int (*)(const Operands& operands);

// How the first argument is matched against a word.
enum class WordMatch {
    kSuffix,  // the argument ends with the word ("svc", "-svc" and "mysvc" all select svc)
    kExact,   // the argument is the word
};

struct CommandWord;

// A list of words, each tried in order; the first that matches wins.
struct WordTable {
    const CommandWord* words;
    size_t count;
};

struct CommandWord {
    const wchar_t* word;
    WordMatch match;
    CommandRunner run;
    // Its line of the usage text: what to type after the program's name, and what it does. A
    // word without a synopsis is left out (a second spelling of a word, or a help word).
    const wchar_t* synopsis;
    const wchar_t* description;
    // The words that follow it, when it names a family of its own (svc); the usage text lists
    // them in its place.
    const WordTable* subWords;
    // Adds the lines that only the word's own help shows (add's options, for example); may be
    // null.
    void (*moreUsage)(XStringW& text);
};

// The first words of the command line (CommandTable.cpp).
extern const WordTable kCommandWords;

// The first word of the table that the argument matches; null when none does (Dispatch.cpp).
const CommandWord* FindWord(const WordTable& table, const XStringW& argument);

// ---- service family (ServiceCommands.cpp) ------------------------------------------------------
// svc install|uninstall|start|stop|pause|status|lockdown, each from an elevated prompt only. A
// lone "svc" prints the usage of these words; a lone "service", the word the service control
// manager starts the executable with, runs the service itself.
int RunSvcCommand(const Operands& operands);
int RunServiceCommand(const Operands& operands);
// svc status: it only tells.
int RunServiceStatus(const Operands& operands);
extern const WordTable kServiceWords;
void RunService();  // RunService.cpp

// ---- watch-list family (WatchListCommands.cpp, AddCommand.cpp) ---------------------------------
int RunAddCommand(const Operands& operands);
void AddOptionsUsage(XStringW& text);
int RunRemoveCommand(const Operands& operands);
int RunPauseCommand(const Operands& operands);
int RunRestartCommand(const Operands& operands);
// relaunch <entry> (RelaunchCommand.cpp): closes the program so that the service starts it again.
int RunRelaunchCommand(const Operands& operands);
void RelaunchUsage(XStringW& text);
// The answers to a name that is no entry name, and to one that is not on the list; each returns
// its exit code.
int SayInvalidEntryName(const XStringW& entryName);
int SayNoSuchEntry(const XStringW& entryName);
// 0 when the name is no entry set by machine policy; otherwise answers that the word is refused
// and returns the exit code for it.
int RefuseIfSetByPolicy(const wchar_t* word, const XStringW& entryName);
// Makes every paused entry active, at most once per process.
void RestartAllOnce();
WatchListResult AddService(const XStringW& path, const XStringW& entryName,
                           const XStringW& arguments, WatchListEdit* edit,
                           DWORD hangTimeout = CQuorbelServiceHelper::kKeepHangTimeout,
                           const XStringW& directory = XStringW(),
                           const XStringW* aliveCheck = nullptr);

// ---- reports (Reports.cpp) ---------------------------------------------------------------------
// list [-v | --json]: the service's state, the entries and the interval (Reports.h).
int RunListCommand(const Operands& operands);
// check: 0 when the service runs and so does every active entry; 1 when an active entry is in
// trouble; 5 when the service is not installed or does not run. A line for each in trouble.
int RunCheckCommand(const Operands& operands);
int PrintServiceStatus(const XStringW& serviceName);

// ---- usage and version (Usage.cpp) -------------------------------------------------------------
int RunHelpCommand(const Operands& operands);
int RunVersionCommand(const Operands& operands);
// Usage errors, on standard error: one line naming what was not understood (an operand of the
// words given as typed, "remove" or "svc install"), or what is missing, then the usage of those
// words; each returns the usage exit code.
int UsageError(const wchar_t* words, const XStringW& notUnderstood);
int MissingOperand(const wchar_t* words, const wchar_t* missing);
// The first argument is no command word: the usage of the nearest word, or where to look.
int UnknownWord(const XStringW& argument);
// The usage of words given as typed, after an error line of the caller's own.
int UsageAfterError(const wchar_t* words);
// For words that take exactly one operand (what names it): the usage error of any other count,
// 0 for one.
int ExpectOneOperand(const wchar_t* words, const wchar_t* what, const Operands& operands);
// Whether the word asks for help: "help", "/?", "-h" or "--help".
bool IsHelpWord(const XStringW& word);
// Prints the usage of the word (of the words of its family, for svc) and returns the exit code.
int PrintUsageOf(const CommandWord& word, int exitCode);
