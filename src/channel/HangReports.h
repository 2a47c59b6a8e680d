#pragma once
// What the channel may act on: the watch thread publishes the live processes of the watched
// programs that have a hang timeout, and the companion it started, and the channel thread checks
// every report against them. A report counts only for a process that is, at that moment, the live
// process of such a program in the session of the pipe it came through. The service times each
// hang with its own clock, from the first report of it: the companion must keep reporting at its
// pace, and its own count of seconds is only traced. A hang that lasted the entry's timeout is
// accepted and waits here, with the identity of the user who reported it, until the watch thread
// takes it and ends the process through its own handle, if that user could have ended it.

#include <windows.h>

#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "channel/ChannelProtocol.h"
#include "process/ProcessOwner.h"
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
        DWORD seconds = 0;  // how long the service timed the hang
        TokenIdentity reporter;
    };
    enum class Verdict {
        kAccepted,
        kTiming,        // a hang the service times: not over its timeout yet
        kNotWatched,    // no watched program with a hang timeout has this process
        kOtherSession,  // it has, but in another session than the pipe's
    };
    using WakeFunc = std::function<void()>;
    using ClockFunc = std::function<ULONGLONG()>;

    explicit HangReports(WakeFunc wake = WakeFunc(), ClockFunc clock = &::GetTickCount64)
        : wake(std::move(wake)), clock(std::move(clock))
    {
    }

    // The watch thread: the targets as they are now, replacing the previous ones. Reports and
    // hangs of processes that are no target any more are dropped.
    void SetTargets(std::vector<Target> targets);
    // The watch thread: the companion's processes and the image they must run; only these are
    // heard.
    void SetCompanion(std::vector<DWORD> processIds, const XStringW& imagePath);
    // The channel thread: whether a client process running that image is the companion.
    bool IsCompanion(DWORD processId, const XStringW& imagePath) const;
    // The channel thread: the targets of one session, for a companion's question.
    std::vector<channel::Target> TargetsOf(DWORD sessionId) const;
    // The channel thread: one report of a hung process that came through the pipe of sessionId
    // from reporter (hintSeconds: the companion's own count, traced only). An accepted report is
    // kept (once per process) and wakes the watch thread. Refusals are traced.
    Verdict Judge(DWORD sessionId, DWORD processId, DWORD hintSeconds,
                  const TokenIdentity& reporter);
    // The watch thread: the accepted reports not taken yet.
    std::vector<Report> Take();

    // When the companion last asked for its targets (a reading of the clock; 0: never).
    ULONGLONG LastContact() const;
    void NoteContact();
    ULONGLONG Now() const { return clock(); }

private:
    struct Hang {
        ULONGLONG since = 0;       // the first report of this hang
        ULONGLONG lastReport = 0;  // the latest one
    };

    mutable std::mutex lock;
    std::vector<Target> targets;
    std::map<DWORD, Hang> hangs;  // by process id
    std::vector<Report> pending;
    std::vector<DWORD> companionIds;
    XStringW companionImage;
    ULONGLONG lastContact = 0;
    WakeFunc wake;
    ClockFunc clock;
};
