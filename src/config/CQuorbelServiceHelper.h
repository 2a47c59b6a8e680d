#pragma once
// The watch list in the user's own hive, and the user of the active session.
// Layout: Software\QUORBEL\QuorbelService\<entry name> with "Path" and "Status" ("1" active,
// "0" paused); an optional "Interval" on the base key.

#include <windows.h>

#include "config/AliveCheck.h"
#include "config/CrashDialog.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"

// What an edit of the watch list came to.
enum class WatchListResult {
    kDone,             // the entry is now as the edit asked
    kAlreadySo,        // pause or restart: the entry was in that state already
    kInvalidName,      // refused before any registry call
    kNoSuchEntry,      // pause, restart or remove of a name that is not on the list
    kStatusUnreadable, // pause or restart: the Status is neither "1" nor "0" and was left alone
    kFailed,           // the registry refused the read or write
};

// What the answer to an edit tells beyond its result.
struct WatchListEdit {
    LONG error = ERROR_SUCCESS;  // kFailed: the registry's status of the step that failed
    bool replaced = false;       // add: an entry of that name was there already
    XStringW previousPath;       // add: the Path it had
    XStringW previousArguments;  // add: the Arguments it had
    XStringW previousDirectory;  // add: the Directory it had
    DWORD keptHangTimeout = 0;   // add without a timeout: the HangTimeout it keeps (seconds)
    bool keptCrashDialog = false;  // add without a crash dialog choice: the entry shows it
    XStringW previousAliveCheck; // add: the AliveCheck text it had
};

// An entry of a user's list as the service starts and watches it.
struct ListEntrySettings {
    XStringW path;       // REG_SZ only, as for the readers below
    XStringW arguments;
    XStringW directory;
    DWORD hangTimeout = 0;  // seconds, as hang_timeout::FromValue reads it; 0: none
    alive_check::Check alive;     // the entry's liveness check; none when absent or refused
    bool startRequested = false;  // a start request (start_request) stands in the key
    bool crashDialog = false;     // the entry lets a crash show the crash dialog (crash_dialog)
};

class CQuorbelServiceHelper {
public:
    static constexpr const wchar_t* kBaseKeyPath = L"Software\\QUORBEL\\QuorbelService";
    // An entry's name is its key's name, and registry key names hold at most 255 characters.
    static constexpr int kMaxEntryNameChars = 255;

    // An entry name is a file name: not empty, no backslash (which would address another key,
    // the base key itself included), and short enough to be a key name.
    static bool IsValidEntryName(const XStringW& entryName);

    // Edits below HKEY_CURRENT_USER, for the command line. Each refuses an invalid name with an
    // error trace line before it touches the registry.
    // An add leaves a complete entry (Path, Arguments when there are any, Status "1") or, when a
    // step fails, the entry as it was: a new key is deleted again, an existing one gets its old
    // values back. A Directory is written only when one is given; otherwise the entry's own
    // stays as it is.
    // Pause, restart and remove never create an entry key; an entry that vanishes meanwhile is
    // no such entry.
    // hangTimeout: the entry's HangTimeout in seconds (0 removes it); kKeepHangTimeout leaves an
    // existing entry's as it is. aliveCheck: the entry's AliveCheck text (empty removes it);
    // null leaves an existing entry's as it is. crashDialog: the entry's CrashDialog, kept unless
    // changed.
    static constexpr DWORD kKeepHangTimeout = 0xFFFFFFFF;
    static WatchListResult AddList(const XStringW& entryName, const XStringW& path,
                                   const XStringW& arguments = XStringW(),
                                   WatchListEdit* edit = nullptr,
                                   DWORD hangTimeout = kKeepHangTimeout,
                                   const XStringW& directory = XStringW(),
                                   const XStringW* aliveCheck = nullptr,
                                   crash_dialog::Change crashDialog = crash_dialog::Change::kKeep);
    static WatchListResult RemoveList(const XStringW& entryName, WatchListEdit* edit = nullptr);
    static WatchListResult PauseList(const XStringW& entryName, WatchListEdit* edit = nullptr);
    static WatchListResult RestartList(const XStringW& entryName, WatchListEdit* edit = nullptr);
    static void RestartAllList();
    static XStringWList GetAllList();

    // Software\QUORBEL\QuorbelService\<entry name>, an entry's key below HKEY_CURRENT_USER.
    static XStringW EntryKeyPath(const XStringW& entryName);
    // <sid>\Software\QUORBEL\QuorbelService\<entry name>, an entry's key below HKEY_USERS.
    static XStringW UserEntryKeyPath(const XStringW& sid, const XStringW& entryName);

    // Readers below HKEY_CURRENT_USER, for the list command.
    // The Path's text; its type goes to *type when asked for (REG_NONE when it is absent).
    static XStringW GetUserListPath(const XStringW& entryName, DWORD* type = nullptr);
    static XStringW GetUserListStatus(const XStringW& entryName);
    // The entry's optional "Arguments" and "Directory" (REG_SZ); empty when absent.
    static XStringW GetUserListArguments(const XStringW& entryName);
    static XStringW GetUserListDirectory(const XStringW& entryName);
    static XStringW GetUserInterval();

    // Readers below HKEY_USERS\<sid>, for the service.
    // <sid>\Software\QUORBEL\QuorbelService, the user's base key below HKEY_USERS.
    static XStringW UserBaseKeyPath(const XStringW& sid);
    static XStringWList GetActiveList(const XStringW& sid);
    static XStringW GetListPath(const XStringW& sid, const XStringW& entryName);
    // The entry's optional "Arguments" and "Directory" (REG_SZ); empty when absent.
    static XStringW GetListArguments(const XStringW& sid, const XStringW& entryName);
    static XStringW GetListDirectory(const XStringW& sid, const XStringW& entryName);
    // Path, Arguments, Directory, HangTimeout, AliveCheck and whether a start request stands, at
    // one look at the entry's key; all empty when the key cannot be opened.
    static ListEntrySettings GetListEntry(const XStringW& sid, const XStringW& entryName);
    static XStringW GetInterval(const XStringW& sid);

    // The user of the active terminal-services session (with several active at once, under remote
    // desktop, of the one FindActiveSessionId gives).
    static XStringW GetCurrentUserSID();
    // The user of that session, when the caller has looked the active session up already.
    static XStringW GetSessionUserSID(DWORD sessionId);
    static XStringW GetSessionUserName();
    static XStringW GetSessionDomainName();
    // DOMAIN\user of that session; a lone backslash for none (0).
    static XStringW GetSessionAccountName(DWORD sessionId);
};
