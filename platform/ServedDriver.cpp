#include "platform/ServedDriver.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "platform/Wire.h"

namespace zplr::platform {
namespace {

using namespace wire;

// Lanes of the calling threads: each thread keeps one while it lives, so the
// server runs its requests in order on one thread of its own.
class Lanes {
public:
    uint16_t Take()
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        for (uint16_t i = 0; i < MaxLanes; ++i)
            if (!Used_[i]) {
                Used_[i] = true;
                return i;
            }
        return MaxLanes - 1;  // shared by the threads beyond the last
    }
    void Give(uint16_t lane)
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        if (lane != MaxLanes - 1)
            Used_[lane] = false;
    }

private:
    std::mutex Mutex_;
    bool Used_[MaxLanes] = {};
};

Lanes &AllLanes()
{
    static Lanes *lanes = new Lanes;
    return *lanes;
}

struct LaneOfThread {
    uint16_t Lane = AllLanes().Take();
    ~LaneOfThread() { AllLanes().Give(Lane); }
};

uint16_t MyLane()
{
    thread_local LaneOfThread mine;
    return mine.Lane;
}

struct Pending {
    uint8_t Op;
    uint32_t Asked;
    bool Done = false;
    bool Ok = false;  // a well-formed reply came
    Header Reply;
    std::vector<uint8_t> Payload;
};

// One connection to the server, shared by every thread of the process.
// Replies are matched to their requests by id on a reader thread.
struct Connection {
    SocketFd Fd = NoSocket;
    unsigned Generation = 0;
    std::mutex SendMutex;
    std::mutex Mutex;
    std::condition_variable Cv;
    std::map<uint32_t, Pending *> Waiting;
    uint32_t NextId = 1;
    bool Dead = false;

    ~Connection() { CloseSocket(Fd); }

    void Kill()
    {
        std::lock_guard<std::mutex> lock(Mutex);
        if (!Dead) {
            Dead = true;
            ShutdownSocket(Fd);
        }
        for (auto &w : Waiting)
            w.second->Done = true;
        Waiting.clear();
        Cv.notify_all();
    }

    static void ReadReplies(std::shared_ptr<Connection> c)
    {
        std::vector<uint8_t> payload;
        for (;;) {
            uint8_t head[HeaderSize];
            Header h;
            if (!RecvAll(c->Fd, head, sizeof head))
                break;
            if (const char *fault = DecodeHeader(head, h, true)) {
                std::fputs((std::string("zPLR: served driver: bad frame from the server (") + fault + ")\n").c_str(), stderr);
                break;
            }
            payload.resize(h.Size);
            if (h.Size && !RecvAll(c->Fd, payload.data(), h.Size))
                break;
            std::unique_lock<std::mutex> lock(c->Mutex);
            auto it = c->Waiting.find(h.Id);
            if (it == c->Waiting.end())
                continue;  // its caller gave up with the connection before
            Pending &p = *it->second;
            if (const char *fault = CheckReply(h, payload.data(), p.Op, p.Asked)) {
                lock.unlock();
                std::fputs((std::string("zPLR: served driver: bad ") + OpName(p.Op) +
                            " reply from the server (" + fault + ")\n").c_str(), stderr);
                break;
            }
            p.Reply = h;
            p.Payload.swap(payload);
            p.Ok = true;
            p.Done = true;
            c->Waiting.erase(it);
            c->Cv.notify_all();
        }
        c->Kill();
    }

    // Sends one request and waits for its reply. A blocked read waits here
    // until the server answers or goes away, as it would in the kernel.
    bool Call(uint8_t op, uint32_t handle, const void *a, uint32_t aLen, const void *b,
              uint32_t bLen, uint32_t asked, Pending &p)
    {
        p.Op = op;
        p.Asked = asked;
        Header h;
        h.Size = aLen + bLen;
        h.Op = op;
        h.Lane = MyLane();
        h.Handle = handle;
        {
            std::lock_guard<std::mutex> lock(Mutex);
            if (Dead)
                return false;
            h.Id = NextId++;
            Waiting[h.Id] = &p;
        }
        uint8_t head[HeaderSize];
        EncodeHeader(h, head);
        bool sent;
        {
            std::lock_guard<std::mutex> lock(SendMutex);
            sent = SendAll(Fd, head, sizeof head) && (!aLen || SendAll(Fd, a, aLen)) &&
                   (!bLen || SendAll(Fd, b, bLen));
        }
        if (!sent)
            Kill();
        std::unique_lock<std::mutex> lock(Mutex);
        Cv.wait(lock, [&] { return p.Done; });
        return p.Ok && static_cast<int32_t>(Get32(p.Payload.data())) == 1;
    }
};

class ServedDriver final : public ZlDriverBackend {
public:
    explicit ServedDriver(std::string address) : Address_(std::move(address)) {}

    int EnumInterface(const ZlGuid &cls, unsigned index, char *path, size_t pathSize,
                      size_t *needed) override
    {
        if (needed)
            *needed = 0;
        std::shared_ptr<Connection> c = Connect();
        if (!c)
            return ZL_ENUM_NO_MORE;  // no server: no box
        uint8_t req[20];
        Put32(req, cls.Data1);
        req[4] = static_cast<uint8_t>(cls.Data2);
        req[5] = static_cast<uint8_t>(cls.Data2 >> 8);
        req[6] = static_cast<uint8_t>(cls.Data3);
        req[7] = static_cast<uint8_t>(cls.Data3 >> 8);
        std::memcpy(req + 8, cls.Data4, 8);
        Put32(req + 16, index);
        Pending p;
        if (!c->Call(Enum, 0, req, sizeof req, nullptr, 0, 0, p))
            return ZL_ENUM_NO_MORE;
        const int result = static_cast<int32_t>(Get32(p.Payload.data() + 4));
        const size_t size = Get32(p.Payload.data() + 8);
        if (needed)
            *needed = size;
        if (result == ZL_ENUM_OK) {
            if (path && size <= pathSize) {
                std::memcpy(path, p.Payload.data() + 12, size - 1);
                path[size - 1] = '\0';
            }
            return ZL_ENUM_OK;
        }
        return result == ZL_ENUM_FAILED ? ZL_ENUM_FAILED : ZL_ENUM_NO_MORE;
    }

    ZlHandle Open(const char *path) override
    {
        const size_t len = path ? std::strlen(path) : 0;
        if (!len || len > MaxPath)
            return ZL_INVALID_HANDLE;
        std::shared_ptr<Connection> c = Connect();
        if (!c)
            return ZL_INVALID_HANDLE;
        Pending p;
        if (!c->Call(wire::Open, 0, path, static_cast<uint32_t>(len), nullptr, 0, 0, p))
            return ZL_INVALID_HANDLE;
        std::lock_guard<std::mutex> lock(Mutex_);
        const ZlHandle h = NextHandle_++;
        Handles_[h] = {c, p.Reply.Handle};
        return h;
    }

    int Read(ZlHandle h, void *buf, unsigned len, unsigned *done) override
    {
        if (done)
            *done = 0;
        Served s = Find(h);
        if (!s.Conn || len > MaxTransfer)
            return 0;
        uint8_t req[4];
        Put32(req, len);
        Pending p;
        if (!s.Conn->Call(wire::Read, s.Wire, req, 4, nullptr, 0, len, p))
            return 0;
        const unsigned got = static_cast<unsigned>(p.Payload.size() - 4);
        if (got)
            std::memcpy(buf, p.Payload.data() + 4, got);
        if (done)
            *done = got;
        return 1;
    }

    int Write(ZlHandle h, const void *buf, unsigned len, unsigned *done) override
    {
        if (done)
            *done = 0;
        Served s = Find(h);
        if (!s.Conn || len > MaxTransfer)
            return 0;
        Pending p;
        if (!s.Conn->Call(wire::Write, s.Wire, buf, len, nullptr, 0, len, p))
            return 0;
        if (done)
            *done = Get32(p.Payload.data() + 4);
        return 1;
    }

    int Control(ZlHandle h, unsigned code, const void *in, unsigned inLen, void *out,
                unsigned outLen, unsigned *done) override
    {
        if (done)
            *done = 0;
        Served s = Find(h);
        if (!s.Conn || inLen > MaxControl || outLen > MaxControl || (inLen && !in))
            return 0;
        if (!out)
            outLen = 0;
        uint8_t req[10 + wire::MaxBlock];
        Put32(req, code);
        Put32(req + 4, outLen);
        uint32_t reqLen = 8;
        uint8_t op = wire::Control;
        // A start request points to a block of ours: the server gets its
        // bytes, and our pointer width, instead of the address.
        const unsigned width = sizeof(void *);
        if ((code == 0x80002010 || code == 0x8000200C) && inLen == (width == 8 ? 20u : 16u)) {
            const uint8_t *w = static_cast<const uint8_t *>(in);
            const uint32_t size = Get32(w + 4);
            uint64_t address = Get32(w + 8);
            if (width == 8)
                address |= uint64_t(Get32(w + 12)) << 32;
            if (size <= wire::MaxBlock && (address || !size)) {
                req[8] = static_cast<uint8_t>(width);
                req[9] = static_cast<uint8_t>(size);
                if (size)
                    std::memcpy(req + 10, reinterpret_cast<const void *>(static_cast<uintptr_t>(address)),
                                size);
                reqLen = 10 + size;
                op = wire::ControlBlock;
            }
        }
        Pending p;
        if (!s.Conn->Call(op, s.Wire, req, reqLen, in, inLen, outLen, p))
            return 0;
        const unsigned got = static_cast<unsigned>(p.Payload.size() - 4);
        if (got)
            std::memcpy(out, p.Payload.data() + 4, got);
        if (done)
            *done = got;
        return 1;
    }

    void CancelIo(ZlHandle h) override
    {
        Served s = Find(h);
        Pending p;
        if (s.Conn)
            s.Conn->Call(Cancel, s.Wire, nullptr, 0, nullptr, 0, 0, p);
    }

    void Close(ZlHandle h) override
    {
        Served s;
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            auto it = Handles_.find(h);
            if (it == Handles_.end())
                return;
            s = it->second;
            Handles_.erase(it);
        }
        Pending p;
        s.Conn->Call(wire::Close, s.Wire, nullptr, 0, nullptr, 0, 0, p);
    }

private:
    struct Served {
        std::shared_ptr<Connection> Conn;
        uint32_t Wire = 0;
    };

    // A handle of a connection that died stays dead: the new server never
    // knew it.
    Served Find(ZlHandle h)
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        auto it = Handles_.find(h);
        return it == Handles_.end() ? Served{} : it->second;
    }

    std::shared_ptr<Connection> Connect()
    {
        std::lock_guard<std::mutex> lock(ConnectMutex_);
        {
            std::lock_guard<std::mutex> l(Current_->Mutex);
            if (!Current_->Dead && Current_->Fd != NoSocket)
                return Current_;
        }
        std::string error;
        SocketFd fd = ConnectTo(Address_, &error);
        if (fd == NoSocket) {
            Complain("cannot reach " + Address_ + " (" + error + ")");
            return nullptr;
        }
        const std::string token = ReadToken(TokenFilePath());
        uint8_t hello[HeaderSize + 4 + MaxToken];
        Header h;
        h.Size = static_cast<uint32_t>(4 + token.size());
        h.Op = Hello;
        EncodeHeader(h, hello);
        Put32(hello + HeaderSize, Version);
        std::memcpy(hello + HeaderSize + 4, token.data(), token.size());
        uint8_t head[HeaderSize + 4];
        Header r;
        // A server that accepts but never answers must not hold discovery.
        SetReceiveTimeout(fd, 5000);
        if (!SendAll(fd, hello, HeaderSize + h.Size) || !RecvAll(fd, head, sizeof head) ||
            DecodeHeader(head, r, true) || r.Op != (Hello | ReplyBit) || r.Size != 4 ||
            Get32(head + HeaderSize) != 1) {
            CloseSocket(fd);
            Complain("the server at " + Address_ + " refused this client (token?)");
            return nullptr;
        }
        SetReceiveTimeout(fd, 0);  // a read of pipe 0 waits as long as it must
        auto c = std::make_shared<Connection>();
        c->Fd = fd;
        Complained_ = false;
        std::thread(Connection::ReadReplies, c).detach();
        Current_ = c;
        return c;
    }

    // Once per outage: the library polls for its box.
    void Complain(const std::string &what)
    {
        // fputs: a formatted write to stderr takes 8 KiB of a small stack.
        if (!Complained_)
            std::fputs(("zPLR: served driver: " + what + "\n").c_str(), stderr);
        Complained_ = true;
    }

    const std::string Address_;
    std::mutex ConnectMutex_;
    std::shared_ptr<Connection> Current_ = std::make_shared<Connection>();
    bool Complained_ = false;
    std::mutex Mutex_;
    std::map<ZlHandle, Served> Handles_;
    ZlHandle NextHandle_ = 0x100;
};

}  // namespace

ZlDriverBackend *NewServedDriver(const std::string &address)
{
    if (address.rfind("unix:", 0) != 0 && address.rfind("tcp:", 0) != 0)
        return nullptr;
    return new ServedDriver(address);
}

}  // namespace zplr::platform
