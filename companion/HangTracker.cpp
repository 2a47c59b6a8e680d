#include "HangTracker.h"

#include <algorithm>

bool HangTracker::Look(DWORD processId, DWORD timeoutSeconds, const WindowLook& look,
                       ULONGLONG nowMs, ULONGLONG ranMs, Report& report)
{
    State& state = states[processId];
    const bool judged = state.answered || ranMs >= timeoutSeconds * 1000ULL;
    if (look.responding || !look.hung || !judged || timeoutSeconds == 0) {
        // An answer, no window to judge (hidden, closed, not drawn yet), or a program still
        // within its first timeout that never answered: nothing counts against it, and a later
        // hang is measured afresh.
        state.answered = state.answered || look.responding;
        state.silent = false;
        state.ending = false;
        return false;
    }
    if (!state.silent) {
        state.silent = true;
        state.silentSinceMs = nowMs > kHungAfterMs ? nowMs - kHungAfterMs : 0;
    }
    if (state.ending || nowMs < state.quietUntilMs) {
        return false;
    }
    report.processId = processId;
    report.seconds = static_cast<DWORD>((nowMs - state.silentSinceMs) / 1000);
    return true;
}

void HangTracker::Refused(DWORD processId, DWORD timeoutSeconds, ULONGLONG nowMs)
{
    const auto state = states.find(processId);
    if (state != states.end()) {
        state->second.quietUntilMs = nowMs + timeoutSeconds * 1000ULL;
    }
}

void HangTracker::Ending(DWORD processId)
{
    const auto state = states.find(processId);
    if (state != states.end()) {
        state->second.ending = true;
    }
}

void HangTracker::KeepOnly(const std::vector<DWORD>& processIds)
{
    for (auto state = states.begin(); state != states.end();) {
        if (std::find(processIds.begin(), processIds.end(), state->first) == processIds.end()) {
            state = states.erase(state);
        } else {
            ++state;
        }
    }
}
