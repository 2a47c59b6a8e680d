#include "app/Dispatch.h"

#include <windows.h>

#include <cstdio>

#include "app/CommandLine.h"
#include "app/ConsoleOutput.h"
#include "app/Startup.h"
#include "trace/Trace.h"

int QuorbelMain(int argc, char** argv)
{
    if (!InitApplication()) {
        std::fputs("심각한 오류: MFC를 초기화하지 못했습니다.\n", stdout);
        std::fflush(stdout);
        TraceFatal("main", __LINE__, L"Fail Initialize");
        return kExitInitFailed;
    }

    InitTrace();
    TraceLog("main", __LINE__, L"Run QuorbelService");

    const std::vector<XStringW> arguments = CommandLineArguments(argc, argv);
    // The service control manager's start: "service" alone. Another process cannot keep the
    // service from running by holding its guard.
    if (arguments.size() == 2 && IsSilentForm(arguments)) {
        ClaimServiceInstance();
    } else if (!ClaimSingleInstance()) {
        TraceLog("main", __LINE__, L"Duplicate Process");
        if (IsSilentForm(arguments)) {
            return kExitSuccess;
        }
        XStringW message;
        message.Format(L"another %@ runs in this session already; nothing was done",
                       GetApplicationName());
        WriteOutputLine(message);
        return kExitDuplicate;
    }

    return DispatchCommand(arguments);
}
