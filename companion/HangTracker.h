#pragma once
// The companion's judgement of each watched process: a process counts as not responding while it
// has windows and none of them answers, and only once one of its windows answered since it
// started (a program still drawing its first window is not hung). IsHungAppWindow calls a
// window hung once it has read no message for five seconds, so a hang seen first at a look began
// at least that long before it: the hang is measured from there.

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
        DWORD seconds = 0;  // how long no window of it answered
    };

    // One look at a process whose hang timeout is timeoutSeconds, at nowMs (a monotonic clock).
    // True with the report filled in when the process is to be reported; it is reported once
    // until the service refuses the report or a window answers again.
    bool Look(DWORD processId, DWORD timeoutSeconds, const WindowLook& look, ULONGLONG nowMs,
              Report& report);
    // How long a window has read no message when IsHungAppWindow first calls it hung.
    static constexpr ULONGLONG kHungAfterMs = 5000;

    // The service refused the report: the process is reported again only after another timeout.
    void Refused(DWORD processId, ULONGLONG nowMs);
    // Forgets every process not listed (ended, or no target any more).
    void KeepOnly(const std::vector<DWORD>& processIds);
    // Forgets one process: its id now names another one.
    void Forget(DWORD processId) { states.erase(processId); }
    size_t Count() const { return states.size(); }

private:
    struct State {
        bool answered = false;        // a window answered since the process started
        bool silent = false;          // no window answers now
        ULONGLONG silentSinceMs = 0;  // since when, at the latest
        bool reported = false;
    };
    std::map<DWORD, State> states;
};
