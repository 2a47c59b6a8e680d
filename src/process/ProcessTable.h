#pragma once
// The running processes at one moment, by image name: one look at the system's process list that
// can be asked any number of times. A watch pass asks it once per entry instead of walking a fresh
// snapshot for every question.

#include <windows.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "strings/XStringW.h"
#include "strings/XStringWList.h"

class ProcessTable {
public:
    // Any session: the table counts the processes of every session.
    static constexpr DWORD kEverySession = 0xFFFFFFFF;

    // No look was taken: nothing runs, and IsTaken says so.
    ProcessTable() = default;

    // Takes a look now at the processes of one session (or of all). A table that could not be
    // taken or read is empty and not taken.
    static ProcessTable Take(DWORD sessionId = kEverySession);
    // The processes of the session that the user's programs are started in: the active session,
    // or every session while none is active (nothing can be started then anyway).
    static ProcessTable TakeForActiveSession();
    // The same for a caller that has looked the active session up already (0: none is active).
    static ProcessTable TakeForSession(DWORD activeSessionId);
    // The processes of the session this process runs in (every session when it is unknown).
    static ProcessTable TakeForOwnSession();

    // False when the process list could not be had: "nothing runs" is then not an answer.
    bool IsTaken() const { return taken; }
    // Whether a process of that image name ran when the table was taken, letter case ignored.
    bool IsRunning(const XStringW& imageName) const;
    // Ids ("%d" texts) of the processes of that image name, each once, in list order.
    XStringWList FindIds(const XStringW& imageName) const;
    // When the process of that id was created (a FILETIME value), as the table saw it; 0 when
    // the table does not know the id. A process opened later by the id is the one seen only if
    // its creation time is this one: ids are reused.
    ULONGLONG CreationTime(DWORD processId) const;
    // Puts a process into the table by hand (tests), which then counts as taken.
    void Add(const XStringW& imageName, DWORD processId, ULONGLONG createdAt);

    // The session a process is taken to run in, given the one the process list reports. Null
    // (the default) keeps the reported one; tests put their own here, as Wine runs every process
    // in one session.
    using SessionOfProcess = DWORD (*)(DWORD processId, DWORD reportedSessionId);
    static SessionOfProcess sessionOf;

private:
    // By image name folded as Windows folds file names, so that lookups ignore letter case.
    std::unordered_map<std::wstring, std::vector<DWORD>> idsByName;
    std::unordered_map<DWORD, ULONGLONG> createdAtById;
    bool taken = false;
};
