#include "config/EntryStateStore.h"

#include <sddl.h>

#include <vector>

#include "common/FileTime.h"
#include "common/ScopedHandle.h"
#include "trace/Trace.h"

namespace {
constexpr const wchar_t* kProductKeyPath = L"SOFTWARE\\QUORBEL\\QuorbelService";
constexpr const wchar_t* kStateKeyName = L"State";
constexpr REGSAM kView = KEY_WOW64_64KEY;

constexpr const wchar_t* kProcessIdValue = L"ProcessId";
constexpr const wchar_t* kStartedValue = L"LastStart";
constexpr const wchar_t* kExitCodeValue = L"LastExitCode";
constexpr const wchar_t* kExitedValue = L"LastExit";
constexpr const wchar_t* kQuickExitsValue = L"QuickExits";
constexpr const wchar_t* kNextStartValue = L"NextStart";
constexpr const wchar_t* kRestartsValue = L"Restarts";
constexpr const wchar_t* kProcessCreatedValue = L"ProcessCreated";
constexpr const wchar_t* kStartErrorValue = L"LastStartError";
constexpr const wchar_t* kNotRespondingValue = L"NotResponding";
constexpr const wchar_t* kNotRespondingSecondsValue = L"NotRespondingSeconds";
constexpr const wchar_t* kNotRespondingReasonValue = L"NotRespondingReason";
constexpr const wchar_t* kAliveResultValue = L"AliveResult";
constexpr const wchar_t* kAliveGoodValue = L"AliveGood";
constexpr const wchar_t* kAliveFailingValue = L"AliveFailingSince";
constexpr const wchar_t* kCompanionMissingValue = L"CompanionMissing";

XStringW SidKeyPath(const XStringW& sid)
{
    XStringW path(EntryStateStore::kStateKeyPath);
    path.AppendFormat(L"\\%@", sid);
    return path;
}

XStringW EntryKeyPath(const XStringW& sid, const XStringW& entryName)
{
    XStringW path = SidKeyPath(sid);
    path.AppendFormat(L"\\%@", entryName);
    return path;
}

// The product key is an ordinary one; the state below it is volatile, level by level, since a
// volatile key takes volatile subkeys only. Without an entry name, the user's own key.
bool CreateEntryKey(const XStringW& sid, const XStringW* entryName, ScopedRegKey& entryKey)
{
    ScopedRegKey product;
    LONG status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKeyPath, 0, nullptr,
                                    REG_OPTION_NON_VOLATILE, KEY_CREATE_SUB_KEY | kView, nullptr,
                                    product.Receive(), nullptr);
    ScopedRegKey parent = std::move(product);
    const XStringW* const levels[] = {nullptr, &sid, entryName};
    for (size_t i = 0; i < 3 && (i < 2 || entryName != nullptr); ++i) {
        const XStringW* const level = levels[i];
        if (status != ERROR_SUCCESS) {
            break;
        }
        ScopedRegKey child;
        status = ::RegCreateKeyExW(parent.Get(), level == nullptr ? kStateKeyName : level->GetString(),
                                   0, nullptr, REG_OPTION_VOLATILE,
                                   KEY_CREATE_SUB_KEY | KEY_SET_VALUE | kView, nullptr,
                                   child.Receive(), nullptr);
        parent = std::move(child);
    }
    if (status != ERROR_SUCCESS) {
        TraceError("EntryStateStore::Write", __LINE__, L"state key of %@ not created, error %d",
                   entryName != nullptr ? *entryName : sid, status);
        return false;
    }
    entryKey = std::move(parent);
    return true;
}

bool SetNumber(HKEY key, const wchar_t* name, DWORD value)
{
    return ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof(value)) == ERROR_SUCCESS;
}

bool SetTime(HKEY key, const wchar_t* name, ULONGLONG value)
{
    return ::RegSetValueExW(key, name, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof(value)) == ERROR_SUCCESS;
}

// An empty text is not written: absent reads as empty.
bool SetText(HKEY key, const wchar_t* name, const XStringW& text)
{
    if (text.IsEmpty()) {
        const LONG status = ::RegDeleteValueW(key, name);
        return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
    }
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.GetString()),
                            static_cast<DWORD>((text.GetLength() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

XStringW GetText(HKEY key, const wchar_t* name)
{
    wchar_t text[1024] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    DWORD type = REG_NONE;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return XStringW();
    }
    return XStringW(text);
}

bool SameText(const XStringW& left, const XStringW& right)
{
    return left.GetLength() == right.GetLength() && left.Compare(right.GetString()) == 0;
}

template <typename Number>
bool GetNumber(HKEY key, const wchar_t* name, Number& value)
{
    Number read = 0;
    DWORD size = sizeof(read);
    DWORD type = REG_NONE;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&read), &size) !=
            ERROR_SUCCESS ||
        size != sizeof(read)) {
        return false;
    }
    value = read;
    return true;
}
}  // namespace

bool EntryState::operator==(const EntryState& other) const
{
    return processId == other.processId && startedAt == other.startedAt &&
           hasExit == other.hasExit && exitCode == other.exitCode && exitedAt == other.exitedAt &&
           quickExits == other.quickExits && nextStartAt == other.nextStartAt &&
           restarts == other.restarts && processCreatedAt == other.processCreatedAt &&
           startError == other.startError && notRespondingAt == other.notRespondingAt &&
           notRespondingSeconds == other.notRespondingSeconds &&
           SameText(notRespondingReason, other.notRespondingReason) &&
           aliveKnown == other.aliveKnown && aliveGood == other.aliveGood &&
           SameText(aliveResult, other.aliveResult) && aliveFailingSince == other.aliveFailingSince;
}

bool EntryStateStore::Write(const XStringW& sid, const XStringW& entryName, const EntryState& state)
{
    ScopedRegKey key;
    if (!CreateEntryKey(sid, &entryName, key)) {
        return false;
    }
    bool written = SetNumber(key.Get(), kProcessIdValue, state.processId) &&
                   SetTime(key.Get(), kStartedValue, state.startedAt) &&
                   SetNumber(key.Get(), kQuickExitsValue, state.quickExits) &&
                   SetTime(key.Get(), kNextStartValue, state.nextStartAt) &&
                   SetNumber(key.Get(), kRestartsValue, state.restarts) &&
                   SetTime(key.Get(), kProcessCreatedValue, state.processCreatedAt) &&
                   SetNumber(key.Get(), kStartErrorValue, state.startError);
    if (written && state.notRespondingAt != 0) {
        written = SetTime(key.Get(), kNotRespondingValue, state.notRespondingAt) &&
                  SetNumber(key.Get(), kNotRespondingSecondsValue, state.notRespondingSeconds);
    }
    if (written) {
        written = SetText(key.Get(), kNotRespondingReasonValue, state.notRespondingReason) &&
                  SetText(key.Get(), kAliveResultValue, state.aliveKnown ? state.aliveResult
                                                                        : XStringW()) &&
                  SetNumber(key.Get(), kAliveGoodValue, state.aliveGood ? 1 : 0) &&
                  SetTime(key.Get(), kAliveFailingValue, state.aliveFailingSince);
    }
    if (written && state.hasExit) {
        written = SetNumber(key.Get(), kExitCodeValue, state.exitCode) &&
                  SetTime(key.Get(), kExitedValue, state.exitedAt);
    }
    if (!written) {
        TraceError("EntryStateStore::Write", __LINE__, L"state of %@ not written, error %d",
                   entryName, ::GetLastError());
    }
    return written;
}

bool EntryStateStore::Read(const XStringW& sid, const XStringW& entryName, EntryState& state)
{
    ScopedRegKey key;
    if (sid.IsEmpty() ||
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, EntryKeyPath(sid, entryName).GetString(), 0,
                        KEY_QUERY_VALUE | kView, key.Receive()) != ERROR_SUCCESS) {
        return false;
    }
    state = EntryState();
    GetNumber(key.Get(), kProcessIdValue, state.processId);
    GetNumber(key.Get(), kStartedValue, state.startedAt);
    GetNumber(key.Get(), kQuickExitsValue, state.quickExits);
    GetNumber(key.Get(), kNextStartValue, state.nextStartAt);
    GetNumber(key.Get(), kRestartsValue, state.restarts);
    GetNumber(key.Get(), kProcessCreatedValue, state.processCreatedAt);
    GetNumber(key.Get(), kStartErrorValue, state.startError);
    state.hasExit = GetNumber(key.Get(), kExitCodeValue, state.exitCode);
    GetNumber(key.Get(), kExitedValue, state.exitedAt);
    GetNumber(key.Get(), kNotRespondingValue, state.notRespondingAt);
    GetNumber(key.Get(), kNotRespondingSecondsValue, state.notRespondingSeconds);
    state.notRespondingReason = GetText(key.Get(), kNotRespondingReasonValue);
    state.aliveResult = GetText(key.Get(), kAliveResultValue);
    state.aliveKnown = !state.aliveResult.IsEmpty();
    DWORD good = 0;
    GetNumber(key.Get(), kAliveGoodValue, good);
    state.aliveGood = good != 0;
    GetNumber(key.Get(), kAliveFailingValue, state.aliveFailingSince);
    return true;
}

std::vector<std::pair<XStringW, EntryState>> EntryStateStore::ReadAll(const XStringW& sid)
{
    std::vector<std::pair<XStringW, EntryState>> states;
    ScopedRegKey key;
    if (sid.IsEmpty() ||
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, SidKeyPath(sid).GetString(), 0,
                        KEY_ENUMERATE_SUB_KEYS | kView, key.Receive()) != ERROR_SUCCESS) {
        return states;
    }
    // A key name holds at most 255 characters.
    wchar_t name[256] = {};
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(sizeof(name) / sizeof(name[0]));
        if (::RegEnumKeyExW(key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        EntryState state;
        if (Read(sid, XStringW(name), state)) {
            states.emplace_back(XStringW(name), state);
        }
    }
    return states;
}

bool EntryStateStore::Exists(const XStringW& sid)
{
    ScopedRegKey key;
    return !sid.IsEmpty() &&
           ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, SidKeyPath(sid).GetString(), 0,
                           KEY_QUERY_VALUE | kView, key.Receive()) == ERROR_SUCCESS;
}

bool EntryStateStore::WriteCompanionMissing(const XStringW& sid, bool missing)
{
    ScopedRegKey key;
    if (sid.IsEmpty() || !CreateEntryKey(sid, nullptr, key)) {
        return false;
    }
    const LONG status = missing ? (SetNumber(key.Get(), kCompanionMissingValue, 1)
                                       ? ERROR_SUCCESS
                                       : static_cast<LONG>(::GetLastError()))
                                : ::RegDeleteValueW(key.Get(), kCompanionMissingValue);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool EntryStateStore::ReadCompanionMissing(const XStringW& sid)
{
    ScopedRegKey key;
    DWORD missing = 0;
    return !sid.IsEmpty() &&
           ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, SidKeyPath(sid).GetString(), 0,
                           KEY_QUERY_VALUE | kView, key.Receive()) == ERROR_SUCCESS &&
           GetNumber(key.Get(), kCompanionMissingValue, missing) && missing == 1;
}

void EntryStateStore::Remove(const XStringW& sid, const XStringW& entryName)
{
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, EntryKeyPath(sid, entryName).GetString(), kView, 0);
}

// RegDeleteTreeW takes no view: given a path below HKEY_LOCAL_MACHINE it would empty the
// redirected 32-bit key under WOW64. Opened in the 64-bit view first, it empties the key both
// builds write.
void EntryStateStore::RemoveAll(const XStringW& sid)
{
    if (sid.IsEmpty()) {
        return;
    }
    ScopedRegKey sidKey;
    LONG status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, SidKeyPath(sid).GetString(), 0,
                                  DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE |
                                      KEY_SET_VALUE | kView,
                                  sidKey.Receive());
    if (status == ERROR_FILE_NOT_FOUND) {
        return;
    }
    if (status == ERROR_SUCCESS) {
        status = ::RegDeleteTreeW(sidKey.Get(), nullptr);
    }
    if (status == ERROR_SUCCESS) {
        status = ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, SidKeyPath(sid).GetString(), kView, 0);
    }
    if (status != ERROR_SUCCESS) {
        TraceError("EntryStateStore::RemoveAll", __LINE__, L"states of %@ not removed, error %d",
                   sid, status);
    }
}

namespace {
// Deletes the key below HKEY_LOCAL_MACHINE when it holds neither values nor subkeys.
void DeleteIfEmpty(const wchar_t* keyPath)
{
    ScopedRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ | kView, key.Receive()) !=
        ERROR_SUCCESS) {
        return;
    }
    DWORD subKeys = 0;
    DWORD values = 0;
    if (::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                           &values, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
        subKeys != 0 || values != 0) {
        return;
    }
    key.Reset();
    const LONG status = ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, keyPath, kView, 0);
    if (status != ERROR_SUCCESS) {
        TraceError("EntryStateStore::RemoveStore", __LINE__, L"RegDeleteKeyEx(%s) failed with %d",
                   keyPath, status);
    }
}
}  // namespace

void EntryStateStore::RemoveStore()
{
    ScopedRegKey machineKey;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachineKeyPath, 0, KEY_ALL_ACCESS | kView,
                        machineKey.Receive()) == ERROR_SUCCESS) {
        ::RegDeleteTreeW(machineKey.Get(), L"State");
    }
    machineKey.Reset();
    DeleteIfEmpty(kStateKeyPath);
    DeleteIfEmpty(kMachineKeyPath);
    DeleteIfEmpty(kVendorKeyPath);
}

XStringW EntryStateStore::ProcessUserSid()
{
    ScopedHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive())) {
        return XStringW();
    }
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size == 0 ? 1 : size);
    if (!::GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) {
        return XStringW();
    }
    const TOKEN_USER* const user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(user->User.Sid, &text)) {
        return XStringW();
    }
    const ScopedLocalMemory owner(text);
    return XStringW(text);
}

ULONGLONG EntryStateStore::FileTimeNow()
{
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return FileTimeValue(now);
}
