#pragma once
// The line fixture_sleeper writes when it starts: its id, its parent's id and its own path.

#include <windows.h>

#include <sstream>
#include <string>

#include "TestSupport.h"

struct StartRecord {
    DWORD processId = 0;
    DWORD parentId = 0;
    std::wstring path;
};

// The first start recorded in "<program>.started"; all zero while there is none.
inline StartRecord ReadStartRecord(const std::wstring& program)
{
    StartRecord record;
    std::istringstream line(testing_support::ReadFileBytes(program + L".started"));
    std::string path;
    line >> record.processId >> record.parentId;
    std::getline(line >> std::ws, path);
    while (!path.empty() && (path.back() == '\r' || path.back() == '\n')) {
        path.pop_back();
    }
    record.path = testing_support::Widened(path);
    return record;
}
