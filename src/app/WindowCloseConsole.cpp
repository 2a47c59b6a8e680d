#include "app/WindowClose.h"

#include <algorithm>

namespace {

struct CloseRequest {
    const std::vector<DWORD>* processIds;
    int posted;
};

BOOL CALLBACK PostClose(HWND window, LPARAM parameter)
{
    auto* const request = reinterpret_cast<CloseRequest*>(parameter);
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    const auto& ids = *request->processIds;
    if (::IsWindowVisible(window) && std::find(ids.begin(), ids.end(), processId) != ids.end() &&
        ::PostMessageW(window, WM_CLOSE, 0, 0)) {
        ++request->posted;
    }
    return TRUE;
}

}  // namespace

bool CanCloseWindows()
{
    return true;
}

int PostCloseToWindows(const std::vector<DWORD>& processIds)
{
    CloseRequest request{&processIds, 0};
    ::EnumWindows(PostClose, reinterpret_cast<LPARAM>(&request));
    return request.posted;
}
