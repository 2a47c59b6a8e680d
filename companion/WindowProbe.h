#pragma once
// The one place that looks at windows: the top-level windows of the given processes, each asked
// with IsHungAppWindow, which sends nothing to the window and so never waits for it.

#include <windows.h>

#include <map>
#include <vector>

#include "HangTracker.h"

// What the windows of each listed process show now. A window counts when it is visible, or when
// it is hung (the system may hide a hung window behind its ghost). A process without such a
// window has a look with neither flag.
std::map<DWORD, WindowLook> LookAtWindows(const std::vector<DWORD>& processIds);
