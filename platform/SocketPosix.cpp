#include "platform/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace zplr::platform {
namespace {

bool ParseTcp(const std::string &rest, sockaddr_in &sa, std::string *error)
{
    const size_t colon = rest.rfind(':');
    const std::string host = colon == std::string::npos ? "" : rest.substr(0, colon);
    const std::string port = colon == std::string::npos ? "" : rest.substr(colon + 1);
    char *end = nullptr;
    const long p = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end || p < 1 || p > 65535) {
        *error = "tcp address needs HOST:PORT";
        return false;
    }
    // Loopback only: the box is served to this machine, never the network.
    if (host != "127.0.0.1" && host != "localhost") {
        *error = "tcp is served on 127.0.0.1 only";
        return false;
    }
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(p));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return true;
}

bool ParseUnix(const std::string &path, sockaddr_un &sa, std::string *error)
{
    std::memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof sa.sun_path) {
        *error = "unix socket path empty or too long";
        return false;
    }
    std::memcpy(sa.sun_path, path.c_str(), path.size());
    return true;
}

int NewSocket(int family)
{
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && family == AF_INET) {
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

std::string Reason(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

constexpr int ConnectLimitMs = 3000;

}  // namespace

SocketFd ConnectTo(const std::string &address, std::string *error)
{
    std::string ignored;
    if (!error)
        error = &ignored;
    sockaddr_storage sa{};
    socklen_t saLen = 0;
    if (address.rfind("unix:", 0) == 0) {
        if (!ParseUnix(address.substr(5), reinterpret_cast<sockaddr_un &>(sa), error))
            return NoSocket;
        saLen = sizeof(sockaddr_un);
    } else if (address.rfind("tcp:", 0) == 0) {
        if (!ParseTcp(address.substr(4), reinterpret_cast<sockaddr_in &>(sa), error))
            return NoSocket;
        saLen = sizeof(sockaddr_in);
    } else {
        *error = "address must be unix:PATH or tcp:127.0.0.1:PORT";
        return NoSocket;
    }
    int fd = NewSocket(sa.ss_family);
    if (fd < 0) {
        *error = Reason("socket");
        return NoSocket;
    }
    // Bounded: a server that has stopped taking connections fills its queue,
    // and a blocking connect would then wait until it goes on.
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int r = ::connect(fd, reinterpret_cast<sockaddr *>(&sa), saLen);
    if (r != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        while ((r = ::poll(&p, 1, ConnectLimitMs)) < 0 && errno == EINTR) {
        }
        if (r == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
            r = 0;
        else {
            errno = r == 0 ? ETIMEDOUT : err ? err : errno;
            r = -1;
        }
    }
    if (r != 0) {
        *error = errno == EAGAIN ? std::string("connect: the server takes no connections") : Reason("connect");
        ::close(fd);
        return NoSocket;
    }
    ::fcntl(fd, F_SETFL, flags);
    return fd;
}

bool SendAll(SocketFd s, const void *buf, size_t len)
{
    const char *p = static_cast<const char *>(buf);
    while (len) {
        ssize_t n = ::send(static_cast<int>(s), p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
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
        ssize_t n = ::recv(static_cast<int>(s), p, len, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void SetReceiveTimeout(SocketFd s, int ms)
{
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

void SetSendTimeout(SocketFd s, int ms)
{
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int WaitReadable(SocketFd s, int ms)
{
    pollfd p{static_cast<int>(s), POLLIN, 0};
    for (;;) {
        const int r = ::poll(&p, 1, ms);
        if (r < 0 && errno == EINTR)
            continue;
        return r < 0 ? -1 : r > 0 ? 1 : 0;
    }
}

bool RecvAllWithin(SocketFd s, void *buf, size_t len, int ms)
{
    using C = std::chrono::steady_clock;
    const C::time_point end = C::now() + std::chrono::milliseconds(ms);
    char *p = static_cast<char *>(buf);
    while (len) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - C::now()).count();
        if (left <= 0 || WaitReadable(s, static_cast<int>(left)) != 1)
            return false;
        ssize_t n = ::recv(static_cast<int>(s), p, len, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
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
        ::shutdown(static_cast<int>(s), SHUT_RDWR);
}

void CloseSocket(SocketFd s)
{
    if (s != NoSocket)
        ::close(static_cast<int>(s));
}

SocketFd ListenOn(const std::string &address, std::string *error)
{
    std::string ignored;
    if (!error)
        error = &ignored;
    int fd = -1;
    if (address.rfind("unix:", 0) == 0) {
        const std::string path = address.substr(5);
        sockaddr_un sa;
        if (!ParseUnix(path, sa, error))
            return NoSocket;
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) {
                *error = path + " exists and is not a socket";
                return NoSocket;
            }
            SocketFd live = ConnectTo(address, nullptr);
            if (live != NoSocket) {
                CloseSocket(live);
                *error = "a server already listens on " + path;
                return NoSocket;
            }
            ::unlink(path.c_str());  // left by a server that died
        }
        fd = NewSocket(AF_UNIX);
        // Created without group or other access from the first moment.
        const mode_t old = ::umask(0177);
        const int bound = fd < 0 ? -1 : ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        ::umask(old);
        if (bound != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 16) != 0) {
            *error = Reason("listen");
            if (fd >= 0)
                ::close(fd);
            return NoSocket;
        }
    } else if (address.rfind("tcp:", 0) == 0) {
        sockaddr_in sa;
        if (!ParseTcp(address.substr(4), sa, error))
            return NoSocket;
        fd = NewSocket(AF_INET);
        int one = 1;
        if (fd >= 0)
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
            ::listen(fd, 16) != 0) {
            *error = Reason("listen");
            if (fd >= 0)
                ::close(fd);
            return NoSocket;
        }
    } else {
        *error = "address must be unix:PATH or tcp:127.0.0.1:PORT";
        return NoSocket;
    }
    return fd;
}

SocketFd AcceptOn(SocketFd listener, bool *transient)
{
    if (transient)
        *transient = false;
    for (;;) {
        int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        if (errno == EINTR)
            continue;
        if (transient)
            *transient = errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
                         errno == ENOMEM || errno == ECONNABORTED || errno == EPROTO ||
                         errno == EPERM;
        return NoSocket;
    }
}

long PeerUser(SocketFd s)
{
    ucred cred{};
    socklen_t len = sizeof cred;
    sockaddr_storage sa{};
    socklen_t saLen = sizeof sa;
    if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr *>(&sa), &saLen) != 0 ||
        sa.ss_family != AF_UNIX ||
        ::getsockopt(static_cast<int>(s), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return -1;
    return static_cast<long>(cred.uid);
}

void RemoveSocketFile(const std::string &address)
{
    if (address.rfind("unix:", 0) == 0)
        ::unlink(address.c_str() + 5);
}

std::string RuntimeDir(bool make)
{
    const char *xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg)
        return xdg;
    const std::string dir = "/tmp/zplr-" + std::to_string(::getuid());
    if (make && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    // Someone else's directory, or one others may write to, is not ours.
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077))
        return {};
    return dir;
}

std::string TokenFilePath(bool make)
{
    const char *file = std::getenv("ZPLR_TOKEN_FILE");
    if (file && *file)
        return file;
    const std::string dir = RuntimeDir(make);
    return dir.empty() ? std::string() : dir + "/zplr-token";
}

bool WriteNewToken(const std::string &path, std::string *token)
{
    unsigned char raw[16];
    int rnd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (rnd < 0)
        return false;
    const bool got = ::read(rnd, raw, sizeof raw) == static_cast<ssize_t>(sizeof raw);
    ::close(rnd);
    if (!got)
        return false;
    std::string t;
    for (unsigned char c : raw) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", c);
        t += hex;
    }
    ::unlink(path.c_str());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const std::string line = t + "\n";
    const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    if (ok && token)
        *token = t;
    return ok;
}

}  // namespace zplr::platform
