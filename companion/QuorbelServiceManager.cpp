// A minimal companion program. The service keeps a process of this image name running beside
// itself; this one only holds its place until it is terminated. A deployment may put its own
// QuorbelServiceManager.exe in its place.

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // One companion per session is enough; a second copy leaves at once.
    HANDLE instance = CreateMutexW(nullptr, FALSE, L"QuorbelServiceManager");
    if (instance == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        return 0;
    }
    for (;;) {
        Sleep(INFINITE);
    }
}
