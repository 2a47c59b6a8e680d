#include "app/Startup.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "common/ScopedHandle.h"
#include "paths/ModulePaths.h"
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

// Only the local system and the administrators may open the service's guard.
constexpr wchar_t kServiceGuardSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

// The owner of a named object as a SID text, or "unknown" when it cannot be read.
XStringW OwnerOf(HANDLE object)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (object == nullptr ||
        ::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                          nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return XStringW(L"unknown");
    }
    const ScopedLocalMemory descriptorOwner(descriptor);
    LPWSTR text = nullptr;
    if (owner == nullptr || !::ConvertSidToStringSidW(owner, &text)) {
        return XStringW(L"unknown");
    }
    const ScopedLocalMemory textOwner(text);
    return XStringW(text);
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

bool ClaimSingleInstance()
{
    // Its name has no "Global\" prefix, so the guard holds per session only.
    const XStringW name = GetApplicationName();
    instanceEvent = ::CreateEventW(nullptr, FALSE, TRUE, name.GetString());
    return ::GetLastError() != ERROR_ALREADY_EXISTS;
}

void ClaimServiceInstance()
{
    const XStringW name = GetApplicationName();
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kServiceGuardSecurity, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr)) {
        TraceError("main", __LINE__, L"no security for the guard (GetLastError:%d)",
                   ::GetLastError());
    }
    const ScopedLocalMemory descriptorOwner(attributes.lpSecurityDescriptor);
    instanceEvent = ::CreateEventW(attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr,
                                   FALSE, TRUE, name.GetString());
    const DWORD error = ::GetLastError();
    if (instanceEvent != nullptr && error != ERROR_ALREADY_EXISTS) {
        return;
    }
    // Made first by someone else: its security is theirs, so it is no guard. Reported, and the
    // service runs all the same.
    XStringW owner = OwnerOf(instanceEvent);
    if (instanceEvent == nullptr) {
        const ScopedHandle held(::OpenEventW(READ_CONTROL, FALSE, name.GetString()));
        owner = OwnerOf(held.Get());
    }
    TraceError("main", __LINE__, L"Duplicate Process: %@ is held by another process (owner %@), "
               L"the service runs without it", name, owner);
    ReportGuardHeld(name, owner);
}
