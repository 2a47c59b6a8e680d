#include "HangTracker.h"

#include <algorithm>

bool HangTracker::Look(DWORD processId, DWORD timeoutSeconds, const WindowLook& look,
                       ULONGLONG nowMs, Report& report)
{
    State& state = states[processId];
    if (look.responding || !look.hung || !state.answered) {
        // An answer, or no window to judge (hidden, closed, not drawn yet): nothing counts
        // against it, and a later hang is measured afresh.
        state.answered = state.answered || look.responding;
        state.silent = false;
        state.reported = false;
        return false;
    }
    if (!state.silent) {
        state.silent = true;
        state.silentSinceMs = nowMs > kHungAfterMs ? nowMs - kHungAfterMs : 0;
    }
    const ULONGLONG silentMs = nowMs - state.silentSinceMs;
    if (state.reported || timeoutSeconds == 0 || silentMs < timeoutSeconds * 1000ULL) {
        return false;
    }
    state.reported = true;
    report.processId = processId;
    report.seconds = static_cast<DWORD>(silentMs / 1000);
    return true;
}

void HangTracker::Refused(DWORD processId, ULONGLONG nowMs)
{
    const auto state = states.find(processId);
    if (state != states.end()) {
        state->second.reported = false;
        state->second.silentSinceMs = nowMs;
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
