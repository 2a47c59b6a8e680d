#include "watch/StartRate.h"

#include <algorithm>

ULONGLONG StartRate::Filled(ULONGLONG now) const
{
    // A clock reading older than the last one fills nothing.
    const ULONGLONG elapsed = now > levelAt ? now - levelAt : 0;
    const ULONGLONG room = kBurst * kOneStart - level;
    // kPerSecond starts a second are kPerSecond thousandths of a start a millisecond.
    return elapsed >= (room + kPerSecond - 1) / kPerSecond ? kBurst * kOneStart
                                                            : level + elapsed * kPerSecond;
}

bool StartRate::Take(ULONGLONG now, bool paced)
{
    level = Filled(now);
    levelAt = (std::max)(levelAt, now);
    if (level >= kOneStart) {
        level -= kOneStart;
        return true;
    }
    return !paced;
}

ULONGLONG StartRate::MsUntilRoom(ULONGLONG now) const
{
    const ULONGLONG filled = Filled(now);
    return filled >= kOneStart ? 0 : (kOneStart - filled + kPerSecond - 1) / kPerSecond;
}
