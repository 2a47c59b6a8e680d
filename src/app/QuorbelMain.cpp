#include "app/Dispatch.h"

#include <windows.h>

#include <cstdio>

#include "app/Startup.h"
#include "trace/Trace.h"

int QuorbelMain(int argc, char** argv)
{
    if (!InitApplication()) {
        std::fputs("심각한 오류: MFC를 초기화하지 못했습니다.\n", stdout);
        std::fflush(stdout);
        TraceFatal("main", __LINE__, L"Fail Initialize");
        return 1;
    }

    InitTrace();
    TraceLog("main", __LINE__, L"Run QuorbelService");

    if (!ClaimSingleInstance()) {
        TraceLog("main", __LINE__, L"Duplicate Process");
        return 0;
    }

    DispatchCommand(argc, argv);
    return 0;
}
