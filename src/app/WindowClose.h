#pragma once
// Asking a program to close its windows, as its user would. Only the console twin,
// QuorbelService.com, looks at windows (WindowCloseConsole.cpp): the service executable runs in
// session 0 on Windows, where it sees no user's window, and is built without it
// (WindowCloseNone.cpp).

#include <windows.h>

#include <vector>

// Whether this executable can close windows.
bool CanCloseWindows();

// Posts WM_CLOSE to every visible top-level window of the processes; returns how many it asked.
int PostCloseToWindows(const std::vector<DWORD>& processIds);
