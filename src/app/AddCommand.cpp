// The add form: checks what it is given, then writes the entry and says what it did.

#include <windows.h>

#include <vector>

#include "app/Commands.h"
#include "app/ConsoleOutput.h"
#include "app/Dispatch.h"
#include "config/AliveCheck.h"
#include "config/CQuorbelServiceHelper.h"
#include "config/HangTimeout.h"
#include "process/ProcessTable.h"
#include "strings/CaseFold.h"
#include "strings/CommandLineText.h"
#include "strings/ErrorText.h"
#include "strings/PathText.h"
#include "trace/Trace.h"

namespace {

// What add was asked for: the options, then the path as typed and the program's arguments,
// each one word.
struct AddRequest {
    XStringW typedPath;
    std::vector<XStringW> programArguments;
    XStringW directory;  // --dir, with backslashes only; empty: the entry's own stays
    DWORD hangTimeout = CQuorbelServiceHelper::kKeepHangTimeout;
    // --alive-file, --alive-port, --alive-url or --alive-none; without one the entry's stays.
    bool aliveGiven = false;
    alive_check::Check alive;  // none for --alive-none
};

// An option of add, typed before the program path ("add --name value C:\\path\\app.exe").
struct AddOption {
    const wchar_t* name;
    const wchar_t* valueName;  // shown in the usage text; null for an option without a value
    const wchar_t* description;
    // Takes the option's value into the request; returns 0, or the exit code of a refusal it
    // has answered.
    int (*take)(const XStringW& value, AddRequest& request);
};

// --hang-timeout SECONDS: 0 (off) or a number within hang_timeout's bounds, in decimal digits.
int TakeHangTimeout(const XStringW& value, AddRequest& request)
{
    bool digits = value.GetLength() > 0 && value.GetLength() <= 9;
    for (int i = 0; digits && i < value.GetLength(); ++i) {
        digits = value.GetAt(i) >= L'0' && value.GetAt(i) <= L'9';
    }
    const DWORD seconds = digits ? static_cast<DWORD>(value.ToUInt()) : 0;
    if (!digits || (seconds != 0 && (seconds < hang_timeout::kMinSeconds ||
                                     seconds > hang_timeout::kMaxSeconds))) {
        SayError(L"add: --hang-timeout takes 0 (off) or %u to %u seconds, not %@",
                 hang_timeout::kMinSeconds, hang_timeout::kMaxSeconds,
                 WithControlCharactersShown(value));
        return UsageAfterError(L"add");
    }
    request.hangTimeout = seconds;
    return kExitSuccess;
}

int TakeDirectory(const XStringW& value, AddRequest& request);
int TakeAliveFile(const XStringW& value, AddRequest& request);
int TakeAlivePort(const XStringW& value, AddRequest& request);
int TakeAliveUrl(const XStringW& value, AddRequest& request);
int TakeAliveNone(const XStringW& value, AddRequest& request);

const std::vector<AddOption> kAddOptions = {
    {L"--dir", L"folder", L"the program's working directory (absolute)", TakeDirectory},
    {L"--hang-timeout", L"SECONDS",
     L"end and restart the program when no window of it answered for that long (5 to 3600; 0: off)",
     &TakeHangTimeout},
    {L"--alive-file", L"PATH",
     L"alive while the file was written within the hang timeout (60 s without one)",
     &TakeAliveFile},
    {L"--alive-port", L"PORT",
     L"alive while a TCP connection to the local port is accepted within 2 s", &TakeAlivePort},
    {L"--alive-url", L"URL", L"alive while an HTTP(S) GET of the URL answers 2xx or 3xx within 5 s",
     &TakeAliveUrl},
    {L"--alive-none", nullptr, L"remove the entry's alive check", &TakeAliveNone},
};

constexpr const char* kAddName = "AddCommand";
// Room for a path with its variables expanded, for the existence check.
constexpr DWORD kExpandedChars = 32768;

// The text with %NAME% expanded as this user's environment has it, as cmd.exe will; the text
// itself when it cannot be expanded.
XStringW Expanded(const XStringW& text)
{
    std::vector<wchar_t> expanded(kExpandedChars, L'\0');
    const DWORD length = ::ExpandEnvironmentStringsW(text.GetString(), expanded.data(),
                                                     static_cast<DWORD>(expanded.size()));
    return (length > 0 && length <= expanded.size()) ? XStringW(expanded.data()) : text;
}

// Whether a file (or, for a folder, a directory) is there as this user sees the path.
bool IsThere(const XStringW& path, bool folder)
{
    const DWORD attributes = ::GetFileAttributesW(Expanded(path).GetString());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folder;
}

template <typename... Args>
int Refuse(int exitCode, const wchar_t* traced, const XStringW& path, const wchar_t* answer,
           const Args&... args)
{
    TraceError(kAddName, __LINE__, L"%s \"%@\"", traced, WithControlCharactersShown(path));
    XStringW text;
    text.Format(answer, args...);
    WriteErrorLine(text);
    return exitCode;
}

// The working directory must mean one folder whatever the service's own current directory.
int TakeDirectory(const XStringW& value, AddRequest& request)
{
    const XStringW shown = WithControlCharactersShown(value);
    if (HasControlCharacter(value) || value.Find(L"\"") >= 0) {
        return Refuse(kExitInvalidName, L"control character or quote in directory", value,
                      L"cannot add: the folder \"%@\" holds a control character or a double quote",
                      shown);
    }
    const XStringW directory = WithBackslashes(value);
    if (!IsAbsolutePath(Expanded(directory))) {
        return Refuse(kExitInvalidName, L"relative directory", value,
                      L"cannot add: the folder \"%@\" must be absolute (X:\\... or "
                      L"\\\\server\\share\\...)",
                      shown);
    }
    request.directory = directory;
    return kExitSuccess;
}

// An entry has one check at most: a second option is a mistake, not a replacement.
int TakeAlive(alive_check::Kind kind, const XStringW& value, AddRequest& request)
{
    if (request.aliveGiven) {
        Say(L"add: an entry has one alive check at most: give one of --alive-file, --alive-port, "
            L"--alive-url and --alive-none");
        return kExitUsage;
    }
    request.aliveGiven = true;
    if (kind == alive_check::Kind::kNone) {
        return kExitSuccess;
    }
    XStringW reason;
    if (!alive_check::Make(kind, value, request.alive, reason)) {
        return Refuse(kExitInvalidName, L"bad alive check", value, L"cannot add: %@", reason);
    }
    // A path made of variables must be absolute once they are expanded, as the user has them.
    if (kind == alive_check::Kind::kFile && !IsAbsolutePath(Expanded(request.alive.target))) {
        return Refuse(kExitInvalidName, L"relative alive file", value,
                      L"cannot add: the file \"%@\" must be absolute (X:\\... or "
                      L"\\\\server\\share\\...)",
                      WithControlCharactersShown(value));
    }
    return kExitSuccess;
}

int TakeAliveFile(const XStringW& value, AddRequest& request)
{
    return TakeAlive(alive_check::Kind::kFile, value, request);
}

int TakeAlivePort(const XStringW& value, AddRequest& request)
{
    return TakeAlive(alive_check::Kind::kPort, value, request);
}

int TakeAliveUrl(const XStringW& value, AddRequest& request)
{
    return TakeAlive(alive_check::Kind::kUrl, value, request);
}

int TakeAliveNone(const XStringW& value, AddRequest& request)
{
    return TakeAlive(alive_check::Kind::kNone, value, request);
}

// The reason the path or the arguments cannot make an entry, as the answer and exit code 3;
// 0 when they can.
int CheckAddition(const XStringW& typed, const XStringW& path, const XStringW& entryName,
                  const std::vector<XStringW>& programArguments)
{
    const XStringW shown = WithControlCharactersShown(typed);
    if (HasControlCharacter(typed)) {
        return Refuse(kExitInvalidName, L"control character in path", typed,
                      L"cannot add \"%@\": a program path holds no control character", shown);
    }
    if (typed.Find(L"\"") >= 0) {
        return Refuse(kExitInvalidName, L"double quote in path", typed,
                      L"cannot add \"%@\": a program path holds no double quote", shown);
    }
    if (!CQuorbelServiceHelper::IsValidEntryName(entryName)) {
        return Refuse(kExitInvalidName, L"invalid entry name", entryName,
                      L"cannot add \"%@\": its file name \"%@\" is no valid entry name (1 to %d "
                      L"characters, no backslash)",
                      shown, entryName, CQuorbelServiceHelper::kMaxEntryNameChars);
    }
    if (!IsAbsolutePath(path)) {
        return Refuse(kExitInvalidName, L"relative path", typed,
                      L"cannot add \"%@\": the path must be absolute (X:\\... or "
                      L"\\\\server\\share\\...)",
                      shown);
    }
    if (!HasExeExtension(entryName)) {
        return Refuse(kExitInvalidName, L"no .exe program", typed,
                      L"cannot add \"%@\": the program must be an .exe file", shown);
    }
    for (size_t i = 0; i < programArguments.size(); ++i) {
        if (HasControlCharacter(programArguments[i])) {
            return Refuse(kExitInvalidName, L"control character in argument", programArguments[i],
                          L"cannot add \"%@\": its argument %d holds a control character", shown,
                          static_cast<int>(i + 1));
        }
    }
    return kExitSuccess;
}

// cmd.exe refuses a longer command line, and the program would never run.
int CheckCommandLineLength(const XStringW& shownPath, const XStringW& path,
                           const XStringW& arguments)
{
    const int length = ConsoleCommandLine(path, arguments).GetLength();
    if (length <= kMaxConsoleCommandLineChars) {
        return kExitSuccess;
    }
    return Refuse(kExitInvalidName, L"command line too long", path,
                  L"cannot add \"%@\": its command line for cmd.exe would be %d characters long, "
                  L"cmd.exe takes at most %d",
                  shownPath, length, kMaxConsoleCommandLineChars);
}

// What became of the arguments: new ones, the old ones replaced or dropped, or the same again.
void AppendArgumentsChange(XStringW& answer, const XStringW& arguments, const WatchListEdit& edit)
{
    const XStringW& before = edit.previousArguments;
    if (!edit.replaced || before.IsEmpty() || before == arguments.GetString()) {
        if (!arguments.IsEmpty()) {
            answer.AppendFormat(L", arguments: %@", arguments);
        }
    } else if (arguments.IsEmpty()) {
        answer.AppendFormat(L", arguments dropped: %@", WithControlCharactersShown(before));
    } else {
        answer.AppendFormat(L", arguments replaced: %@ -> %@", WithControlCharactersShown(before),
                            arguments);
    }
}

void AppendDirectoryChange(XStringW& answer, const XStringW& directory, const WatchListEdit& edit)
{
    const XStringW& before = edit.previousDirectory;
    if (directory.IsEmpty()) {
        if (edit.replaced && !before.IsEmpty()) {
            answer.AppendFormat(L", directory kept: %@", WithControlCharactersShown(before));
        }
    } else if (!edit.replaced || before.IsEmpty() || SameIgnoringCase(before.GetString(), directory.GetString())) {
        answer.AppendFormat(L", directory: %@", directory);
    } else {
        answer.AppendFormat(L", directory replaced: %@ -> %@", WithControlCharactersShown(before),
                            directory);
    }
}

// The warnings about what this user cannot see, on standard error.
void WarnAboutMissingFiles(const XStringW& path, const AddRequest& request)
{
    if (!IsThere(path, false)) {
        SayError(L"warning: %@ is not there as seen from here (it may be for the service)", path);
    }
    if (!request.directory.IsEmpty() && !IsThere(request.directory, true)) {
        SayError(L"warning: the folder %@ is not there as seen from here", request.directory);
    }
    if (request.aliveGiven && request.alive.kind == alive_check::Kind::kFile &&
        !IsThere(request.alive.target, false)) {
        SayError(L"warning: %@ is not there yet as seen from here", request.alive.target);
    }
}

// ", alive check: port 8080 (fails after 60 s)", or what became of the entry's own.
void AppendAliveChange(XStringW& answer, const AddRequest& request, const WatchListEdit& edit)
{
    const XStringW& before = edit.previousAliveCheck;
    if (!request.aliveGiven) {
        if (!before.IsEmpty()) {
            answer.AppendFormat(L", alive check kept: %@", WithControlCharactersShown(before));
        }
        return;
    }
    if (!request.alive.IsSet()) {
        if (!before.IsEmpty()) {
            answer.AppendFormat(L", alive check removed: %@", WithControlCharactersShown(before));
        }
        return;
    }
    DWORD hangTimeout = request.hangTimeout;
    if (hangTimeout == CQuorbelServiceHelper::kKeepHangTimeout) {
        hangTimeout = edit.keptHangTimeout;
    }
    answer.AppendFormat(L", alive check: %@ (fails after %u s)", request.alive.Text(),
                        alive_check::TimeoutSeconds(hangTimeout));
}

XStringW AddedAnswer(const XStringW& entryName, const XStringW& path, const XStringW& arguments,
                     const AddRequest& request, const WatchListEdit& edit)
{
    const DWORD hangTimeout = request.hangTimeout;
    const XStringW& directory = request.directory;
    XStringW answer;
    if (edit.replaced && !SameIgnoringCase(edit.previousPath.GetString(), path.GetString())) {
        answer.AppendFormat(L"%@ replaced: %@ -> %@ (active)", entryName,
                            WithControlCharactersShown(edit.previousPath), path);
    } else {
        answer.AppendFormat(L"%@ added: %@ (active)", entryName, path);
    }
    AppendArgumentsChange(answer, arguments, edit);
    AppendDirectoryChange(answer, directory, edit);
    if (hangTimeout != CQuorbelServiceHelper::kKeepHangTimeout && hangTimeout != 0) {
        answer.AppendFormat(L", hang timeout %u s", hangTimeout);
    } else if (edit.keptHangTimeout != 0) {
        answer.AppendFormat(L", hang timeout kept: %u s", edit.keptHangTimeout);
    }
    AppendAliveChange(answer, request, edit);
    return answer;
}

// A running program keeps the command line it was started with: a re-add that changed it says
// so, and how to start the program with the new one.
void SayIfRunningOnOldSettings(const XStringW& entryName, const XStringW& path,
                               const XStringW& arguments, const XStringW& directory,
                               const WatchListEdit& edit)
{
    const bool changed =
        edit.replaced &&
        (!SameIgnoringCase(edit.previousPath.GetString(), path.GetString()) ||
         !(edit.previousArguments == arguments.GetString()) ||
         (!directory.IsEmpty() &&
          !SameIgnoringCase(edit.previousDirectory.GetString(), directory.GetString())));
    if (!changed) {
        return;
    }
    const XStringWList ids = ProcessTable::TakeForOwnSession().FindIds(entryName);
    if (ids.GetCount() > 0) {
        Say(L"%@ runs (process %@) with its old path, arguments and folder until it starts "
            L"again: %s relaunch %@ starts it with the new ones now",
            entryName, ids.GetAt(0), kServiceName, entryName);
    }
}

const AddOption* FindOption(const XStringW& word)
{
    for (const AddOption& option : kAddOptions) {
        if (word.Compare(option.name) == 0) {
            return &option;
        }
    }
    return nullptr;
}

bool IsOptionWord(const XStringW& word)
{
    return word.GetLength() > 2 && word.GetAt(0) == L'-' && word.GetAt(1) == L'-';
}

// Sorts the operands into options, path and program arguments; returns 0, or the exit code
// of the refusal it has answered. No path can start with "--", as a path must be absolute.
int ReadRequest(const Operands& operands, AddRequest& request)
{
    size_t next = 0;
    for (; next < operands.size() && IsOptionWord(operands[next]); ++next) {
        const AddOption* const option = FindOption(operands[next]);
        if (option == nullptr) {
            SayError(L"add: unknown option %@", WithControlCharactersShown(operands[next]));
            return UsageAfterError(L"add");
        }
        XStringW value;
        if (option->valueName != nullptr) {
            if (++next == operands.size()) {
                SayError(L"add: the option %s needs a value (%s)", option->name,
                         option->valueName);
                return UsageAfterError(L"add");
            }
            value = operands[next];
        }
        const int refused = option->take(value, request);
        if (refused != kExitSuccess) {
            return refused;
        }
    }
    if (next == operands.size()) {
        return MissingOperand(L"add", L"the program path");
    }
    // The path is trimmed, as the first operand always is; the program's arguments stay as typed.
    XStringW path = operands[next];
    path.TrimRight();
    path.TrimLeft();
    request.typedPath = path;
    request.programArguments.assign(operands.begin() + static_cast<std::ptrdiff_t>(next) + 1,
                                    operands.end());
    return kExitSuccess;
}

int AddProgram(const AddRequest& request)
{
    const XStringW& typedPath = request.typedPath;
    const std::vector<XStringW>& programArguments = request.programArguments;
    TraceLog("main", __LINE__, L"add service : %@", WithControlCharactersShown(typedPath));
    const XStringW path = WithBackslashes(typedPath);
    const XStringW entryName = FileNameOf(path);
    const XStringW& directory = request.directory;
    const XStringW arguments = JoinArguments(programArguments);
    int refused = CheckAddition(typedPath, path, entryName, programArguments);
    if (refused == kExitSuccess) {
        refused = CheckCommandLineLength(WithControlCharactersShown(typedPath), path, arguments);
    }
    if (refused != kExitSuccess) {
        return refused;
    }
    if (const int setByPolicy = RefuseIfSetByPolicy(L"add", entryName)) {
        return setByPolicy;
    }
    WatchListEdit edit;
    const XStringW aliveText = request.alive.Text();
    const WatchListResult result = AddService(path, entryName, arguments, &edit,
                                              request.hangTimeout, directory,
                                              request.aliveGiven ? &aliveText : nullptr);
    if (result == WatchListResult::kDone) {
        WarnAboutMissingFiles(path, request);
        WriteOutputLine(AddedAnswer(entryName, path, arguments, request, edit));
        SayIfRunningOnOldSettings(entryName, path, arguments, request.directory, edit);
        return kExitSuccess;
    }
    XStringW text;
    text.Format(L"could not add %@ to the watch list (%@); the list was left as it was", entryName,
                SystemErrorText(static_cast<DWORD>(edit.error)));
    WriteErrorLine(text);
    return kExitFailed;
}

}  // namespace

int RunAddCommand(const Operands& operands)
{
    AddRequest request;
    const int refused = ReadRequest(operands, request);
    if (refused != kExitSuccess) {
        return refused;
    }
    return AddProgram(request);
}

void AddOptionsUsage(XStringW& text)
{
    if (!kAddOptions.empty()) {
        text += L"Options, typed before the path:\r\n";
    }
    for (const AddOption& option : kAddOptions) {
        text.AppendFormat(L"  %s %s  %s\r\n", option.name,
                          option.valueName == nullptr ? L"" : option.valueName, option.description);
    }
}
