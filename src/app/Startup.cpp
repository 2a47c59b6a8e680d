#include "app/Startup.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "common/ScopedHandle.h"
#include "paths/ModulePaths.h"
#include "process/ProcessTable.h"
#include "trace/EventLog.h"
#include "trace/Trace.h"

namespace {

// The application's name, set once by InitApplication on the main thread before any other
// thread starts, and only read afterwards.
XStringW& ApplicationName()
{
    static XStringW name;
    return name;
}

// The file name without its extension (the text from its last dot on).
XStringW WithoutExtension(const XStringW& fileName)
{
    const int dot = fileName.ReverseFind(L".");
    return dot < 0 ? fileName : fileName.Left(dot);
}

// The single-instance event. Never closed: it marks this session as taken for as long as this
// process lives.
HANDLE instanceEvent = nullptr;

// Only the local system and the administrators may open the service's guard; the tool's own is
// this user's besides.
constexpr wchar_t kServiceGuardAccess[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
constexpr wchar_t kLocalSystemSid[] = L"S-1-5-18";
constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";
// An object without a mandatory label counts as of medium integrity.
constexpr DWORD kUnlabelledIntegrity = SECURITY_MANDATORY_MEDIUM_RID;
constexpr const char* kClaimName = "ClaimSingleInstance";

XStringW SidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) {
        return XStringW();
    }
    const ScopedLocalMemory textOwner(text);
    return XStringW(text);
}

// The last sub-authority of a mandatory label's SID: the integrity level.
DWORD IntegrityOf(PSID labelSid)
{
    const UCHAR count = *::GetSidSubAuthorityCount(labelSid);
    return count == 0 ? 0 : *::GetSidSubAuthority(labelSid, count - 1U);
}

// One kind of information of a token, in a buffer aligned for its records; empty on failure.
std::vector<ULONGLONG> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind)
{
    DWORD size = 0;
    ::GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<ULONGLONG> buffer(size / sizeof(ULONGLONG) + 1);
    if (size == 0 ||
        !::GetTokenInformation(token, kind, buffer.data(),
                               static_cast<DWORD>(buffer.size() * sizeof(ULONGLONG)), &size)) {
        TraceError(kClaimName, __LINE__, L"GetTokenInformation(%d) failed (GetLastError:%d)",
                   static_cast<int>(kind), ::GetLastError());
        buffer.clear();
    }
    return buffer;
}

// Who this process is: its user, the owner it gives what it creates, and its integrity.
struct OwnToken {
    XStringW userSid;
    XStringW ownerSid;
    DWORD integrity = 0;  // 0 when unknown
};

OwnToken ReadOwnToken()
{
    OwnToken own;
    ScopedHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive())) {
        TraceError(kClaimName, __LINE__, L"OpenProcessToken failed (GetLastError:%d)",
                   ::GetLastError());
        return own;
    }
    const std::vector<ULONGLONG> user = TokenInformation(token.Get(), TokenUser);
    if (!user.empty()) {
        own.userSid = SidText(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
    }
    const std::vector<ULONGLONG> owner = TokenInformation(token.Get(), TokenOwner);
    if (!owner.empty()) {
        own.ownerSid = SidText(reinterpret_cast<const TOKEN_OWNER*>(owner.data())->Owner);
    }
    const std::vector<ULONGLONG> label = TokenInformation(token.Get(), TokenIntegrityLevel);
    if (!label.empty()) {
        own.integrity =
            IntegrityOf(reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid);
    }
    return own;
}

// Creates the guard event with this access, labelled with the creator's integrity so that a
// later process can tell whose it is (without security when the text cannot be read); error
// tells whether it was there already.
HANDLE CreateGuard(const XStringW& name, const XStringW& access, DWORD integrity, DWORD& error)
{
    XStringW security = access;
    if (integrity != 0) {
        security.AppendFormat(L"S:(ML;;NW;;;S-1-16-%u)", integrity);
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            security.GetString(), SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr)) {
        TraceError(kClaimName, __LINE__, L"no security for the guard: %@ (GetLastError:%d)",
                   security, ::GetLastError());
    }
    const ScopedLocalMemory descriptorOwner(attributes.lpSecurityDescriptor);
    const HANDLE event =
        ::CreateEventW(attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr, FALSE,
                       TRUE, name.GetString());
    error = ::GetLastError();
    return event;
}

// What can be read of a guard that was there already: its owner and its integrity.
struct GuardHolder {
    XStringW ownerSid;    // empty when unknown
    DWORD integrity = 0;  // 0 when unknown
};

GuardHolder ReadHolder(HANDLE event, const XStringW& name)
{
    GuardHolder holder;
    ScopedHandle opened;
    if (event == nullptr) {
        opened.Reset(::OpenEventW(READ_CONTROL, FALSE, name.GetString()));
        event = opened.Get();
    }
    PSID owner = nullptr;
    PACL labels = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status =
        event == nullptr ? ::GetLastError()
                         : ::GetSecurityInfo(event, SE_KERNEL_OBJECT,
                                             OWNER_SECURITY_INFORMATION |
                                                 LABEL_SECURITY_INFORMATION,
                                             &owner, nullptr, nullptr, &labels, &descriptor);
    if (status != ERROR_SUCCESS) {
        TraceError(kClaimName, __LINE__, L"the security of %@ cannot be read (error %u)", name,
                   status);
        return holder;
    }
    const ScopedLocalMemory descriptorOwner(descriptor);
    holder.ownerSid = SidText(owner);
    holder.integrity = kUnlabelledIntegrity;
    for (DWORD i = 0; labels != nullptr && i < labels->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (::GetAce(labels, i, reinterpret_cast<void**>(&ace)) &&
            ace->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE) {
            holder.integrity =
                IntegrityOf(&reinterpret_cast<SYSTEM_MANDATORY_LABEL_ACE*>(ace)->SidStart);
        }
    }
    return holder;
}

// Whether a process of this tool other than this one runs in this session: the .exe or its
// console twin. When the processes cannot be listed, one is taken to run.
bool AnotherInstanceRuns(const XStringW& name)
{
    const ProcessTable processes = ProcessTable::TakeForOwnSession();
    if (!processes.IsTaken()) {
        TraceError(kClaimName, __LINE__, L"the processes cannot be listed: %@ is taken as held",
                   name);
        return true;
    }
    XStringW own;
    own.Format(L"%u", ::GetCurrentProcessId());
    for (const wchar_t* extension : {L".exe", L".com"}) {
        XStringW imageName = name;
        imageName += extension;
        const XStringWList ids = processes.FindIds(imageName);
        for (int i = 0; i < ids.GetCount(); ++i) {
            if (!(ids.GetAt(i) == own.GetString())) {
                return true;
            }
        }
    }
    return false;
}

// Owners whose guard counts: this user, the owner this user's objects get (the administrators,
// for an elevated one), and the service's.
bool IsOwnedByUs(const XStringW& ownerSid, const OwnToken& own)
{
    return ownerSid == own.userSid.GetString() || ownerSid == own.ownerSid.GetString() ||
           ownerSid == kLocalSystemSid || ownerSid == kAdministratorsSid;
}

// Empty when the guard that was there is this tool's; otherwise what holds it instead.
XStringW ForeignHolder(HANDLE event, const XStringW& name, const OwnToken& own)
{
    XStringW why;
    const GuardHolder holder = ReadHolder(event, name);
    if (!AnotherInstanceRuns(name)) {
        why.Format(L"a process that is not %@ (no other %@ runs in this session)", name, name);
    } else if (!holder.ownerSid.IsEmpty() && !IsOwnedByUs(holder.ownerSid, own)) {
        why.Format(L"another user's process (owner %@)", holder.ownerSid);
    } else if (holder.integrity != 0 && own.integrity != 0 && holder.integrity < own.integrity) {
        why.Format(L"a process of lower integrity (0x%X, this one runs at 0x%X)", holder.integrity,
                   own.integrity);
    }
    return why;
}

}  // namespace

bool InitApplication()
{
    const XStringW modulePath = GetModulePath(true);
    if (modulePath.IsEmpty()) {
        return false;
    }
    ApplicationName() = WithoutExtension(FileNamePart(modulePath));
    return true;
}

XStringW GetApplicationName()
{
    return ApplicationName();
}

GuardClaim ClaimSingleInstance(XStringW& why)
{
    // Its name has no "Global\" prefix, so the guard holds per session only.
    const XStringW name = GetApplicationName();
    const OwnToken own = ReadOwnToken();
    XStringW access(kServiceGuardAccess);
    if (!own.userSid.IsEmpty()) {
        access.AppendFormat(L"(A;;GA;;;%@)", own.userSid);
    }
    DWORD error = 0;
    instanceEvent = CreateGuard(name, access, own.integrity, error);
    // An event whose security shuts this user out is there already as well.
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) {
        return GuardClaim::kClaimed;
    }
    why = ForeignHolder(instanceEvent, name, own);
    if (why.IsEmpty()) {
        return GuardClaim::kHeldByTool;
    }
    TraceError(kClaimName, __LINE__, L"%@ is held by %@: it is no guard, going on without it",
               name, why);
    return GuardClaim::kNoGuard;
}

void ClaimServiceInstance()
{
    const XStringW name = GetApplicationName();
    DWORD error = 0;
    instanceEvent =
        CreateGuard(name, XStringW(kServiceGuardAccess), ReadOwnToken().integrity, error);
    if (instanceEvent != nullptr && error != ERROR_ALREADY_EXISTS) {
        return;
    }
    // Made first by someone else: its security is theirs, so it is no guard. Reported, and the
    // service runs all the same.
    const XStringW owner = ReadHolder(instanceEvent, name).ownerSid;
    const XStringW shownOwner = owner.IsEmpty() ? XStringW(L"unknown") : owner;
    TraceError("main", __LINE__, L"Duplicate Process: %@ is held by another process (owner %@), "
               L"the service runs without it", name, shownOwner);
    ReportGuardHeld(name, shownOwner);
}
