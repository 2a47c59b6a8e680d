#pragma once
// The console watch list: for every program name, the consoles (cmd.exe processes) started for
// it that still ran when the console list was last taken. A record keeps only such consoles, so
// it stays as small as the number of consoles alive, and a name without one has no record at all.
// Each console's process handle is held from its creation until the console is forgotten, so that
// its id names no other process while it is recorded and its exit code can still be read.
//
// Only the watch thread changes the list; pinfoMutex guards every change against readers on
// other threads (the destructor at program exit).

#include <windows.h>

#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/ScopedHandle.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"

// The consoles started for one program name that still ran when the console list was last taken.
struct _PINFO {
    XStringW name;
    XStringWList pidList;
    // The held handles, by id text; a console recorded without one has none here.
    std::map<std::wstring, ScopedHandle> consoles;
};

class ConsoleRecords {
public:
    ConsoleRecords();
    ~ConsoleRecords();
    ConsoleRecords(const ConsoleRecords&) = delete;
    ConsoleRecords& operator=(const ConsoleRecords&) = delete;

    // Whether a console recorded for the name is among the running ones.
    bool IsAlive(const XStringW& name, const XStringWList& runningConsoleIds);
    void Add(const XStringW& name, DWORD processId, ScopedHandle console);
    // Forgets the consoles recorded for the name; it terminates none of them.
    void Remove(const XStringW& name);
    // Ends every console held (a stop: they belong to programs not seen running yet) and
    // forgets every record.
    void EndAll(UINT exitCode);
    // Drops the ids of consoles that no longer run, and every record left without one.
    void ForgetEnded(const XStringWList& runningConsoleIds);
    // The exit codes of held consoles that were dropped as ended since the last call, by
    // NameKey. A console ends with the exit code of the program it ran.
    std::map<std::wstring, DWORD> TakeEndedExitCodes();

    std::list<std::unique_ptr<_PINFO>> pinfoList;
    ScopedHandle pinfoMutex;
    DWORD waitMs;

private:
    using PinfoIterator = std::list<std::unique_ptr<_PINFO>>::iterator;
    PinfoIterator FindRecord(const XStringW& name);
    void AddLocked(const XStringW& name, DWORD processId, ScopedHandle console);
    void NoteEnded(_PINFO& record, const std::wstring& idText);

    std::map<std::wstring, DWORD> endedExitCodes;
};
