#include "process/ProcessTable.h"

#include "process/ProcessSnapshot.h"

ProcessTable ProcessTable::Take()
{
    ProcessTable table;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        table.idsByName[Key(entry.szExeFile)].push_back(entry.th32ProcessID);
        return true;
    });
    return table;
}

bool ProcessTable::IsRunning(const XStringW& imageName) const
{
    return idsByName.find(Key(imageName.GetString())) != idsByName.end();
}

XStringWList ProcessTable::FindIds(const XStringW& imageName) const
{
    XStringWList processIds;
    const auto found = idsByName.find(Key(imageName.GetString()));
    if (found == idsByName.end()) {
        return processIds;
    }
    for (const DWORD id : found->second) {
        XStringW processId;
        processId.Format(L"%d", static_cast<int>(id));
        if (processIds.Find(processId) < 0) {
            processIds.Add(processId);
        }
    }
    return processIds;
}

std::wstring ProcessTable::Key(const wchar_t* imageName)
{
    std::wstring key(imageName);
    bool ascii = true;
    for (wchar_t& c : key) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        } else if (c > 0x7F) {
            ascii = false;
        }
    }
    if (!ascii) {
        // The invariant upper-case mapping is one character for one, like the ordinal comparison
        // that ignores case, so the key keeps its length.
        ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, key.data(),
                        static_cast<int>(key.size()), key.data(), static_cast<int>(key.size()),
                        nullptr, nullptr, 0);
    }
    return key;
}
