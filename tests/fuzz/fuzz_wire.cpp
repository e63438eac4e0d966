// Frames of the served driver from a hostile peer. The first byte chooses
// the side:
//  - even: the box server itself, on a socket of its own, reads the rest
//    after a good hello, as one client's stream; it must neither crash nor
//    leave that client's handles behind;
//  - odd: the client's checks of replies, which must uphold what the client
//    then relies on when it copies a reply out.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/Socket.h"
#include "platform/Wire.h"
#include "tools/serve/BoxServer.h"

using namespace zplr::platform;
using namespace zplr::platform::wire;

namespace {

const std::string &Address()
{
    static const std::string address = [] {
        char dir[] = "/tmp/zplr-fuzz-XXXXXX";
        if (!mkdtemp(dir))
            std::abort();
        return "unix:" + std::string(dir) + "/s";
    }();
    return address;
}

zlbox::BoxServer &Server()
{
    static zlbox::BoxServer *server = [] {
        auto *s = new zlbox::BoxServer({0, 1}, 0.0);
        s->AllowFiles(false);
        if (!s->Listen(Address(), "", nullptr))
            std::abort();
        std::thread([s] { s->Run(); }).detach();
        return s;
    }();
    return *server;
}

void ServerSide(const uint8_t *data, size_t size)
{
    Server();
    SocketFd fd = ConnectTo(Address(), nullptr);
    if (fd == NoSocket)
        std::abort();
    uint8_t hello[HeaderSize + 4];
    Header h;
    h.Op = Hello;
    h.Size = 4;
    EncodeHeader(h, hello);
    Put32(hello + HeaderSize, Version);
    SendAll(fd, hello, sizeof hello);
    SendAll(fd, data, size);
    ::shutdown(static_cast<int>(fd), SHUT_WR);
    // Until the server closes: every reply must be a frame of its own.
    uint8_t head[HeaderSize];
    std::unique_ptr<uint8_t[]> payload(new uint8_t[MaxPayload]);
    while (RecvAll(fd, head, sizeof head)) {
        Header r;
        if (DecodeHeader(head, r, true))
            std::abort();
        if (!RecvAll(fd, payload.get(), r.Size))
            break;
    }
    CloseSocket(fd);
    // Once the server has let the client go, none of its handles is open.
    // Its teardown may take a while when a lane is still busy; a hang is
    // caught by the fuzzer's own time-out.
    while (Server().ActiveSessions())
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    if (Server().Driver().OpenHandles())
        std::abort();
}

void ClientSide(const uint8_t *data, size_t size)
{
    while (size >= HeaderSize + 5) {
        const uint8_t op = data[0] % 9 + 1;
        const uint32_t asked = Get32(data + 1) % (MaxTransfer + 2);
        data += 5;
        size -= 5;
        Header h;
        const char *bad = DecodeHeader(data, h, true);
        data += HeaderSize;
        size -= HeaderSize;
        if (bad)
            continue;
        if (h.Size > size)
            return;
        const uint8_t *p = data;
        data += h.Size;
        size -= h.Size;
        if (CheckReply(h, p, op, asked))
            continue;
        // What the client takes for granted once a reply passed.
        if (h.Size < 4 || h.Size > MaxPayload)
            std::abort();
        if ((op == Read || op == Control) && h.Size - 4 > asked)
            std::abort();
        if (op == Write && (h.Size != 8 || Get32(p + 4) > asked))
            std::abort();
        if (op == Enum && static_cast<int32_t>(Get32(p + 4)) == 1) {
            const uint32_t needed = Get32(p + 8);
            if (h.Size < 12 || needed != h.Size - 11 || needed > MaxPath + 1)
                std::abort();
            char path[MaxPath + 1];
            std::memcpy(path, p + 12, needed - 1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!size)
        return 0;
    if (data[0] & 1)
        ClientSide(data + 1, size - 1);
    else
        ServerSide(data + 1, size - 1);
    return 0;
}
