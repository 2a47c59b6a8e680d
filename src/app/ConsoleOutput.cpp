#include "app/ConsoleOutput.h"

#include <windows.h>

#include <vector>

#include "common/ScopedHandle.h"

namespace {

// The console of the process that started this one, opened once for both streams when this
// process has no standard handles of its own (a GUI program started from a prompt).
class ParentConsole {
public:
    static ParentConsole& Get()
    {
        static ParentConsole console;
        return console;
    }

    HANDLE Handle() const { return console_.Get(); }

    // The parent's prompt has been written already: the first line starts below it.
    bool TakePromptLine()
    {
        const bool onPromptLine = startsOnPromptLine_;
        startsOnPromptLine_ = false;
        return onPromptLine;
    }

private:
    ParentConsole()
    {
        if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
            // A GUI process that attaches gets no standard handles: it opens the console itself.
            console_.Reset(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
            startsOnPromptLine_ = console_.Get() != INVALID_HANDLE_VALUE;
        }
    }

    ScopedHandle console_;
    bool startsOnPromptLine_ = false;
};

// Where one stream's lines go, settled on its first line and kept until the process ends.
class OutputTarget {
public:
    explicit OutputTarget(DWORD standardHandle)
    {
        const HANDLE standard = ::GetStdHandle(standardHandle);
        if (standard != nullptr && standard != INVALID_HANDLE_VALUE) {
            handle_ = standard;
        } else {
            handle_ = ParentConsole::Get().Handle();
            borrowed_ = true;
        }
        DWORD mode = 0;
        isConsole_ = handle_ != nullptr && ::GetConsoleMode(handle_, &mode);
    }

    void WriteLine(const XStringW& text)
    {
        if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) {
            return;
        }
        const bool onPromptLine = borrowed_ && ParentConsole::Get().TakePromptLine();
        XStringW line;
        line.Format(onPromptLine ? L"\r\n%@\r\n" : L"%@\r\n", text);
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

    HANDLE handle_ = nullptr;  // not owned
    bool borrowed_ = false;    // the parent's console
    bool isConsole_ = false;
};

}  // namespace

void WriteOutputLine(const XStringW& text)
{
    static OutputTarget target(STD_OUTPUT_HANDLE);
    target.WriteLine(text);
}

void WriteErrorLine(const XStringW& text)
{
    static OutputTarget target(STD_ERROR_HANDLE);
    target.WriteLine(text);
}
