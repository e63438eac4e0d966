// Stream sockets for the served driver: a Unix socket or TCP on loopback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zplr::platform {

using SocketFd = intptr_t;
constexpr SocketFd NoSocket = -1;

// Connects to "unix:PATH" or "tcp:127.0.0.1:PORT"; NoSocket and the reason
// in `error` when it cannot.
SocketFd ConnectTo(const std::string &address, std::string *error);

// Whole buffers or nothing: false once the peer is gone or the socket shut.
bool SendAll(SocketFd s, const void *buf, size_t len);
bool RecvAll(SocketFd s, void *buf, size_t len);

// A frame of up to three parts; a small one goes out in one send, so that
// the peer wakes once for it, not once a part.
inline bool SendFrame(SocketFd s, const void *a, size_t aLen, const void *b = nullptr, size_t bLen = 0,
                      const void *c = nullptr, size_t cLen = 0)
{
    constexpr size_t CopyLimit = 16 * 1024;
    if (aLen + bLen + cLen > CopyLimit)
        return SendAll(s, a, aLen) && (!bLen || SendAll(s, b, bLen)) && (!cLen || SendAll(s, c, cLen));
    std::vector<uint8_t> frame(aLen + bLen + cLen);
    auto put = [&, at = frame.data()](const void *p, size_t n) mutable {
        if (n)
            std::memcpy(at, p, n);
        at += n;
    };
    put(a, aLen);
    put(b, bLen);
    put(c, cLen);
    return SendAll(s, frame.data(), frame.size());
}

// Bounds each receive, or each send, to `ms` milliseconds (0: no bound).
void SetReceiveTimeout(SocketFd s, int ms);
void SetSendTimeout(SocketFd s, int ms);

// Waits up to `ms` for the socket to have something to read (or to be shut
// or gone): 1, 0 when the time passed, -1 on an error.
int WaitReadable(SocketFd s, int ms);

// Like RecvAll, but the whole buffer must come within `ms`.
bool RecvAllWithin(SocketFd s, void *buf, size_t len, int ms);

// Wakes every thread blocked on the socket; safe from a signal handler.
void ShutdownSocket(SocketFd s);
void CloseSocket(SocketFd s);

// Listening side. A Unix socket is made readable and writable by its owner
// only; a file left by a server that died is taken over, one that still
// answers is refused. TCP binds to loopback only.
SocketFd ListenOn(const std::string &address, std::string *error);
// A new connection, or NoSocket. A refusal that passes (the process or the
// system is out of descriptors or memory, a connection aborted before it was
// taken) sets `transient`; any other NoSocket means the listener is shut.
SocketFd AcceptOn(SocketFd listener, bool *transient = nullptr);
// The user id of a local peer; -1 when it cannot be told (TCP).
long PeerUser(SocketFd s);
// Removes the Unix socket file of `address`, if it is one.
void RemoveSocketFile(const std::string &address);

// Per-user place of the socket and the token file: $XDG_RUNTIME_DIR, else
// /tmp/zplr-UID (0700; made only when `make` is set, by the server). Empty
// when neither can be had.
std::string RuntimeDir(bool make = false);
// The token file: $ZPLR_TOKEN_FILE, else "zplr-token" in RuntimeDir(make).
std::string TokenFilePath(bool make = false);
// Reads the token (first line, at most 64 bytes); empty when there is none.
std::string ReadToken(const std::string &path);
// Writes a fresh random token to `path`, mode 0600; false on failure.
bool WriteNewToken(const std::string &path, std::string *token);

}  // namespace zplr::platform
