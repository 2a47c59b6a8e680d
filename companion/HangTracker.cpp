#include "HangTracker.h"

#include <algorithm>

bool HangTracker::Look(DWORD processId, DWORD timeoutSeconds, const WindowLook& look,
                       ULONGLONG nowMs, Report& report)
{
    State& state = states[processId];
    if (look.responding) {
        state.answered = true;
        state.lastAnswerMs = nowMs;
        state.reported = false;
        return false;
    }
    if (!look.hung || !state.answered) {
        // No window to judge (hidden, closed, not drawn yet): nothing counts against it, and the
        // hang is measured afresh from here.
        if (state.answered) {
            state.lastAnswerMs = nowMs;
        }
        return false;
    }
    const ULONGLONG silentMs = nowMs - state.lastAnswerMs;
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
        state->second.lastAnswerMs = nowMs;
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
