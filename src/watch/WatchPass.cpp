#include "watch/WatchPass.h"

#include "trace/Trace.h"

namespace {
// ToUInt's answer for text that is not a plain decimal number, or one that overflows.
constexpr DWORD kNotANumber = static_cast<DWORD>(-1);

bool IsDecimal(const XStringW& text)
{
    if (text.IsEmpty()) {
        return false;
    }
    for (int i = 0; i < text.GetLength(); ++i) {
        if (text.GetString()[i] < L'0' || text.GetString()[i] > L'9') {
            return false;
        }
    }
    return true;
}

// The interval an "Interval" text asks for, before it is kept within bounds: a number too large
// for 32 bits asks for the longest.
DWORD RequestedInterval(const XStringW& text)
{
    if (!IsDecimal(text)) {
        return kDefaultIntervalMs;
    }
    const DWORD milliseconds = static_cast<DWORD>(text.ToUInt());
    return milliseconds == kNotANumber ? kMaxIntervalMs : milliseconds;
}
}  // namespace

DWORD WatchIntervalFromText(const XStringW& intervalText)
{
    const DWORD requested = RequestedInterval(intervalText);
    if (requested < kMinIntervalMs) {
        return kMinIntervalMs;
    }
    return requested > kMaxIntervalMs ? kMaxIntervalMs : requested;
}

bool IsIntervalAdjusted(const XStringW& intervalText)
{
    if (!IsDecimal(intervalText)) {
        return false;
    }
    const DWORD milliseconds = static_cast<DWORD>(intervalText.ToUInt());
    return milliseconds == kNotANumber || milliseconds != WatchIntervalFromText(intervalText);
}

WatchPass::WatchPass(std::function<void()> wake)
{
    activeList.SetChangeCallback(std::move(wake));
}

bool WatchPass::TakeListChange()
{
    if (activeList.ChangeCount() == seenListChanges) {
        return false;
    }
    seenListChanges = activeList.ChangeCount();
    return true;
}

DWORD WatchPass::IntervalFor(const XStringW& intervalText)
{
    const DWORD milliseconds = WatchIntervalFromText(intervalText);
    if (!(intervalText == lastIntervalText.GetString()) && IsIntervalAdjusted(intervalText)) {
        TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__,
                 L"Interval \"%@\" is out of range, %u ms used", intervalText, milliseconds);
    }
    lastIntervalText = intervalText;
    return milliseconds;
}
