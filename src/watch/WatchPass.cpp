#include "watch/WatchPass.h"

#include "config/CQuorbelServiceHelper.h"
#include "config/CrashDialog.h"
#include "config/RelaunchRequest.h"
#include "trace/Trace.h"
#include "watch/NameKey.h"

namespace {
// ToUInt's answer for text that is not a plain decimal number, or one that overflows.
constexpr DWORD kNotANumber = static_cast<DWORD>(-1);

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

WatchPass::WatchPass(std::function<void()> wake) : activeList(wake)
{
    policyMonitor.SetChangeCallback(wake);
    policyMonitor.Start();
    policy = policyMonitor.Current();
    seenPolicyChanges = policyMonitor.ChangeCount();
}

XStringWList WatchPass::ReadList(const XStringW& sid)
{
    policy = policyMonitor.Current();
    // With the users' lists off, the user's key is not watched either (an empty SID lets go).
    const XStringWList own = activeList.GetActiveList(policy.userListsWatched ? sid : XStringW());
    XStringWList names;
    ownEntries.clear();
    if (sid.IsEmpty()) {
        return names;
    }
    for (const PolicyProgram& program : policy.programs) {
        names.Add(program.name);
    }
    int watchedOwn = 0;
    int pastCap = 0;
    for (int i = 0; i < own.GetCount(); ++i) {
        if (policy.Find(own.GetAt(i)) != nullptr) {
            continue;
        }
        if (watchedOwn == kMaxWatchedUserEntries) {
            ++pastCap;
            continue;
        }
        names.Add(own.GetAt(i));
        ownEntries.insert(NameKey(own.GetAt(i)));
        ++watchedOwn;
    }
    if (pastCap != lastPastCap && pastCap > 0) {
        TraceError("WatchPass::ReadList", __LINE__,
                   L"%d active entries past the first %d of the user's list are not watched",
                   pastCap, kMaxWatchedUserEntries);
    }
    lastPastCap = pastCap;
    return names;
}

bool WatchPass::IsOwnEntry(const XStringW& name) const
{
    return policy.Find(name) == nullptr && ownEntries.count(NameKey(name)) != 0;
}

bool WatchPass::TakeListChange()
{
    const unsigned listChanges = activeList.ChangeCount();
    const unsigned policyChanges = policyMonitor.ChangeCount();
    if (listChanges == seenListChanges && policyChanges == seenPolicyChanges) {
        return false;
    }
    seenListChanges = listChanges;
    seenPolicyChanges = policyChanges;
    return true;
}

std::vector<XStringW> WatchPass::TakeChangedEntries(const XStringW& sid,
                                                    const XStringWList& names, bool& listChanged)
{
    std::vector<XStringW> changed;
    listChanged = TakeListChange();
    const bool sameUser = sid == settingsSid.GetString();
    // Settings are read only when the list changed, and once at the first pass to compare with;
    // from a list that is not watched, at every pass, as an edit of them would go unseen.
    if (!listChanged && settingsTaken && sameUser && activeList.IsWatched()) {
        return changed;
    }
    std::map<std::wstring, EntrySettings> settings;
    for (int i = 0; i < names.GetCount(); ++i) {
        const XStringW& name = names.GetAt(i);
        const std::wstring key = NameKey(name);
        const EntrySettings& now = settings[key] = ReadSettings(sid, name);
        const auto before = entrySettings.find(key);
        if (settingsTaken && sameUser &&
            (before == entrySettings.end() || !before->second.StartsAs(now))) {
            changed.push_back(name);
        }
    }
    entrySettings = std::move(settings);
    settingsSid = sid;
    settingsTaken = true;
    return changed;
}

bool WatchPass::EntrySettings::StartsAs(const EntrySettings& other) const
{
    return launch.path == other.launch.path.GetString() &&
           launch.arguments == other.launch.arguments.GetString() &&
           launch.directory == other.launch.directory.GetString();
}

WatchPass::EntrySettings WatchPass::SettingsOf(const XStringW& sid, const XStringW& name) const
{
    if (settingsTaken && sid == settingsSid.GetString()) {
        const auto found = entrySettings.find(NameKey(name));
        if (found != entrySettings.end()) {
            return found->second;
        }
    }
    return ReadSettings(sid, name);
}

std::vector<XStringW> WatchPass::TakeStartRequests(const XStringW& sid,
                                                   const XStringWList& names) const
{
    std::vector<XStringW> asked;
    for (int i = 0; i < names.GetCount(); ++i) {
        const XStringW& name = names.GetAt(i);
        // A policy program is the administrator's: a user's key of its name asks nothing.
        // Only a request the list's read saw is taken: no entry is read twice for it.
        if (policy.Find(name) == nullptr && SettingsOf(sid, name).startRequested &&
            start_request::Take(sid, name)) {
            asked.push_back(name);
        }
    }
    return asked;
}

EntryLaunch WatchPass::LaunchOf(const XStringW& sid, const XStringW& name) const
{
    return SettingsOf(sid, name).launch;
}

DWORD WatchPass::HangTimeoutOf(const XStringW& sid, const XStringW& name) const
{
    return SettingsOf(sid, name).hangTimeout;
}

WatchPass::EntrySettings WatchPass::ReadSettings(const XStringW& sid, const XStringW& name) const
{
    EntrySettings settings;
    EntryLaunch& launch = settings.launch;
    if (const PolicyProgram* const program = policy.Find(name)) {
        launch.source = EntrySource::kPolicy;
        launch.path = program->path;
        launch.arguments = program->arguments;
        settings.hangTimeout = policy.HangTimeoutInUse();
        settings.alive = program->alive;
        launch.defaultErrorMode = crash_dialog::DumpsAskedFor(name);
        return settings;
    }
    const ListEntrySettings entry = CQuorbelServiceHelper::GetListEntry(sid, name);
    launch.path = entry.path;
    launch.arguments = entry.arguments;
    launch.directory = entry.directory;
    settings.hangTimeout = entry.hangTimeout;
    settings.alive = entry.alive;
    settings.startRequested = entry.startRequested;
    launch.defaultErrorMode = entry.crashDialog || crash_dialog::DumpsAskedFor(name);
    return settings;
}

alive_check::Check WatchPass::AliveCheckOf(const XStringW& sid, const XStringW& name) const
{
    return SettingsOf(sid, name).alive;
}

XStringW WatchPass::IntervalText(const XStringW& sid) const
{
    return EffectiveIntervalText(policy, CQuorbelServiceHelper::GetInterval(sid));
}

DWORD WatchPass::IntervalFor(const XStringW& intervalText)
{
    const DWORD milliseconds = WatchIntervalFromText(intervalText);
    if (!(intervalText == lastIntervalText.GetString())) {
        if (IsIntervalAdjusted(intervalText)) {
            TraceLog("WatchPass::IntervalFor", __LINE__,
                     L"Interval \"%@\" is out of range, %u ms used", intervalText, milliseconds);
        } else if (!intervalText.IsEmpty() && !IsDecimal(intervalText)) {
            TraceLog("WatchPass::IntervalFor", __LINE__,
                     L"Interval \"%@\" is no number, %u ms used", intervalText, milliseconds);
        }
    }
    lastIntervalText = intervalText;
    return milliseconds;
}
