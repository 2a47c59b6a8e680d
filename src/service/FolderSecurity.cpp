#include "service/FolderSecurity.h"

#include <aclapi.h>

#include <vector>

#include "common/ScopedHandle.h"
#include "trace/Trace.h"

namespace {

constexpr const char* kName = "folder_security";

// Rights that let someone put a file of their own where the service will run it.
constexpr ACCESS_MASK kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                     DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                     GENERIC_ALL;

// A well-known SID in a buffer of its own.
std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type)
{
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!::CreateWellKnownSid(type, nullptr, sid.data(), &size)) {
        return {};
    }
    sid.resize(size);
    return sid;
}

bool Failed(const wchar_t* step, const XStringW& folder, DWORD status, DWORD* error)
{
    TraceError(kName, __LINE__, L"%s(%@) failed with %u", step, folder, status);
    if (error != nullptr) {
        *error = status;
    }
    return false;
}

bool IsEveryUsersSid(PSID sid, const std::vector<std::vector<BYTE>>& everyUsersSids)
{
    for (const std::vector<BYTE>& candidate : everyUsersSids) {
        if (!candidate.empty() && ::EqualSid(sid, const_cast<BYTE*>(candidate.data()))) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool folder_security::IsWritableByUsers(const XStringW& folder, bool& writable, DWORD* error)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = ::GetNamedSecurityInfoW(folder.GetString(), SE_FILE_OBJECT,
                                                 DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                                 &dacl, nullptr, &descriptor);
    const ScopedLocalMemory owner(descriptor);
    if (status != ERROR_SUCCESS) {
        return Failed(L"GetNamedSecurityInfo", folder, status, error);
    }
    writable = DaclLetsUsersWrite(dacl);
    return true;
}

bool folder_security::DaclLetsUsersWrite(const ACL* constDacl)
{
    if (constDacl == nullptr) {
        return true;  // no DACL at all: everyone may do anything
    }
    ACL* const dacl = const_cast<ACL*>(constDacl);
    // Every user is one of these, so a right any of them has is every user's. The entries are
    // read in order, as the system does: a right denied before it is granted stays denied.
    const std::vector<std::vector<BYTE>> everyUsersSids = {
        WellKnownSid(WinBuiltinUsersSid), WellKnownSid(WinAuthenticatedUserSid),
        WellKnownSid(WinWorldSid)};
    ACCESS_MASK denied = 0;
    ACCESS_MASK granted = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header)) ||
            (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
            continue;
        }
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
            if (IsEveryUsersSid(&ace->SidStart, everyUsersSids)) {
                granted |= ace->Mask & ~denied;
            }
        } else if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
            auto* ace = reinterpret_cast<ACCESS_DENIED_ACE*>(header);
            if (IsEveryUsersSid(&ace->SidStart, everyUsersSids)) {
                denied |= ace->Mask & ~granted;
            }
        }
    }
    return (granted & kWriteRights) != 0;
}

bool folder_security::Lock(const XStringW& folder, DWORD* error)
{
    const std::vector<BYTE> system = WellKnownSid(WinLocalSystemSid);
    const std::vector<BYTE> administrators = WellKnownSid(WinBuiltinAdministratorsSid);
    const std::vector<BYTE> users = WellKnownSid(WinBuiltinUsersSid);
    if (system.empty() || administrators.empty() || users.empty()) {
        return Failed(L"CreateWellKnownSid", folder, ::GetLastError(), error);
    }
    const struct {
        const std::vector<BYTE>* sid;
        DWORD rights;
    } grants[] = {
        {&system, GENERIC_ALL},
        {&administrators, GENERIC_ALL},
        {&users, GENERIC_READ | GENERIC_EXECUTE},
    };
    std::vector<EXPLICIT_ACCESSW> entries;
    for (const auto& grant : grants) {
        EXPLICIT_ACCESSW entry{};
        entry.grfAccessPermissions = grant.rights;
        entry.grfAccessMode = SET_ACCESS;
        entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(const_cast<BYTE*>(grant.sid->data()));
        entries.push_back(entry);
    }
    PACL acl = nullptr;
    DWORD status = ::SetEntriesInAclW(static_cast<ULONG>(entries.size()), entries.data(), nullptr,
                                      &acl);
    const ScopedLocalMemory aclOwner(acl);
    if (status != ERROR_SUCCESS) {
        return Failed(L"SetEntriesInAcl", folder, status, error);
    }
    // PROTECTED: nothing from the parent, whose permissions may let every user write.
    std::vector<wchar_t> path(folder.GetString(), folder.GetString() + folder.GetLength() + 1);
    status = ::SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                     DACL_SECURITY_INFORMATION |
                                         PROTECTED_DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, acl, nullptr);
    if (status != ERROR_SUCCESS) {
        return Failed(L"SetNamedSecurityInfo", folder, status, error);
    }
    TraceLog(kName, __LINE__, L"%@: SYSTEM and Administrators full control, Users read and "
                              L"execute, nothing inherited", folder);
    return true;
}
