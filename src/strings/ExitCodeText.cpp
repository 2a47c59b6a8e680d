#include "strings/ExitCodeText.h"

namespace {

constexpr DWORD kFirstStatusCode = 0xC0000000;

struct NamedStatus {
    DWORD code;
    const wchar_t* name;
};

// The status codes a crashed or killed program ends with most often.
constexpr NamedStatus kStatusNames[] = {
    {0xC0000005, L"access violation"},
    {0xC000001D, L"illegal instruction"},
    {0xC0000017, L"out of memory"},
    {0xC0000022, L"access denied"},
    {0xC000007B, L"bad executable image"},
    {0xC0000094, L"division by zero"},
    {0xC0000096, L"privileged instruction"},
    {0xC00000FD, L"stack overflow"},
    {0xC0000135, L"DLL not found"},
    {0xC0000139, L"entry point not found"},
    {0xC000013A, L"ended by Ctrl+C"},
    {0xC0000142, L"DLL initialisation failed"},
    {0xC0000144, L"unhandled exception"},
    {0xC0000374, L"heap corruption"},
    {0xC0000409, L"stack buffer overrun"},
    {0xC0000420, L"assertion failure"},
};

}  // namespace

XStringW ExitCodeText(DWORD exitCode)
{
    XStringW text;
    if (exitCode < kFirstStatusCode) {
        text.Format(L"%u", exitCode);
        return text;
    }
    text.Format(L"0x%08X", exitCode);
    for (const NamedStatus& status : kStatusNames) {
        if (status.code == exitCode) {
            text.AppendFormat(L" (%s)", status.name);
            break;
        }
    }
    return text;
}

bool IsCrashExitCode(DWORD exitCode)
{
    return exitCode >= kFirstStatusCode;
}

XStringW CrashText(DWORD exitCode, bool heldByReporter)
{
    if (heldByReporter) {
        return XStringW(L"crashed (held by the crash reporter, ended)");
    }
    XStringW text;
    text.Format(L"crashed: %@", ExitCodeText(exitCode));
    return text;
}

XStringW StartFailureWords(DWORD launchError)
{
    switch (launchError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
        return XStringW(L"program not found");
    case ERROR_DIRECTORY:
        return XStringW(L"directory not found");
    case ERROR_ACCESS_DENIED:
        return XStringW(L"access denied");
    case ERROR_FILENAME_EXCED_RANGE:
        return XStringW(L"command line too long");
    case ERROR_BAD_PATHNAME:
        return XStringW(L"directory not absolute");
    default:
        return XStringW();
    }
}
