#include "trace/Trace.h"

#include <cstdarg>

#include "trace/TraceManager.h"
#include "paths/ModulePaths.h"

namespace {

constexpr wchar_t kTraceSwitchFile[] = L"trace.txt";
constexpr wchar_t kFatalRecordName[] = L"fatal";
constexpr int kTraceLevel = 1;
// A traced value (a path, a registry text) is cut here: one huge value at every pass would
// otherwise fill the log folder within hours.
constexpr int kMaxTracedValueChars = 1024;

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
    manager.WriteChannelLine(MakeTracePrefix(functionName, line), error, message);
}

void TraceFatalWrite(const char* functionName, int line, const wchar_t* format, ...)
{
    XStringW message;
    va_list args;
    va_start(args, format);
    message.AppendFormatV(format, args, kMaxTracedValueChars);
    va_end(args);
    const XStringW prefix = MakeTracePrefix(functionName, line);

    CTraceManager& manager = GetTraceManager();
    manager.SetLogDirectory(XStringW());
    // The fatal log is no channel: every line names its file afresh from the current minute.
    const XStringW name(kFatalRecordName);
    XStringW fileName;
    manager.WriteTraceLine(name, fileName, prefix, true, message);
}
