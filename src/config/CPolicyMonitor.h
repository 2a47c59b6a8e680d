#pragma once
// The machine policy (MachinePolicy.h) as the service follows it: read once, and again whenever
// something changes below HKLM\SOFTWARE\Policies, so that a change of policy takes effect
// without a restart. The whole Policies key is watched, with its subkeys, because the
// product's own key may not be there yet and policy tools delete and write it again at every
// refresh; a change of another product's policy costs one read of ours and wakes nobody.

#include <windows.h>

#include <functional>

#include "common/ScopedHandle.h"
#include "config/MachinePolicy.h"

class CPolicyMonitor {
public:
    using ChangeCallback = std::function<void()>;

    CPolicyMonitor();
    ~CPolicyMonitor();
    CPolicyMonitor(const CPolicyMonitor&) = delete;
    CPolicyMonitor& operator=(const CPolicyMonitor&) = delete;

    // Called on a thread-pool thread after the policy changed; set it before Start.
    void SetChangeCallback(ChangeCallback callback) { onChange = std::move(callback); }
    // Reads the policy and starts watching for changes.
    void Start();
    // Ends the watching for good; the policy read last stays.
    void Stop();

    // The policy as last read.
    MachinePolicy Current() const;
    // Rises by one whenever a read found the policy changed.
    unsigned ChangeCount() const;

private:
    bool OpenWatchedKey();
    bool Arm();
    void Refresh();
    static void CALLBACK OnSignal(PTP_CALLBACK_INSTANCE, void* context, PTP_WAIT, TP_WAIT_RESULT);

    ScopedRegKey watchedKey;
    ScopedHandle changed;
    ScopedThreadpoolWait changeWait;
    mutable SRWLOCK policyLock = SRWLOCK_INIT;
    SRWLOCK refreshLock = SRWLOCK_INIT;
    MachinePolicy policy;
    unsigned changeCount = 0;
    ChangeCallback onChange;
};
