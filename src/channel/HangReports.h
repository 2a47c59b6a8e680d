#pragma once
// What the channel may act on: the watch thread publishes the live processes of the watched
// programs that have a hang timeout, and the channel thread checks every report of a companion
// against them. A report is accepted only for a process that is, at that moment, the live process
// of such a program in the session of the pipe it came through; an accepted report waits here
// until the watch thread takes it and ends the process through its own handle.

#include <windows.h>

#include <functional>
#include <mutex>
#include <vector>

#include "channel/ChannelProtocol.h"
#include "strings/XStringW.h"

class HangReports {
public:
    struct Target {
        XStringW name;
        DWORD processId = 0;
        DWORD sessionId = 0;
        DWORD timeoutSeconds = 0;
    };
    struct Report {
        XStringW name;
        DWORD processId = 0;
        DWORD seconds = 0;
    };
    enum class Verdict {
        kAccepted,
        kNotWatched,    // no watched program with a hang timeout has this process
        kOtherSession,  // it has, but in another session than the pipe's
        kTooSoon,       // reported before the program's own timeout was over
    };
    using WakeFunc = std::function<void()>;

    HangReports() = default;
    explicit HangReports(WakeFunc wake) : wake(std::move(wake)) {}

    // The watch thread: the targets as they are now, replacing the previous ones. Reports of
    // processes that are no target any more are dropped.
    void SetTargets(std::vector<Target> targets);
    // The channel thread: the targets of one session, for a companion's question.
    std::vector<channel::Target> TargetsOf(DWORD sessionId) const;
    // The channel thread: checks a report that came through the pipe of sessionId, keeps it when
    // it is accepted (once per process) and wakes the watch thread. Refusals are traced.
    Verdict Judge(DWORD sessionId, DWORD processId, DWORD seconds);
    // The watch thread: the accepted reports not taken yet.
    std::vector<Report> Take();

    // When a companion last asked for its targets (GetTickCount64 reading; 0: never).
    ULONGLONG LastContact() const;
    void NoteContact(ULONGLONG now);

private:
    mutable std::mutex lock;
    std::vector<Target> targets;
    std::vector<Report> pending;
    ULONGLONG lastContact = 0;
    WakeFunc wake;
};
