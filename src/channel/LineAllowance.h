#pragma once
// A trace line that a client of the channel could otherwise have written at will (a message it
// sends, a connection it makes): written at most once a minute, with the number held back since
// the last one, so that no client can fill the trace folder.

#include <windows.h>

class LineAllowance {
public:
    static constexpr ULONGLONG kEveryMs = 60000;

    // True when the line may be written at now (a monotonic clock in milliseconds); held is then
    // how many were held back before it.
    bool Allow(ULONGLONG now, DWORD& held)
    {
        if (written && now - lastAt < kEveryMs) {
            ++heldBack;
            return false;
        }
        written = true;
        lastAt = now;
        held = heldBack;
        heldBack = 0;
        return true;
    }

private:
    bool written = false;
    ULONGLONG lastAt = 0;
    DWORD heldBack = 0;
};
