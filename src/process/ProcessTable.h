#pragma once
// The running processes at one moment, by image name: one tool-help snapshot that can be asked
// any number of times. A watch pass asks it once per entry instead of walking a fresh snapshot
// for every question.

#include <windows.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "strings/XStringW.h"
#include "strings/XStringWList.h"

class ProcessTable {
public:
    // An empty table: no process runs.
    ProcessTable() = default;

    // Takes a snapshot now; the table is empty when none could be taken or read.
    static ProcessTable Take();

    // Whether a process of that image name ran when the snapshot was taken, letter case ignored.
    bool IsRunning(const XStringW& imageName) const;
    // Ids ("%d" texts) of the processes of that image name, each once, in snapshot order.
    XStringWList FindIds(const XStringW& imageName) const;

private:
    // Image names folded to upper case, so that lookups ignore letter case as file names do.
    static std::wstring Key(const wchar_t* imageName);

    std::unordered_map<std::wstring, std::vector<DWORD>> idsByName;
};
