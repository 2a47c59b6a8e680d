#pragma once
// The companion's judgement of each watched process: a process counts as not responding while it
// has windows and none of them answers, once one of its windows answered since the companion
// first looked at it, or once it has run longer than its timeout (a program that was hung before
// this companion came is judged as well, and a slow starter still gets its full timeout). Such a
// process is reported at every round: the service times the hang itself and ends the program when
// its own clock reaches the timeout. IsHungAppWindow calls a window hung once it has read no
// message for five seconds, so the companion counts its seconds from then; the service takes
// them as a hint only.

#include <windows.h>

#include <map>
#include <vector>

// What one look at a process's top-level windows found.
struct WindowLook {
    bool responding = false;  // a visible window answers
    bool hung = false;        // it has windows that count, and none answers
};

class HangTracker {
public:
    struct Report {
        DWORD processId = 0;
        DWORD seconds = 0;  // how long no window of it answered, as far as the companion knows
    };

    // One look at a process whose hang timeout is timeoutSeconds, at nowMs (a monotonic clock),
    // after the process ran for ranMs. True with the report filled in when the process is to be
    // reported at this round.
    bool Look(DWORD processId, DWORD timeoutSeconds, const WindowLook& look, ULONGLONG nowMs,
              ULONGLONG ranMs, Report& report);
    // How long a window has read no message when IsHungAppWindow first calls it hung.
    static constexpr ULONGLONG kHungAfterMs = 5000;

    // The service refused the report: the process is reported again only after another timeout.
    void Refused(DWORD processId, DWORD timeoutSeconds, ULONGLONG nowMs);
    // The service ends the process: it is not reported again unless a window answers first.
    void Ending(DWORD processId);
    // Forgets every process not listed (ended, or no target any more).
    void KeepOnly(const std::vector<DWORD>& processIds);
    // Forgets one process: its id now names another one.
    void Forget(DWORD processId) { states.erase(processId); }
    size_t Count() const { return states.size(); }

private:
    struct State {
        bool answered = false;        // a window answered since the first look
        bool silent = false;          // no window answers now
        ULONGLONG silentSinceMs = 0;  // since when, at the latest
        bool ending = false;          // the service ends it
        ULONGLONG quietUntilMs = 0;   // after a refusal, not reported before this
    };
    std::map<DWORD, State> states;
};
