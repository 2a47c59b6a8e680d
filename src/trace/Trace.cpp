#include "trace/Trace.h"

#include <cstdarg>

#include "trace/TraceManager.h"
#include "paths/ModulePaths.h"
#include "strings/CommandLineText.h"

namespace {

constexpr wchar_t kTraceSwitchFile[] = L"trace.txt";
constexpr wchar_t kFatalRecordName[] = L"fatal";
constexpr int kTraceLevel = 1;
// A traced value (a path, a registry text) is cut here: one huge value at every pass would
// otherwise fill the log folder within hours.
constexpr int kMaxTracedValueChars = 1024;

// A value holding a line break would otherwise write a line of its own making: control
// characters are shown as the list command shows them, all but the line break some messages end
// with, after which nothing of theirs follows.
XStringW ShownForTrace(const XStringW& message)
{
    const wchar_t* const text = message.GetString();
    int end = message.GetLength();
    while (end > 0 && (text[end - 1] == L'\n' || text[end - 1] == L'\r')) {
        --end;
    }
    XStringW shown = WithControlCharactersShown(message.Left(end));
    shown += text + end;
    return shown;
}

}  // namespace

void InitTrace()
{
    const XStringW exeName = GetModuleName();
    const XStringW directory;
    if (IsTraceSwitchOn(kTraceSwitchFile)) {
        GetTraceManager().RegisterChannel(kTraceLevel, exeName, directory);
    }
}

bool IsTraceOn()
{
    return GetTraceManager().IsChannelOn();
}

void TraceWrite(const char* functionName, int line, bool error, const wchar_t* format, ...)
{
    CTraceManager& manager = GetTraceManager();
    if (!manager.IsChannelOn()) {
        return;
    }
    XStringW message;
    va_list args;
    va_start(args, format);
    message.AppendFormatV(format, args, kMaxTracedValueChars);
    va_end(args);
    message = ShownForTrace(message);
    manager.WriteChannelLine(MakeTracePrefix(functionName, line), error, message);
}

void TraceFatalWrite(const char* functionName, int line, const wchar_t* format, ...)
{
    XStringW message;
    va_list args;
    va_start(args, format);
    message.AppendFormatV(format, args, kMaxTracedValueChars);
    va_end(args);
    message = ShownForTrace(message);
    const XStringW prefix = MakeTracePrefix(functionName, line);

    CTraceManager& manager = GetTraceManager();
    manager.SetLogDirectory(XStringW());
    // The fatal log is no channel: every line names its file afresh from the current minute.
    const XStringW name(kFatalRecordName);
    XStringW fileName;
    manager.WriteTraceLine(name, fileName, prefix, true, message);
}
