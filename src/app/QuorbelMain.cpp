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
    const RunForm form = FormOf(arguments);
    if (form == RunForm::kService) {
        // Another process cannot keep the service from running by holding its guard.
        ClaimServiceInstance();
    } else if (form != RunForm::kReadOnly) {
        XStringW heldBy;
        const GuardClaim claim = ClaimSingleInstance(heldBy);
        if (claim == GuardClaim::kHeldByTool) {
            TraceLog("main", __LINE__, L"Duplicate Process");
            if (form == RunForm::kLogonRun) {
                return kExitSuccess;
            }
            SayError(L"another %@ runs in this session already; nothing was done",
                     GetApplicationName());
            return kExitDuplicate;
        }
        if (claim == GuardClaim::kNoGuard && form != RunForm::kLogonRun) {
            SayError(L"warning: the event %@ that keeps two of these tools apart is held by %@, "
                     L"so it guards nothing; going on",
                     GetApplicationName(), heldBy);
        }
    }

    return DispatchCommand(arguments);
}
