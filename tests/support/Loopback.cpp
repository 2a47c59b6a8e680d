#include "Loopback.h"

#include <winsock2.h>
#include <windows.h>

namespace testing_support {

int FreeLoopbackPort()
{
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return 0;
    }
    int port = 0;
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    if (probe != INVALID_SOCKET &&
        bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    if (probe != INVALID_SOCKET) {
        closesocket(probe);
    }
    WSACleanup();
    return port;
}

}  // namespace testing_support
