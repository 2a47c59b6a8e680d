#include "app/WindowClose.h"

bool CanCloseWindows()
{
    return false;
}

int PostCloseToWindows(const std::vector<DWORD>&)
{
    return 0;
}
