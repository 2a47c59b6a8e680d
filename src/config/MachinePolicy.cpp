#include "config/MachinePolicy.h"

#include <vector>

#include "common/ScopedHandle.h"
#include "config/CQuorbelServiceHelper.h"
#include "config/HangTimeout.h"
#include "strings/CaseFold.h"
#include "strings/CommandLineText.h"
#include "strings/PathText.h"
#include "trace/Trace.h"

namespace {

constexpr const char* kReadName = "machine_policy::Read";
// SOFTWARE\Policies is one key for 32- and 64-bit programs alike (it is not redirected to
// WOW6432Node), so the x86 service on 64-bit Windows reads what 64-bit tools wrote. The 64-bit
// view is asked for all the same, as for every other key of this program.
constexpr REGSAM kReadAccess = KEY_READ | KEY_WOW64_64KEY;

bool SameText(const XStringW& left, const XStringW& right)
{
    return SameIgnoringCase(left.GetString(), right.GetString());
}

bool Exact(const XStringW& left, const XStringW& right)
{
    return left.GetLength() == right.GetLength() && left.Compare(right.GetString()) == 0;
}

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

// Nothing but decimal digits, at least one.
bool IsDigits(const XStringW& text)
{
    for (int i = 0; i < text.GetLength(); ++i) {
        if (text.GetAt(i) < L'0' || text.GetAt(i) > L'9') {
            return false;
        }
    }
    return !text.IsEmpty();
}

// Room for the digits of a number value; a longer text is no number this policy takes.
constexpr DWORD kNumberTextChars = 32;

// A number of the key, as REG_DWORD or as REG_SZ decimal digits, with the digits as set; false
// when it is absent, or refused (traced, and kept with its reason).
bool ReadNumber(HKEY key, const wchar_t* valueName, DWORD& value, XStringW& text,
                MachinePolicy& policy)
{
    DWORD type = REG_NONE;
    wchar_t data[kNumberTextChars + 1] = {};
    DWORD size = kNumberTextChars * sizeof(wchar_t);
    const LONG status = ::RegQueryValueExW(key, valueName, nullptr, &type,
                                           reinterpret_cast<BYTE*>(data), &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return false;
    }
    XStringW reason;
    if (status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(DWORD)) {
        memcpy(&value, data, sizeof(value));
        text.Format(L"%u", value);
        return true;
    }
    if (status == ERROR_SUCCESS && type == REG_SZ) {
        text = XStringW(data);
        if (IsDigits(text)) {
            value = static_cast<DWORD>(text.ToUInt());
            return true;
        }
        reason.Format(L"\"%@\" is no number", WithControlCharactersShown(text));
    } else if (status == ERROR_MORE_DATA && type == REG_SZ) {
        reason = L"its text is too long for a number";
    } else if (status == ERROR_SUCCESS) {
        reason.Format(L"it is no REG_DWORD or REG_SZ of digits (type %u)", type);
    } else {
        reason.Format(L"it cannot be read (error %d)", status);
    }
    TraceError(kReadName, __LINE__, L"policy value %s refused: %@", valueName, reason);
    policy.refusedSettings.push_back({XStringW(valueName), reason});
    return false;
}

// Text from the registry's bytes: up to the first null, or to the end of a value stored without
// one.
XStringW TextOf(const std::vector<BYTE>& data, DWORD byteCount)
{
    std::vector<wchar_t> chars(byteCount / sizeof(wchar_t) + 1, L'\0');
    memcpy(chars.data(), data.data(), (byteCount / sizeof(wchar_t)) * sizeof(wchar_t));
    return XStringW(chars.data());
}

void AddProgram(MachinePolicy& policy, const XStringW& name, DWORD type, const XStringW& text)
{
    PolicyProgram program;
    XStringW reason;
    if (!CQuorbelServiceHelper::IsValidEntryName(name)) {
        reason = L"the value's name is no entry name (1 to 255 characters, no backslash)";
    } else if (type != REG_SZ && type != REG_EXPAND_SZ) {
        reason.Format(L"the value is no REG_SZ or REG_EXPAND_SZ (type %u)", type);
    } else if (policy.Find(name) != nullptr) {
        reason = L"another value names the same entry";
    } else {
        machine_policy::SplitCommandLine(name, text, program, reason);
    }
    if (reason.IsEmpty()) {
        policy.programs.push_back(program);
        return;
    }
    TraceError(kReadName, __LINE__, L"policy program \"%@\" refused: %@",
               WithControlCharactersShown(name), reason);
    policy.refused.push_back({name, reason});
}

// A check of the AliveChecks key for the policy program of its name; one for no such program,
// or one that is no check, is refused.
void AddAliveCheck(MachinePolicy& policy, const XStringW& name, DWORD type, const XStringW& text)
{
    XStringW reason;
    alive_check::Check check;
    PolicyProgram* program = nullptr;
    for (PolicyProgram& candidate : policy.programs) {
        if (SameText(candidate.name, name)) {
            program = &candidate;
        }
    }
    if (program == nullptr) {
        reason = L"no policy program of that name";
    } else if (type != REG_SZ && type != REG_EXPAND_SZ) {
        reason.Format(L"the value is no REG_SZ or REG_EXPAND_SZ (type %u)", type);
    } else if (program->alive.IsSet()) {
        reason = L"another value names the same entry";
    } else if (alive_check::Parse(text, check, reason)) {
        program->alive = check;
        return;
    }
    XStringW refusedName;
    refusedName.Format(L"%s\\%@", machine_policy::kAliveChecksSubKey, name);
    TraceError(kReadName, __LINE__, L"policy check \"%@\" refused: %@",
               WithControlCharactersShown(refusedName), reason);
    policy.refused.push_back({refusedName, reason});
}

using ValueReader = void (*)(MachinePolicy& policy, const XStringW& name, DWORD type,
                             const XStringW& text);

// Every value of the key, in the registry's order.
void ReadValues(HKEY valuesKey, MachinePolicy& policy, ValueReader take)
{
    DWORD valueCount = 0;
    DWORD maxNameChars = 0;
    DWORD maxDataBytes = 0;
    if (::RegQueryInfoKeyW(valuesKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                           &valueCount, &maxNameChars, &maxDataBytes, nullptr,
                           nullptr) != ERROR_SUCCESS) {
        TraceError(kReadName, __LINE__, L"RegQueryInfoKey(GetLastError:%u)", ::GetLastError());
        return;
    }
    std::vector<wchar_t> name(maxNameChars + 1);
    std::vector<BYTE> data(maxDataBytes + sizeof(wchar_t));
    for (DWORD index = 0; index < valueCount; ++index) {
        DWORD nameChars = static_cast<DWORD>(name.size());
        DWORD dataBytes = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        const LONG status = ::RegEnumValueW(valuesKey, index, name.data(), &nameChars, nullptr,
                                            &type, data.data(), &dataBytes);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status != ERROR_SUCCESS) {
            // A value written between the size query and here: the next change reads it.
            TraceError(kReadName, __LINE__, L"RegEnumValue(%u) failed with %d", index, status);
            continue;
        }
        const XStringW valueName(XStringW(name.data()).Left(static_cast<int>(nameChars)));
        if (valueName.IsEmpty()) {
            continue;  // the key's default value is no program
        }
        take(policy, valueName, type, TextOf(data, dataBytes));
    }
}

}  // namespace

bool PolicyProgram::operator==(const PolicyProgram& other) const
{
    return Exact(name, other.name) && Exact(path, other.path) &&
           Exact(arguments, other.arguments) && Exact(commandLine, other.commandLine) &&
           alive == other.alive;
}

bool RefusedPolicyProgram::operator==(const RefusedPolicyProgram& other) const
{
    return Exact(name, other.name) && Exact(reason, other.reason);
}

bool MachinePolicy::operator==(const MachinePolicy& other) const
{
    return programs == other.programs && refused == other.refused &&
           refusedSettings == other.refusedSettings && hasInterval == other.hasInterval &&
           intervalMs == other.intervalMs && Exact(intervalText, other.intervalText) &&
           hasHangTimeout == other.hasHangTimeout && hangTimeoutSeconds == other.hangTimeoutSeconds &&
           userListsWatched == other.userListsWatched;
}

DWORD MachinePolicy::HangTimeoutInUse() const
{
    return hasHangTimeout ? hang_timeout::FromValue(REG_DWORD, XStringW(), hangTimeoutSeconds) : 0;
}

const PolicyProgram* MachinePolicy::Find(const XStringW& name) const
{
    for (const PolicyProgram& program : programs) {
        if (SameText(program.name, name)) {
            return &program;
        }
    }
    return nullptr;
}

bool machine_policy::SplitCommandLine(const XStringW& entryName, const XStringW& commandLine,
                                      PolicyProgram& program, XStringW& reason)
{
    const wchar_t* text = commandLine.GetString();
    const int length = commandLine.GetLength();
    int start = 0;
    while (start < length && IsBlank(text[start])) {
        ++start;
    }
    int pathEnd = start;
    int argumentsStart = start;
    if (start < length && text[start] == L'"') {
        ++start;
        pathEnd = start;
        while (pathEnd < length && text[pathEnd] != L'"') {
            ++pathEnd;
        }
        if (pathEnd == length) {
            reason = L"the quoted path has no closing quote";
            return false;
        }
        argumentsStart = pathEnd + 1;
        if (argumentsStart < length && !IsBlank(text[argumentsStart])) {
            reason = L"the closing quote of the path is not followed by a blank";
            return false;
        }
    } else {
        while (pathEnd < length && !IsBlank(text[pathEnd])) {
            ++pathEnd;
        }
        argumentsStart = pathEnd;
    }
    while (argumentsStart < length && IsBlank(text[argumentsStart])) {
        ++argumentsStart;
    }
    const XStringW path = WithBackslashes(commandLine.Mid(start, pathEnd - start));
    XStringW arguments = commandLine.Mid(argumentsStart, length - argumentsStart);
    arguments.TrimRight();

    if (path.IsEmpty()) {
        reason = L"the command line names no program";
    } else if (HasControlCharacter(path) || HasControlCharacter(arguments)) {
        reason = L"the command line holds a control character";
    } else if (path.Find(L"\"") >= 0) {
        reason = L"the path holds a double quote";
    } else if (!IsAbsolutePath(path) && path.GetAt(0) != L'%') {
        // A path that starts with a variable (%ProgramFiles%\...) is taken for an absolute one:
        // it is expanded only in the user's session.
        reason = L"the path is not absolute (X:\\... or \\\\server\\share\\...)";
    } else if (!HasExeExtension(path)) {
        reason = L"the program is no .exe file";
    } else if (!SameText(FileNameOf(path), entryName)) {
        // The entry name is what running programs are matched against: another one would never
        // be seen running and would be started again at every pass.
        reason.Format(L"the program's file name %@ is not the entry name",
                      WithControlCharactersShown(FileNameOf(path)));
    }
    if (!reason.IsEmpty()) {
        return false;
    }
    program.name = entryName;
    program.path = path;
    program.arguments = arguments;
    program.commandLine = commandLine;
    return true;
}

MachinePolicy machine_policy::ReadFrom(HKEY root, const XStringW& keyPath)
{
    MachinePolicy policy;
    ScopedRegKey key;
    const LONG status =
        ::RegOpenKeyExW(root, keyPath.GetString(), 0, kReadAccess, key.Receive());
    if (status != ERROR_SUCCESS) {
        if (status != ERROR_FILE_NOT_FOUND) {
            TraceError(kReadName, __LINE__, L"RegOpenKeyEx(%@) failed with %d", keyPath, status);
        }
        return policy;
    }
    policy.hasInterval =
        ReadNumber(key.Get(), kIntervalValue, policy.intervalMs, policy.intervalText, policy);
    XStringW digits;
    policy.hasHangTimeout =
        ReadNumber(key.Get(), kHangTimeoutValue, policy.hangTimeoutSeconds, digits, policy);
    DWORD userLists = 1;
    policy.userListsWatched =
        !ReadNumber(key.Get(), kUserListsValue, userLists, digits, policy) || userLists != 0;

    ScopedRegKey programsKey;
    if (::RegOpenKeyExW(key.Get(), kProgramsSubKey, 0, kReadAccess, programsKey.Receive()) ==
        ERROR_SUCCESS) {
        ReadValues(programsKey.Get(), policy, &AddProgram);
    }
    ScopedRegKey checksKey;
    if (::RegOpenKeyExW(key.Get(), kAliveChecksSubKey, 0, kReadAccess, checksKey.Receive()) ==
        ERROR_SUCCESS) {
        ReadValues(checksKey.Get(), policy, &AddAliveCheck);
    }
    return policy;
}

MachinePolicy machine_policy::Read()
{
    return ReadFrom(HKEY_LOCAL_MACHINE, kKeyPath);
}
