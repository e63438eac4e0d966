#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zplr::platform {
namespace {

bool Started()
{
    static const bool ok = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}

SOCKET ToSocket(SocketFd s) { return static_cast<SOCKET>(s); }

}  // namespace

// Windows clients reach a server on this machine over TCP only.
SocketFd ConnectTo(const std::string &address, std::string *error)
{
    std::string ignored;
    if (!error)
        error = &ignored;
    if (address.rfind("tcp:", 0) != 0) {
        *error = "Windows clients connect with tcp:127.0.0.1:PORT";
        return NoSocket;
    }
    const std::string rest = address.substr(4);
    const size_t colon = rest.rfind(':');
    const std::string host = colon == std::string::npos ? "" : rest.substr(0, colon);
    char *end = nullptr;
    const long port = colon == std::string::npos ? 0 : std::strtol(rest.c_str() + colon + 1, &end, 10);
    if (port < 1 || port > 65535 || *end) {
        *error = "tcp address needs HOST:PORT";
        return NoSocket;
    }
    if (host != "127.0.0.1" && host != "localhost") {
        *error = "tcp is served on 127.0.0.1 only";
        return NoSocket;
    }
    if (!Started()) {
        *error = "no Winsock";
        return NoSocket;
    }
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *error = "socket failed";
        return NoSocket;
    }
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        *error = "connect failed (" + std::to_string(WSAGetLastError()) + ")";
        ::closesocket(s);
        return NoSocket;
    }
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    return static_cast<SocketFd>(s);
}

bool SendAll(SocketFd s, const void *buf, size_t len)
{
    const char *p = static_cast<const char *>(buf);
    while (len) {
        const int n = ::send(ToSocket(s), p, static_cast<int>(len > 1 << 20 ? 1 << 20 : len), 0);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool RecvAll(SocketFd s, void *buf, size_t len)
{
    char *p = static_cast<char *>(buf);
    while (len) {
        const int n = ::recv(ToSocket(s), p, static_cast<int>(len > 1 << 20 ? 1 << 20 : len), 0);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void SetReceiveTimeout(SocketFd s, int ms)
{
    DWORD t = static_cast<DWORD>(ms);
    ::setsockopt(ToSocket(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&t), sizeof t);
}

void SetSendTimeout(SocketFd s, int ms)
{
    DWORD t = static_cast<DWORD>(ms);
    ::setsockopt(ToSocket(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&t), sizeof t);
}

int WaitReadable(SocketFd s, int ms)
{
    WSAPOLLFD p{ToSocket(s), POLLRDNORM, 0};
    const int r = ::WSAPoll(&p, 1, ms);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

bool RecvAllWithin(SocketFd s, void *buf, size_t len, int ms)
{
    const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(ms);
    char *p = static_cast<char *>(buf);
    while (len) {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= end || WaitReadable(s, static_cast<int>(end - now)) != 1)
            return false;
        const int n = ::recv(ToSocket(s), p, static_cast<int>(len), 0);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void ShutdownSocket(SocketFd s)
{
    if (s != NoSocket)
        ::shutdown(ToSocket(s), SD_BOTH);
}

void CloseSocket(SocketFd s)
{
    if (s != NoSocket)
        ::closesocket(ToSocket(s));
}

SocketFd ListenOn(const std::string &, std::string *error)
{
    if (error)
        *error = "the box server runs on Linux";
    return NoSocket;
}

SocketFd AcceptOn(SocketFd, bool *transient)
{
    if (transient)
        *transient = false;
    return NoSocket;
}

long PeerUser(SocketFd) { return -1; }

void RemoveSocketFile(const std::string &) {}

std::string RuntimeDir(bool) { return {}; }

std::string TokenFilePath(bool)
{
    const char *file = std::getenv("ZPLR_TOKEN_FILE");
    return file && *file ? file : "";
}

bool WriteNewToken(const std::string &, std::string *) { return false; }

}  // namespace zplr::platform
