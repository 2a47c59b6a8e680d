#include "config/AliveCheck.h"

#include "config/CQuorbelServiceHelper.h"
#include "config/CRegHelper.h"
#include "strings/CaseFold.h"
#include "strings/CommandLineText.h"
#include "strings/PathText.h"
#include "trace/Trace.h"

namespace {

constexpr DWORD kMaxPort = 65535;

bool IsDigits(const XStringW& text)
{
    if (text.IsEmpty()) {
        return false;
    }
    for (int i = 0; i < text.GetLength(); ++i) {
        if (text.GetAt(i) < L'0' || text.GetAt(i) > L'9') {
            return false;
        }
    }
    return true;
}

bool HasBlankOrControl(const XStringW& text)
{
    for (int i = 0; i < text.GetLength(); ++i) {
        if (text.GetAt(i) <= L' ') {
            return true;
        }
    }
    return false;
}

bool StartsWithIgnoringCase(const XStringW& text, const wchar_t* prefix)
{
    const int length = static_cast<int>(wcslen(prefix));
    return text.GetLength() >= length && SameIgnoringCase(text.Left(length).GetString(), prefix);
}

// The port's digits: 1 to 65535, with no sign, blank or leading zero run longer than a number.
bool MakePort(const XStringW& target, alive_check::Check& check, XStringW& reason)
{
    const DWORD port = IsDigits(target) && target.GetLength() <= 5
                           ? static_cast<DWORD>(target.ToUInt())
                           : 0;
    if (port == 0 || port > kMaxPort) {
        reason.Format(L"the port must be a number from 1 to %u, not \"%@\"", kMaxPort,
                      WithControlCharactersShown(target));
        return false;
    }
    check.port = port;
    check.target.Format(L"%u", port);
    return true;
}

// http:// or https://, a host, and nothing that is no part of a URL (blanks, control
// characters, quotes). WinHTTP checks the rest when it sends.
bool MakeUrl(const XStringW& target, alive_check::Check& check, XStringW& reason)
{
    const int schemeEnd = StartsWithIgnoringCase(target, L"http://")    ? 7
                          : StartsWithIgnoringCase(target, L"https://") ? 8
                                                                         : -1;
    if (schemeEnd < 0) {
        reason.Format(L"the URL must start with http:// or https://, not \"%@\"",
                      WithControlCharactersShown(target));
        return false;
    }
    if (HasBlankOrControl(target) || target.Find(L"\"") >= 0) {
        reason.Format(L"the URL \"%@\" holds a blank, a control character or a double quote",
                      WithControlCharactersShown(target));
        return false;
    }
    int hostEnd = schemeEnd;
    while (hostEnd < target.GetLength() && target.GetAt(hostEnd) != L'/' &&
           target.GetAt(hostEnd) != L'?' && target.GetAt(hostEnd) != L'#') {
        ++hostEnd;
    }
    const wchar_t first = hostEnd > schemeEnd ? target.GetAt(schemeEnd) : L'\0';
    if (first == L'\0' || first == L':' || first == L'@') {
        reason.Format(L"the URL \"%@\" names no host", WithControlCharactersShown(target));
        return false;
    }
    check.target = target;
    return true;
}

// An absolute path, or one that starts with a variable (%LOCALAPPDATA%\...), which only the
// user's environment makes absolute.
bool MakeFile(const XStringW& target, alive_check::Check& check, XStringW& reason)
{
    const XStringW path = WithBackslashes(target);
    if (HasControlCharacter(path) || path.Find(L"\"") >= 0) {
        reason.Format(L"the file \"%@\" holds a control character or a double quote",
                      WithControlCharactersShown(target));
        return false;
    }
    if (!IsAbsolutePath(path) && !(path.GetLength() > 1 && path.GetAt(0) == L'%')) {
        reason.Format(L"the file \"%@\" must be absolute (X:\\... or \\\\server\\share\\...)",
                      WithControlCharactersShown(target));
        return false;
    }
    if (path.GetAt(path.GetLength() - 1) == L'\\') {
        reason.Format(L"\"%@\" names a folder, not a file", WithControlCharactersShown(target));
        return false;
    }
    check.target = path;
    return true;
}

alive_check::Check Read(HKEY root, const XStringW& keyPath, const XStringW& entryName)
{
    DWORD type = REG_NONE;
    const XStringW text = CRegHelper::GetStringValue(root, keyPath, alive_check::kValueName, &type);
    alive_check::Check check;
    if (type == REG_NONE || text.IsEmpty()) {
        return check;
    }
    XStringW reason;
    if (type != REG_SZ || !alive_check::Parse(text, check, reason)) {
        if (reason.IsEmpty()) {
            reason.Format(L"the value is no REG_SZ (type %u)", type);
        }
        TraceError("alive_check::Read", __LINE__, L"the alive check of %@ is ignored: %@",
                   entryName, reason);
        return alive_check::Check();
    }
    return check;
}

}  // namespace

namespace alive_check {

XStringW Check::Text() const
{
    XStringW text;
    if (IsSet()) {
        text.Format(L"%s %@", KindName(kind), target);
    }
    return text;
}

bool Check::operator==(const Check& other) const
{
    return kind == other.kind && port == other.port &&
           target.GetLength() == other.target.GetLength() &&
           target.Compare(other.target.GetString()) == 0;
}

const wchar_t* KindName(Kind kind)
{
    switch (kind) {
    case Kind::kFile:
        return L"file";
    case Kind::kPort:
        return L"port";
    case Kind::kUrl:
        return L"url";
    case Kind::kNone:
        break;
    }
    return L"";
}

bool Make(Kind kind, const XStringW& target, Check& check, XStringW& reason)
{
    Check made;
    made.kind = kind;
    if (target.GetLength() > kMaxTargetChars) {
        reason.Format(L"the %s check's target is longer than %d characters", KindName(kind),
                      kMaxTargetChars);
        return false;
    }
    bool good = false;
    switch (kind) {
    case Kind::kFile:
        good = MakeFile(target, made, reason);
        break;
    case Kind::kPort:
        good = MakePort(target, made, reason);
        break;
    case Kind::kUrl:
        good = MakeUrl(target, made, reason);
        break;
    case Kind::kNone:
        reason = L"no kind of check";
        break;
    }
    if (good) {
        check = made;
    }
    return good;
}

bool Parse(const XStringW& text, Check& check, XStringW& reason)
{
    XStringW trimmed = text;
    trimmed.TrimLeft();
    trimmed.TrimRight();
    const int blank = trimmed.Find(L" ");
    const XStringW kindWord = blank < 0 ? trimmed : trimmed.Left(blank);
    XStringW target =
        blank < 0 ? XStringW() : trimmed.Mid(blank + 1, trimmed.GetLength() - blank - 1);
    target.TrimLeft();
    for (const Kind kind : {Kind::kFile, Kind::kPort, Kind::kUrl}) {
        if (SameIgnoringCase(kindWord.GetString(), KindName(kind))) {
            if (target.IsEmpty()) {
                reason.Format(L"\"%@\" names no %s to check", WithControlCharactersShown(text),
                              KindName(kind));
                return false;
            }
            return Make(kind, target, check, reason);
        }
    }
    reason.Format(L"\"%@\" is no check: write \"file PATH\", \"port PORT\" or \"url URL\"",
                  WithControlCharactersShown(text));
    return false;
}

DWORD TimeoutSeconds(DWORD hangTimeoutSeconds)
{
    return hangTimeoutSeconds != 0 ? hangTimeoutSeconds : kDefaultTimeoutSeconds;
}

Check ForEntry(const XStringW& sid, const XStringW& entryName)
{
    return Read(HKEY_USERS, CQuorbelServiceHelper::UserEntryKeyPath(sid, entryName), entryName);
}

Check ForKey(HKEY entryKey, const XStringW& entryName)
{
    return Read(entryKey, XStringW(), entryName);
}

Check ForUserEntry(const XStringW& entryName)
{
    return Read(HKEY_CURRENT_USER, CQuorbelServiceHelper::EntryKeyPath(entryName), entryName);
}

}  // namespace alive_check
