#include "config/WatchListView.h"

#include "config/CQuorbelServiceHelper.h"

const wchar_t* EntrySourceName(EntrySource source)
{
    return source == EntrySource::kPolicy ? L"policy" : L"user";
}

std::vector<WatchListEntry> GetMergedList(const MachinePolicy& policy)
{
    std::vector<WatchListEntry> entries;
    for (const PolicyProgram& program : policy.programs) {
        WatchListEntry entry;
        entry.name = program.name;
        entry.source = EntrySource::kPolicy;
        entry.path = program.path;
        entry.arguments = program.arguments;
        entry.status = L"1";
        entries.push_back(entry);
    }
    if (!policy.userListsWatched) {
        return entries;
    }
    const XStringWList names = CQuorbelServiceHelper::GetAllList();
    int activeOwn = 0;
    for (int i = 0; i < names.GetCount(); ++i) {
        WatchListEntry entry;
        entry.name = names.GetCopyAt(i);
        if (policy.Find(entry.name) != nullptr) {
            continue;
        }
        entry.path = CQuorbelServiceHelper::GetUserListPath(entry.name, &entry.pathType);
        entry.arguments = CQuorbelServiceHelper::GetUserListArguments(entry.name);
        entry.directory = CQuorbelServiceHelper::GetUserListDirectory(entry.name);
        entry.status = CQuorbelServiceHelper::GetUserListStatus(entry.name);
        entry.pastWatchedCap = entry.IsActive() && ++activeOwn > kMaxWatchedUserEntries;
        entries.push_back(entry);
    }
    return entries;
}

bool IsSetByPolicy(const XStringW& name)
{
    return machine_policy::Read().Find(name) != nullptr;
}

XStringW EffectiveIntervalText(const MachinePolicy& policy, const XStringW& userIntervalText)
{
    if (!policy.hasInterval) {
        return userIntervalText;
    }
    if (!policy.intervalText.IsEmpty()) {
        return policy.intervalText;
    }
    XStringW text;
    text.Format(L"%u", policy.intervalMs);
    return text;
}
