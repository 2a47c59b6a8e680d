#include "WindowProbe.h"

#include <algorithm>

namespace {
struct Walk {
    const std::vector<DWORD>* processIds;
    std::map<DWORD, WindowLook>* looks;
};

BOOL CALLBACK LookAtOne(HWND window, LPARAM context)
{
    Walk& walk = *reinterpret_cast<Walk*>(context);
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    if (std::find(walk.processIds->begin(), walk.processIds->end(), processId) ==
        walk.processIds->end()) {
        return TRUE;
    }
    const bool hung = ::IsHungAppWindow(window) != FALSE;
    if (!hung && !::IsWindowVisible(window)) {
        return TRUE;
    }
    WindowLook& look = (*walk.looks)[processId];
    if (hung) {
        look.hung = true;
    } else {
        look.responding = true;
    }
    return TRUE;
}
}  // namespace

std::map<DWORD, WindowLook> LookAtWindows(const std::vector<DWORD>& processIds)
{
    std::map<DWORD, WindowLook> looks;
    for (const DWORD processId : processIds) {
        looks[processId] = WindowLook();
    }
    Walk walk{&processIds, &looks};
    ::EnumWindows(&LookAtOne, reinterpret_cast<LPARAM>(&walk));
    // Hung means no window answers at all.
    for (auto& item : looks) {
        item.second.hung = item.second.hung && !item.second.responding;
    }
    return looks;
}
