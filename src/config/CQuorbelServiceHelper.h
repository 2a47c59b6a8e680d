#pragma once
// The watch list in the user's own hive, and the user of the active session.
// Layout: Software\QUORBEL\QuorbelService\<entry name> with "Path" and "Status" ("1" active,
// "0" paused); an optional "Interval" on the base key.

#include "strings/XStringW.h"
#include "strings/XStringWList.h"

class CQuorbelServiceHelper {
public:
    static constexpr const wchar_t* kBaseKeyPath = L"Software\\QUORBEL\\QuorbelService";

    // Edits below HKEY_CURRENT_USER, for the command line.
    static void AddList(const XStringW& entryName, const XStringW& path);
    static void RemoveList(const XStringW& entryName);
    static void PauseList(const XStringW& entryName);
    static void RestartList(const XStringW& entryName);
    static void RestartAllList();
    static XStringWList GetAllList();

    // Readers below HKEY_USERS\<sid>, for the service.
    // <sid>\Software\QUORBEL\QuorbelService, the user's base key below HKEY_USERS.
    static XStringW UserBaseKeyPath(const XStringW& sid);
    static XStringWList GetActiveList(const XStringW& sid);
    static XStringW GetListPath(const XStringW& sid, const XStringW& entryName);
    static XStringW GetInterval(const XStringW& sid);

    // The user of the active terminal-services session.
    static XStringW GetCurrentUserSID();
    static XStringW GetSessionUserName();
    static XStringW GetSessionDomainName();
};
