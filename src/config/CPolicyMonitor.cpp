#include "config/CPolicyMonitor.h"

#include "trace/Trace.h"

namespace {
constexpr const char* kMonitorName = "CPolicyMonitor";
// The parent of every product's policy key, present on every Windows; shared by the 32- and
// 64-bit views like the keys below it.
constexpr const wchar_t* kPoliciesKeyPath = L"SOFTWARE\\Policies";
constexpr REGSAM kWatchAccess = KEY_NOTIFY | KEY_WOW64_64KEY;
constexpr DWORD kChangeFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
}  // namespace

CPolicyMonitor::CPolicyMonitor()
    : changed(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      changeWait(::CreateThreadpoolWait(&CPolicyMonitor::OnSignal, this, nullptr))
{
}

CPolicyMonitor::~CPolicyMonitor()
{
    Stop();
}

void CPolicyMonitor::Start()
{
    // Armed before the first read, so that a change made meanwhile is not missed.
    if (!OpenWatchedKey() || !Arm()) {
        TraceError(kMonitorName, __LINE__,
                   L"the policy key cannot be watched: a change of policy needs a restart");
    }
    Refresh();
}

void CPolicyMonitor::Stop()
{
    // The callback goes first: it uses the key and this object.
    changeWait.Reset();
    watchedKey.Reset();
}

MachinePolicy CPolicyMonitor::Current() const
{
    ::AcquireSRWLockShared(&policyLock);
    MachinePolicy copy = policy;
    ::ReleaseSRWLockShared(&policyLock);
    return copy;
}

unsigned CPolicyMonitor::ChangeCount() const
{
    ::AcquireSRWLockShared(&policyLock);
    const unsigned count = changeCount;
    ::ReleaseSRWLockShared(&policyLock);
    return count;
}

bool CPolicyMonitor::OpenWatchedKey()
{
    // Only an administrator can create SOFTWARE\Policies, and the service, which runs as one,
    // makes sure it is there to be watched (Windows always has it).
    ScopedRegKey key;
    const LONG status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPoliciesKeyPath, 0, nullptr,
                                          REG_OPTION_NON_VOLATILE, kWatchAccess, nullptr,
                                          key.Receive(), nullptr);
    if (status != ERROR_SUCCESS) {
        TraceError(kMonitorName, __LINE__, L"RegCreateKeyEx(%s) failed with %d",
                   kPoliciesKeyPath, status);
        return false;
    }
    watchedKey = std::move(key);
    return true;
}

bool CPolicyMonitor::Arm()
{
    if (!changed || !changeWait || !watchedKey) {
        return false;
    }
    const LONG status =
        ::RegNotifyChangeKeyValue(watchedKey.Get(), TRUE, kChangeFilter, changed.Get(), TRUE);
    if (status != ERROR_SUCCESS) {
        TraceError(kMonitorName, __LINE__, L"RegNotifyChangeKeyValue failed with %d", status);
        return false;
    }
    ::SetThreadpoolWait(changeWait.Get(), changed.Get(), nullptr);
    return true;
}

void CPolicyMonitor::Refresh()
{
    // One read at a time: a callback that starts after a change must not have its read
    // overwritten by an older one still under way.
    const MutexLock refreshing(refreshLock);
    MachinePolicy read = machine_policy::Read();
    ::AcquireSRWLockExclusive(&policyLock);
    const bool differs = read != policy;
    if (differs) {
        policy = std::move(read);
        ++changeCount;
    }
    ::ReleaseSRWLockExclusive(&policyLock);
    if (differs) {
        TraceLog(kMonitorName, __LINE__, L"machine policy read: %u programs, user lists %s",
                 static_cast<unsigned>(Current().programs.size()),
                 Current().userListsWatched ? L"watched" : L"not watched");
        if (onChange) {
            onChange();
        }
    }
}

void CALLBACK CPolicyMonitor::OnSignal(PTP_CALLBACK_INSTANCE, void* context, PTP_WAIT,
                                       TP_WAIT_RESULT)
{
    CPolicyMonitor* const self = static_cast<CPolicyMonitor*>(context);
    self->Arm();
    self->Refresh();
}
