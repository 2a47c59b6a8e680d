#include "app/Startup.h"

#include <windows.h>

#include "paths/ModulePaths.h"

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
