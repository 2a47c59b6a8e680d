#include "app/ConsoleOutput.h"

#include <windows.h>

#include <vector>

#include "common/ScopedHandle.h"

namespace {

// Where the answers go, settled on the first line and kept until the process ends.
class OutputTarget {
public:
    OutputTarget()
    {
        const HANDLE standardOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
        if (standardOutput != nullptr && standardOutput != INVALID_HANDLE_VALUE) {
            handle_ = standardOutput;
        } else if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
            // A GUI process that attaches gets no standard handles: it opens the console itself.
            console_.Reset(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
            handle_ = console_.Get();
            // The parent's prompt has been written already: start below it.
            startsOnPromptLine_ = true;
        }
        DWORD mode = 0;
        isConsole_ = handle_ != nullptr && ::GetConsoleMode(handle_, &mode);
    }

    void WriteLine(const XStringW& text)
    {
        if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) {
            return;
        }
        XStringW line;
        line.Format(startsOnPromptLine_ ? L"\r\n%@\r\n" : L"%@\r\n", text);
        startsOnPromptLine_ = false;
        if (isConsole_) {
            DWORD written = 0;
            ::WriteConsoleW(handle_, line.GetString(), static_cast<DWORD>(line.GetLength()),
                            &written, nullptr);
        } else {
            WriteUtf8(line);
        }
    }

private:
    // Files and pipes get UTF-8, so that every character survives whatever reads them.
    void WriteUtf8(const XStringW& line)
    {
        const int byteCount = ::WideCharToMultiByte(CP_UTF8, 0, line.GetString(),
                                                    line.GetLength(), nullptr, 0, nullptr, nullptr);
        if (byteCount <= 0) {
            return;
        }
        std::vector<char> bytes(static_cast<size_t>(byteCount));
        ::WideCharToMultiByte(CP_UTF8, 0, line.GetString(), line.GetLength(), bytes.data(),
                              byteCount, nullptr, nullptr);
        DWORD written = 0;
        ::WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        SecureZeroMemory(bytes.data(), bytes.size());
    }

    ScopedHandle console_;
    HANDLE handle_ = nullptr;  // not owned unless it is console_'s
    bool isConsole_ = false;
    bool startsOnPromptLine_ = false;
};

}  // namespace

void WriteOutputLine(const XStringW& text)
{
    static OutputTarget target;
    target.WriteLine(text);
}
