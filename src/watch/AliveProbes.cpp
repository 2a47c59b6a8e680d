#include "watch/AliveProbes.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <winhttp.h>

#include <vector>

#include "common/ScopedHandle.h"

namespace {

// A socket, closed with its owner.
class OwnedSocket {
public:
    explicit OwnedSocket(int family) : socket_(::socket(family, SOCK_STREAM, IPPROTO_TCP)) {}
    ~OwnedSocket()
    {
        if (socket_ != INVALID_SOCKET) {
            ::closesocket(socket_);
        }
    }
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;
    SOCKET Get() const { return socket_; }

private:
    SOCKET socket_;
};

// A WinHTTP handle, closed with its owner.
class InternetHandle {
public:
    explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
    ~InternetHandle()
    {
        if (handle_ != nullptr) {
            ::WinHttpCloseHandle(handle_);
        }
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    HINTERNET Get() const { return handle_; }

private:
    HINTERNET handle_;
};

// One connection under way, to one loopback address.
struct Attempt {
    explicit Attempt(int family) : socket(family) {}
    OwnedSocket socket;
    bool pending = false;
    int error = 0;
};

// Starts a connection that does not block; false when it failed at once (its error kept).
bool BeginConnect(Attempt& attempt, const sockaddr* address, int length)
{
    if (attempt.socket.Get() == INVALID_SOCKET) {
        attempt.error = ::WSAGetLastError();
        return false;
    }
    u_long nonBlocking = 1;
    if (::ioctlsocket(attempt.socket.Get(), FIONBIO, &nonBlocking) != 0) {
        attempt.error = ::WSAGetLastError();
        return false;
    }
    if (::connect(attempt.socket.Get(), address, length) == 0) {
        return true;  // accepted at once; select reports it writable
    }
    attempt.error = ::WSAGetLastError();
    return attempt.error == WSAEWOULDBLOCK;
}

ULONGLONG FileTimeOf(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// An attempt is pending until select says it connected (writable) or failed (an exception).
// True when one connected within the time.
bool AwaitAny(std::vector<Attempt*>& attempts, DWORD timeoutMs, bool& timedOut)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    timedOut = false;
    for (;;) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        bool anyPending = false;
        for (Attempt* attempt : attempts) {
            if (attempt->pending) {
                FD_SET(attempt->socket.Get(), &writable);
                FD_SET(attempt->socket.Get(), &failed);
                anyPending = true;
            }
        }
        const ULONGLONG now = ::GetTickCount64();
        if (!anyPending) {
            return false;
        }
        if (now >= deadline) {
            timedOut = true;
            return false;
        }
        const ULONGLONG left = deadline - now;
        timeval wait{};
        wait.tv_sec = static_cast<long>(left / 1000);
        wait.tv_usec = static_cast<long>((left % 1000) * 1000);
        const int ready = ::select(0, nullptr, &writable, &failed, &wait);
        if (ready < 0) {
            for (Attempt* attempt : attempts) {
                attempt->pending = false;
                attempt->error = ::WSAGetLastError();
            }
            return false;
        }
        for (Attempt* attempt : attempts) {
            if (!attempt->pending) {
                continue;
            }
            if (FD_ISSET(attempt->socket.Get(), &writable)) {
                return true;
            }
            if (FD_ISSET(attempt->socket.Get(), &failed)) {
                int error = 0;
                int size = sizeof(error);
                ::getsockopt(attempt->socket.Get(), SOL_SOCKET, SO_ERROR,
                             reinterpret_cast<char*>(&error), &size);
                attempt->pending = false;
                attempt->error = error;
            }
        }
    }
}

ProbeResult Answer(bool good, const XStringW& words)
{
    ProbeResult result;
    result.good = good;
    result.words = words;
    return result;
}

// The status code of a GET of the cracked URL, or 0 with the WinHTTP error.
DWORD GetStatus(const URL_COMPONENTS& parts, const XStringW& host, const XStringW& object,
                DWORD& error)
{
    const InternetHandle session(::WinHttpOpen(L"QuorbelService", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    const int timeout = static_cast<int>(alive_probe::kAnswerTimeoutMs);
    if (session.Get() == nullptr ||
        !::WinHttpSetTimeouts(session.Get(), timeout, timeout, timeout, timeout)) {
        error = ::GetLastError();
        return 0;
    }
    const InternetHandle connection(
        ::WinHttpConnect(session.Get(), host.GetString(), parts.nPort, 0));
    if (connection.Get() == nullptr) {
        error = ::GetLastError();
        return 0;
    }
    const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    const InternetHandle request(::WinHttpOpenRequest(connection.Get(), L"GET", object.GetString(),
                                                      nullptr, WINHTTP_NO_REFERER,
                                                      WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (request.Get() == nullptr) {
        error = ::GetLastError();
        return 0;
    }
    // A redirect is an answer of its own: the program answered, wherever it points.
    DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
    ::WinHttpSetOption(request.Get(), WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects,
                       sizeof(noRedirects));
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                              WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.Get(), nullptr) ||
        !::WinHttpQueryHeaders(request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
        error = ::GetLastError();
        return 0;
    }
    return status;
}

}  // namespace

namespace alive_probe {

bool StartNetworking()
{
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void EndNetworking()
{
    ::WSACleanup();
}

ProbeResult File(const XStringW& path)
{
    ProbeResult result;
    const ScopedHandle file(::CreateFileW(
        path.GetString(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file.IsValid() || !::GetFileInformationByHandle(file.Get(), &information)) {
        result.words.Format(L"%@ cannot be read (error %u)", path, ::GetLastError());
        return result;
    }
    result.good = true;
    result.there = true;
    result.writtenAt = FileTimeOf(information.ftLastWriteTime);
    result.size = (static_cast<ULONGLONG>(information.nFileSizeHigh) << 32) |
                  information.nFileSizeLow;
    return result;
}

ProbeResult Port(DWORD port)
{
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = ::htons(static_cast<u_short>(port));
    v4.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = ::htons(static_cast<u_short>(port));
    v6.sin6_addr = in6addr_loopback;

    // Both at once, under one bound: on Windows a refused loopback connection takes its time
    // (the connection is tried again before it is given up), which would leave ::1 none.
    Attempt overV4(AF_INET);
    Attempt overV6(AF_INET6);
    overV4.pending = BeginConnect(overV4, reinterpret_cast<const sockaddr*>(&v4), sizeof(v4));
    overV6.pending = BeginConnect(overV6, reinterpret_cast<const sockaddr*>(&v6), sizeof(v6));
    std::vector<Attempt*> attempts = {&overV4, &overV6};
    bool timedOut = false;
    XStringW words;
    if (AwaitAny(attempts, kConnectTimeoutMs, timedOut)) {
        words.Format(L"port %u accepted", port);
        return Answer(true, words);
    }
    if (timedOut) {
        words.Format(L"port %u accepted nothing within %u s", port, kConnectTimeoutMs / 1000);
    } else if (overV4.error == WSAECONNREFUSED) {
        words.Format(L"port %u refused", port);
    } else {
        words.Format(L"port %u could not be reached (error %d)", port, overV4.error);
    }
    return Answer(false, words);
}

ProbeResult Url(const XStringW& url)
{
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    XStringW words;
    if (!::WinHttpCrackUrl(url.GetString(), 0, 0, &parts)) {
        words.Format(L"%@ is no URL WinHTTP takes (error %u)", url, ::GetLastError());
        return Answer(false, words);
    }
    const XStringW host = XStringW(parts.lpszHostName).Left(static_cast<int>(parts.dwHostNameLength));
    XStringW object = XStringW(parts.lpszUrlPath).Left(static_cast<int>(parts.dwUrlPathLength));
    // The fragment stays with the client, the query goes with the path.
    XStringW extra = XStringW(parts.lpszExtraInfo).Left(static_cast<int>(parts.dwExtraInfoLength));
    const int fragment = extra.Find(L"#");
    object += fragment < 0 ? extra : extra.Left(fragment);
    if (object.IsEmpty()) {
        object = L"/";
    }
    const ULONGLONG began = ::GetTickCount64();
    DWORD error = 0;
    const DWORD status = GetStatus(parts, host, object, error);
    const ULONGLONG tookMs = ::GetTickCount64() - began;
    if (status == 0) {
        if (error == ERROR_WINHTTP_TIMEOUT || tookMs > kAnswerTimeoutMs) {
            words.Format(L"%@ did not answer within %u s", url, kAnswerTimeoutMs / 1000);
        } else if (error == ERROR_WINHTTP_CANNOT_CONNECT) {
            words.Format(L"%@ refused the connection", url);
        } else {
            words.Format(L"%@ gave no answer (error %u)", url, error);
        }
        return Answer(false, words);
    }
    if (tookMs > kAnswerTimeoutMs) {
        words.Format(L"%@ answered %u only after %u s", url, status,
                     static_cast<unsigned>(tookMs / 1000));
        return Answer(false, words);
    }
    words.Format(L"%@ answered %u", url, status);
    return Answer(status >= 200 && status < 400, words);
}

}  // namespace alive_probe
