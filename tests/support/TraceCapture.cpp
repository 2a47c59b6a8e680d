#include "TraceCapture.h"

#include <windows.h>

#include <atomic>

#include "TestSupport.h"
#include "trace/Trace.h"
#include "trace/TraceManager.h"

namespace testing_support {

namespace {

// This test program's file name without ".exe".
std::wstring ProgramName()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = path;
    name = name.substr(name.find_last_of(L'\\') + 1);
    return name.substr(0, name.rfind(L'.'));
}

const ScratchDir& LogFolder()
{
    // Emptied at the first capture and removed at process exit, when nothing traces any more.
    static const ScratchDir folder(ProgramName() + L"_log");
    static const bool turnedOn = [] {
        GetTraceManager().RegisterChannel(1, (ProgramName() + L".exe").c_str(),
                                          folder.Path().c_str());
        return true;
    }();
    (void)turnedOn;
    return folder;
}

}  // namespace

TraceCapture::TraceCapture()
{
    LogFolder();
    static std::atomic<int> sequence{0};
    marker_ = L"capture " + std::to_wstring(GetCurrentProcessId()) + L"." +
              std::to_wstring(++sequence) + L"." + std::to_wstring(GetTickCount());
    TraceLog("TraceCapture", __LINE__, L"%s", marker_.c_str());
}

std::wstring TraceCapture::Text() const
{
    const std::wstring text = ReadAllLogFiles(LogFolder().Path());
    const size_t at = text.find(marker_ + L"\r\n");
    return at == std::wstring::npos ? std::wstring() : text.substr(at + marker_.size() + 2);
}

int TraceCapture::Count(const std::wstring& fragment) const
{
    return Occurrences(Text(), fragment);
}

}  // namespace testing_support
