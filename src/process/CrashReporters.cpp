#include "process/CrashReporters.h"

#include <winternl.h>

#include <cwchar>

#include "strings/CaseFold.h"
#include "trace/Trace.h"

namespace crash_reporters {
namespace {

constexpr const wchar_t* kWerImages[] = {L"WerFault.exe", L"WerFaultSecure.exe"};
constexpr const wchar_t* kWineDebuggerImage = L"winedbg.exe";

// The command line of a process of any bitness (Windows 8.1 and later); Wine does not know it.
constexpr ULONG kProcessCommandLineInformation = 60;
// Room for the longest command line the platform takes, with its UNICODE_STRING in front.
constexpr ULONG kCommandLineBytes = 32768 * sizeof(wchar_t) + sizeof(UNICODE_STRING);
// Reading a reporter's command line and ending it.
constexpr DWORD kReporterAccess =
    PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ |
    PROCESS_TERMINATE;

using QueryInformationProcess = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

QueryInformationProcess QueryFunction()
{
    static const QueryInformationProcess query = reinterpret_cast<QueryInformationProcess>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"),
                                                 "NtQueryInformationProcess")));
    return query;
}

bool SameName(const XStringW& imageName, const wchar_t* known)
{
    return FoldCase(imageName.GetString()) == FoldCase(known);
}

bool IsWerImage(const XStringW& imageName)
{
    for (const wchar_t* image : kWerImages) {
        if (SameName(imageName, image)) {
            return true;
        }
    }
    return false;
}

// The words of a command line, split at blanks and tabs; quotes only group.
std::vector<std::wstring> Words(const XStringW& commandLine)
{
    std::vector<std::wstring> words;
    std::wstring word;
    bool quoted = false;
    bool inWord = false;
    for (int i = 0; i < commandLine.GetLength(); ++i) {
        const wchar_t c = commandLine.GetString()[i];
        if (c == L'"') {
            quoted = !quoted;
            inWord = true;
        } else if ((c == L' ' || c == L'\t') && !quoted) {
            if (inWord) {
                words.push_back(word);
            }
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

// A process id written in decimal, 0 for anything else.
DWORD ProcessIdOf(const std::wstring& word)
{
    if (word.empty() || word.size() > 10) {
        return 0;
    }
    ULONGLONG value = 0;
    for (const wchar_t c : word) {
        if (c < L'0' || c > L'9') {
            return 0;
        }
        value = value * 10 + static_cast<ULONGLONG>(c - L'0');
    }
    return value <= 0xFFFFFFFFULL ? static_cast<DWORD>(value) : 0;
}

bool ReadFromQuery(HANDLE process, XStringW& commandLine, NTSTATUS& status)
{
    const QueryInformationProcess query = QueryFunction();
    if (query == nullptr) {
        status = static_cast<NTSTATUS>(0xC0000002);
        return false;
    }
    std::vector<unsigned char> buffer(kCommandLineBytes);
    ULONG needed = 0;
    status = query(process, kProcessCommandLineInformation, buffer.data(),
                   static_cast<ULONG>(buffer.size()), &needed);
    if (status != 0) {
        return false;
    }
    const auto* const text = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
    if (text->Length == 0) {
        return false;  // not written yet
    }
    commandLine = XStringW(std::wstring(text->Buffer, text->Length / sizeof(wchar_t)).c_str());
    return true;
}

// From the process's own parameters, where the query does not know the command line: only a
// process of this process's bitness, or a 32-bit one from a 64-bit reader, can be read so.
bool ReadFromParameters(HANDLE process, XStringW& commandLine)
{
    BOOL selfWow64 = FALSE;
    BOOL targetWow64 = FALSE;
    if (::IsWow64Process(::GetCurrentProcess(), &selfWow64) && selfWow64 &&
        ::IsWow64Process(process, &targetWow64) && !targetWow64) {
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    PROCESS_BASIC_INFORMATION basic{};
    ULONG got = 0;
    const QueryInformationProcess query = QueryFunction();
    if (query == nullptr ||
        query(process, ProcessBasicInformation, &basic, sizeof(basic), &got) != 0 ||
        basic.PebBaseAddress == nullptr) {
        ::SetLastError(ERROR_INVALID_DATA);  // not set up yet, under Wine
        return false;
    }
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS parameters{};
    SIZE_T read = 0;
    if (!::ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof(peb), &read) ||
        peb.ProcessParameters == nullptr ||
        !::ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof(parameters),
                             &read)) {
        return false;
    }
    // Under Wine a process just started fills its parameters in itself: an empty command line is
    // one not written yet.
    if (parameters.CommandLine.Length == 0 || parameters.CommandLine.Buffer == nullptr) {
        ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    std::vector<wchar_t> text(parameters.CommandLine.Length / sizeof(wchar_t) + 1, L'\0');
    if (!::ReadProcessMemory(process, parameters.CommandLine.Buffer, text.data(),
                             parameters.CommandLine.Length, &read)) {
        return false;
    }
    commandLine = text.data();
    return true;
}

}  // namespace

XStringW ImageNameOf(HANDLE process)
{
    wchar_t path[MAX_PATH * 2] = {};
    DWORD chars = sizeof(path) / sizeof(path[0]);
    if (!::QueryFullProcessImageNameW(process, 0, path, &chars)) {
        return XStringW();
    }
    const wchar_t* const slash = std::wcsrchr(path, L'\\');
    return XStringW(slash != nullptr ? slash + 1 : path);
}

bool IsReporterImage(const XStringW& imageName)
{
    return IsWerImage(imageName) || SameName(imageName, kWineDebuggerImage);
}

std::vector<DWORD> Find(const ProcessTable& processes)
{
    std::vector<DWORD> ids;
    for (const wchar_t* image : {kWerImages[0], kWerImages[1], kWineDebuggerImage}) {
        const XStringWList found = processes.FindIds(XStringW(image));
        for (int i = 0; i < found.GetCount(); ++i) {
            ids.push_back(static_cast<DWORD>(found.GetAt(i).ToUInt()));
        }
    }
    return ids;
}

DWORD CrashedProcessNamed(const XStringW& imageName, const XStringW& commandLine)
{
    const bool wer = IsWerImage(imageName);
    if (!wer && !SameName(imageName, kWineDebuggerImage)) {
        return 0;
    }
    const std::vector<std::wstring> words = Words(commandLine);
    for (size_t i = 0; i + 1 < words.size(); ++i) {
        const std::wstring option = FoldCase(words[i].c_str());
        const bool names = wer ? (option == FoldCase(L"-p") || option == FoldCase(L"/p"))
                               : option == FoldCase(L"--auto");
        if (names) {
            return ProcessIdOf(words[i + 1]);
        }
    }
    return 0;
}

bool ReadCommandLine(HANDLE process, XStringW& commandLine)
{
    NTSTATUS status = 0;
    if (ReadFromQuery(process, commandLine, status)) {
        return true;
    }
    if (ReadFromParameters(process, commandLine)) {
        return true;
    }
    TraceError("crash_reporters::ReadCommandLine", __LINE__,
               L"no command line of process %u (status 0x%08x, error %u)",
               ::GetProcessId(process), static_cast<unsigned>(status), ::GetLastError());
    return false;
}

Reporter Open(DWORD processId)
{
    Reporter reporter;
    reporter.processId = processId;
    reporter.process.Reset(::OpenProcess(kReporterAccess, FALSE, processId));
    if (!reporter.process) {
        TraceError("crash_reporters::Open", __LINE__, L"crash reporter %u not opened (error %u)",
                   processId, ::GetLastError());
        return reporter;
    }
    // The id may have been given to another process since the table was taken: only a reporter
    // is judged by its command line.
    const XStringW imageName = ImageNameOf(reporter.process.Get());
    if (!IsReporterImage(imageName)) {
        reporter.process.Reset();
        return reporter;
    }
    XStringW commandLine;
    if (ReadCommandLine(reporter.process.Get(), commandLine)) {
        reporter.crashedProcessId = CrashedProcessNamed(imageName, commandLine);
    }
    return reporter;
}

}  // namespace crash_reporters
