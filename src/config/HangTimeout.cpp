#include "config/HangTimeout.h"

#include "config/CQuorbelServiceHelper.h"
#include "config/CRegHelper.h"

namespace {
// The number a value asks for before the bounds: 0 for no number; a text too long for 32 bits
// asks for the longest.
DWORD Requested(DWORD type, const XStringW& text, DWORD number)
{
    if (type == REG_DWORD) {
        return number;
    }
    if (type != REG_SZ || text.IsEmpty()) {
        return 0;
    }
    for (int i = 0; i < text.GetLength(); ++i) {
        if (text.GetString()[i] < L'0' || text.GetString()[i] > L'9') {
            return 0;
        }
    }
    return static_cast<DWORD>(text.ToUInt());  // an overflow reads as the all-ones value
}

DWORD Read(HKEY root, const XStringW& entryKeyPath)
{
    XStringW text;
    DWORD number = 0;
    DWORD size = 0;
    const DWORD type =
        CRegHelper::GetValue(root, entryKeyPath, hang_timeout::kValueName, text, number, size);
    return hang_timeout::FromValue(type, text, number);
}
}  // namespace

namespace hang_timeout {

DWORD FromValue(DWORD type, const XStringW& text, DWORD number)
{
    const DWORD requested = Requested(type, text, number);
    if (requested == 0) {
        return 0;
    }
    if (requested < kMinSeconds) {
        return kMinSeconds;
    }
    return requested > kMaxSeconds ? kMaxSeconds : requested;
}

DWORD ForEntry(const XStringW& sid, const XStringW& entryName)
{
    return Read(HKEY_USERS, CQuorbelServiceHelper::UserEntryKeyPath(sid, entryName));
}

DWORD ForKey(HKEY entryKey)
{
    return Read(entryKey, XStringW());
}

DWORD ForUserEntry(const XStringW& entryName)
{
    return Read(HKEY_CURRENT_USER, CQuorbelServiceHelper::EntryKeyPath(entryName));
}

}  // namespace hang_timeout
