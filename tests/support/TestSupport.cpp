#include "TestSupport.h"

#include <tlhelp32.h>

#include <algorithm>
#include <sstream>

#include "common/ScopedHandle.h"

namespace testing_support {

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD pollMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return condition();
        }
        Sleep(pollMs);
    }
}

PROCESS_INFORMATION StartProgram(const std::wstring& program, const std::wstring& arguments)
{
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info)) {
        info = PROCESS_INFORMATION{};
    }
    return info;
}

ProcessResult RunProgram(const std::wstring& program, const std::wstring& arguments,
                         DWORD timeoutMs)
{
    ProcessResult result;
    PROCESS_INFORMATION info = StartProgram(program, arguments);
    if (info.hProcess == nullptr) {
        return result;
    }
    result.started = true;
    if (WaitForSingleObject(info.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        result.finished = true;
        GetExitCodeProcess(info.hProcess, &result.exitCode);
    } else {
        TerminateProcess(info.hProcess, 99);
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return result;
}

namespace {
// Moves whatever the pipe holds now into output, without blocking.
void DrainPipe(HANDLE pipe, std::string& output)
{
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[4096];
        DWORD read = 0;
        if (!ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) || read == 0) {
            return;
        }
        output.append(buffer, read);
    }
}
}  // namespace

CapturedRun RunProgramCapturingOutput(const std::wstring& program, const std::wstring& arguments,
                                      DWORD timeoutMs, HANDLE userToken)
{
    CapturedRun result;
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    HANDLE errorReadEnd = nullptr;
    HANDLE errorWriteEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        return result;
    }
    if (!CreatePipe(&errorReadEnd, &errorWriteEnd, &inheritable, 0)) {
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        return result;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errorReadEnd, HANDLE_FLAG_INHERIT, 0);
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = errorWriteEnd;
    PROCESS_INFORMATION info{};
    const bool created =
        (userToken == nullptr
             ? CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                              nullptr, &startup, &info)
             : CreateProcessAsUserW(userToken, program.c_str(), &commandLine[0], nullptr, nullptr,
                                    TRUE, 0, nullptr, nullptr, &startup, &info)) != FALSE;
    CloseHandle(writeEnd);
    CloseHandle(errorWriteEnd);
    if (created) {
        result.started = true;
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        for (;;) {
            DrainPipe(readEnd, result.output);
            DrainPipe(errorReadEnd, result.errors);
            if (WaitForSingleObject(info.hProcess, 20) == WAIT_OBJECT_0) {
                result.finished = true;
                GetExitCodeProcess(info.hProcess, &result.exitCode);
                break;
            }
            if (GetTickCount64() >= deadline) {
                TerminateProcess(info.hProcess, 99);
                break;
            }
        }
        DrainPipe(readEnd, result.output);
        DrainPipe(errorReadEnd, result.errors);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    CloseHandle(readEnd);
    CloseHandle(errorReadEnd);
    return result;
}

HANDLE LimitedToken()
{
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) {
        return nullptr;
    }
    TOKEN_LINKED_TOKEN linked{};
    DWORD size = 0;
    const bool found = GetTokenInformation(own, TokenLinkedToken, &linked, sizeof(linked), &size);
    CloseHandle(own);
    if (!found) {
        return nullptr;
    }
    HANDLE primary = nullptr;
    DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                     TokenPrimary, &primary);
    CloseHandle(linked.LinkedToken);
    return primary;
}

std::string ManifestOf(const std::wstring& modulePath)
{
    const HMODULE module =
        LoadLibraryExW(modulePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        return {};
    }
    std::string manifest;
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    const HGLOBAL loaded = resource != nullptr ? LoadResource(module, resource) : nullptr;
    if (loaded != nullptr) {
        manifest.assign(static_cast<const char*>(LockResource(loaded)),
                        SizeofResource(module, resource));
    }
    FreeLibrary(module);
    return manifest;
}

std::string ReadFileBytes(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    CloseHandle(file);
    return bytes;
}

std::wstring ReadUtf16File(const std::wstring& path)
{
    const std::string bytes = ReadFileBytes(path);
    std::wstring text(bytes.size() / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
    return text;
}

std::vector<std::wstring> ListFiles(const std::wstring& directory, const std::wstring& pattern)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            names.emplace_back(found.cFileName);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

std::wstring ReadAllLogFiles(const std::wstring& directory)
{
    std::vector<std::wstring> names = ListFiles(directory, L"*.log");
    std::sort(names.begin(), names.end());
    std::wstring text;
    for (const std::wstring& name : names) {
        text += ReadUtf16File(directory + L"\\" + name);
    }
    return text;
}

std::vector<std::wstring> OutputLinesOf(const std::wstring& output)
{
    std::vector<std::wstring> lines;
    for (size_t start = 0; start < output.size();) {
        const size_t end = std::min(output.find(L'\n', start), output.size());
        lines.push_back(output.substr(start, end - start));
        if (!lines.back().empty() && lines.back().back() == L'\r') {
            lines.back().pop_back();
        }
        start = end + 1;
    }
    return lines;
}

DWORD StartRecorded(const std::wstring& programPath, DWORD timeoutMs)
{
    const PROCESS_INFORMATION info = StartProgram(programPath, L"");
    if (info.hProcess == nullptr) {
        return 0;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    const bool recorded = WaitUntil(
        [&] {
            const std::vector<StartRecord> starts = StartsOf(programPath);
            return !starts.empty() && starts.back().processId == info.dwProcessId;
        },
        timeoutMs);
    return recorded ? info.dwProcessId : 0;
}

SYSTEMTIME LocalNow()
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return now;
}

std::wstring LogFileNameAt(const std::wstring& name, const SYSTEMTIME& time, int suffix)
{
    wchar_t minute[32] = {};
    swprintf(minute, 32, L"_%02d%02d_%02d%02d", time.wMonth, time.wDay, time.wHour, time.wMinute);
    return name + minute + (suffix > 0 ? L"_" + std::to_wstring(suffix) : std::wstring()) + L".log";
}

std::vector<StartRecord> StartsOf(const std::wstring& programPath)
{
    std::vector<StartRecord> starts;
    std::istringstream lines(ReadFileBytes(programPath + L".started"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        unsigned long processId = 0;
        unsigned long parentId = 0;
        if (!(fields >> processId >> parentId)) {
            continue;
        }
        std::string path;
        std::getline(fields >> std::ws, path);
        while (!path.empty() && (path.back() == '\r' || path.back() == '\n')) {
            path.pop_back();
        }
        starts.push_back({static_cast<DWORD>(processId), static_cast<DWORD>(parentId),
                          Widened(path)});
    }
    return starts;
}

StartRecord ReadStartRecord(const std::wstring& programPath)
{
    const std::vector<StartRecord> starts = StartsOf(programPath);
    return starts.empty() ? StartRecord() : starts.front();
}

std::vector<std::wstring> LogLines(const std::wstring& content, std::wstring& unterminated)
{
    std::vector<std::wstring> lines;
    unterminated.clear();
    for (size_t start = 0; start < content.size();) {
        const size_t end = content.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            unterminated = content.substr(start);
            break;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CopyInto(const std::wstring& source, const std::wstring& destination)
{
    return CopyFileW(source.c_str(), destination.c_str(), FALSE) != FALSE;
}

bool WriteTextFile(const std::wstring& path, const std::string& text)
{
    const ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && (text.empty() || (WriteFile(file.Get(), text.data(),
                                               static_cast<DWORD>(text.size()), &written, nullptr) &&
                                     written == text.size()));
}

bool SetString(const std::wstring& keyPath, const wchar_t* valueName, const std::wstring& text)
{
    return RegSetKeyValueW(HKEY_CURRENT_USER, keyPath.c_str(), valueName, REG_SZ, text.c_str(),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

ScratchDir::ScratchDir(const std::wstring& name) : path_(L"C:\\QuorbelTests\\" + name)
{
    CreateDirectoryW(L"C:\\QuorbelTests", nullptr);
    RemoveTree(path_);
    CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchDir::~ScratchDir()
{
    RemoveTree(path_);
}

namespace {
template <typename Visit>
void ForEachProcess(Visit visit)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        visit(entry);
    }
    CloseHandle(snapshot);
}
}  // namespace

std::vector<DWORD> ProcessIdsByName(const std::wstring& imageName)
{
    std::vector<DWORD> ids;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        if (imageName == entry.szExeFile) {
            ids.push_back(entry.th32ProcessID);
        }
    });
    return ids;
}

DWORD ParentProcessId(DWORD processId)
{
    DWORD parent = 0;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        if (entry.th32ProcessID == processId) {
            parent = entry.th32ParentProcessID;
        }
    });
    return parent;
}

bool IsProcessAlive(DWORD processId)
{
    bool alive = false;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        alive = alive || entry.th32ProcessID == processId;
    });
    return alive;
}

std::optional<bool> ProcessIsWow64(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        return std::nullopt;
    }
    BOOL wow64 = FALSE;
    const BOOL known = ::IsWow64Process(process, &wow64);
    CloseHandle(process);
    return known ? std::optional<bool>(wow64 != FALSE) : std::nullopt;
}

void TerminateById(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
    if (process != nullptr) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
}

void TerminateAllByName(const std::wstring& imageName)
{
    for (DWORD id : ProcessIdsByName(imageName)) {
        TerminateById(id);
    }
}

std::wstring Widened(const std::string& utf8)
{
    const int count = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                          nullptr, 0);
    std::wstring wide(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], count);
    return wide;
}

std::string Utf8(const std::wstring& wide)
{
    const int count = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                          nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(count), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &narrow[0], count,
                        nullptr, nullptr);
    return narrow;
}

int Occurrences(const std::wstring& text, const std::wstring& fragment)
{
    int count = 0;
    for (size_t at = text.find(fragment); at != std::wstring::npos;
         at = text.find(fragment, at + fragment.size())) {
        ++count;
    }
    return count;
}

}  // namespace testing_support
