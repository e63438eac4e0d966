#include "platform/ServedDriver.h"

#include <chrono>
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

// A server that has a transfer of ours and says nothing for this long is
// asked whether it is still there; one that answers nothing at all, not
// even that, for SilenceLimitMs is taken as gone.
constexpr int PingAfterMs = 1000;
constexpr int SilenceLimitMs = 3000;

using Steady = std::chrono::steady_clock;

struct Pending {
    uint8_t Op;
    uint32_t Asked;
    bool Done = false;
    bool Ok = false;  // a well-formed reply came
    Header Reply;
    std::vector<uint8_t> Payload;
    std::condition_variable Cv;  // its own: a reply wakes only its caller
};

// One connection to the server, shared by every thread of the process.
// Replies are matched to their requests by id on a reader thread.
struct Connection {
    SocketFd Fd = NoSocket;
    std::mutex SendMutex;
    std::mutex Mutex;
    std::map<uint32_t, Pending *> Waiting;
    uint32_t NextId = 1;
    bool Dead = false;
    // Since when nothing came from the server while a transfer waited.
    Steady::time_point QuietSince = Steady::now();

    ~Connection() { CloseSocket(Fd); }

    void Kill()
    {
        std::lock_guard<std::mutex> lock(Mutex);
        if (!Dead) {
            Dead = true;
            ShutdownSocket(Fd);
        }
        for (auto &w : Waiting) {
            w.second->Done = true;
            w.second->Cv.notify_one();
        }
        Waiting.clear();
    }

    bool Send(const Header &h, const void *a, uint32_t aLen, const void *b, uint32_t bLen)
    {
        uint8_t head[HeaderSize];
        EncodeHeader(h, head);
        // The socket's send time-out bounds a server that stopped reading.
        std::lock_guard<std::mutex> lock(SendMutex);
        return SendFrame(Fd, head, sizeof head, a, aLen, b, bLen);
    }

    // Nothing came for a while: is the server still there?
    bool Quiet()
    {
        Header h;
        h.Op = Ping;
        {
            std::lock_guard<std::mutex> lock(Mutex);
            if (Dead)
                return false;
            if (Waiting.empty())
                return true;  // nothing asked: silence is all there is to hear
            const auto quiet = Steady::now() - QuietSince;
            if (quiet >= std::chrono::milliseconds(SilenceLimitMs)) {
                std::fputs("zPLR: served driver: the server answers nothing; connection dropped\n", stderr);
                return false;
            }
            if (quiet < std::chrono::milliseconds(PingAfterMs))
                return true;
            h.Id = NextId++;  // its reply finds no caller and is dropped
        }
        return Send(h, nullptr, 0, nullptr, 0);
    }

    static void ReadReplies(std::shared_ptr<Connection> c)
    {
        std::vector<uint8_t> payload;
        for (;;) {
            const int ready = WaitReadable(c->Fd, PingAfterMs / 2);
            if (ready < 0)
                break;
            if (ready == 0) {
                if (!c->Quiet())
                    break;
                continue;
            }
            // Once a frame has begun, all of it comes in time or the
            // server is gone.
            uint8_t head[HeaderSize];
            Header h;
            if (!RecvAllWithin(c->Fd, head, sizeof head, SilenceLimitMs))
                break;
            if (const char *fault = DecodeHeader(head, h, true)) {
                std::fputs((std::string("zPLR: served driver: bad frame from the server (") + fault + ")\n").c_str(), stderr);
                break;
            }
            payload.resize(h.Size);
            if (h.Size && !RecvAllWithin(c->Fd, payload.data(), h.Size, SilenceLimitMs))
                break;
            std::unique_lock<std::mutex> lock(c->Mutex);
            c->QuietSince = Steady::now();
            auto it = c->Waiting.find(h.Id);
            if (it == c->Waiting.end())
                continue;  // a ping's, or its caller gave up with the connection before
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
            p.Cv.notify_one();
        }
        c->Kill();
    }

    // Sends one request and waits for its reply. A blocked read waits here
    // until the server answers, as it would in the kernel, but not past a
    // server that has gone silent: the reader then drops the connection.
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
            if (Waiting.empty())
                QuietSince = Steady::now();
            Waiting[h.Id] = &p;
        }
        if (!Send(h, a, aLen, b, bLen))
            Kill();
        std::unique_lock<std::mutex> lock(Mutex);
        p.Cv.wait(lock, [&] { return p.Done; });
        return p.Ok && static_cast<int32_t>(Get32(p.Payload.data())) == 1;
    }

    // A request whose reply nobody waits for.
    void Post(uint8_t op, uint32_t handle)
    {
        Header h;
        h.Op = op;
        h.Lane = MyLane();
        h.Handle = handle;
        {
            std::lock_guard<std::mutex> lock(Mutex);
            if (Dead)
                return;
            h.Id = NextId++;
        }
        if (!Send(h, nullptr, 0, nullptr, 0))
            Kill();
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

    // As a driver's: asks for the end of the handle's transfers and returns;
    // their own replies tell when they ended.
    void CancelIo(ZlHandle h) override
    {
        Served s = Find(h);
        if (s.Conn)
            s.Conn->Post(Cancel, s.Wire);
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
        // After an attempt that the server let time out the box stays
        // unplugged for a moment: every pipe thread looks for it, and a
        // server that accepts but never answers would otherwise hold each
        // of them in turn.
        const Steady::time_point began = Steady::now();
        if (began < RetryAt_)
            return nullptr;
        struct BackOff {
            Steady::time_point Began, &RetryAt;
            ~BackOff()
            {
                if (Steady::now() - Began >= std::chrono::milliseconds(SlowAttemptMs))
                    RetryAt = Steady::now() + std::chrono::milliseconds(RetryMs);
            }
        } backOff{began, RetryAt_};
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
        uint8_t head[HeaderSize];
        uint8_t answer[4 + MaxReason];
        Header r;
        SetSendTimeout(fd, SilenceLimitMs);
        const bool answered = SendAll(fd, hello, HeaderSize + h.Size) &&
                              RecvAllWithin(fd, head, sizeof head, SilenceLimitMs) &&
                              !DecodeHeader(head, r, true) && r.Op == (Hello | ReplyBit) &&
                              RecvAllWithin(fd, answer, r.Size, SilenceLimitMs);
        if (!answered || r.Size != 4 || Get32(answer) != 1) {
            CloseSocket(fd);
            std::string why = "refused this client (token?)";
            if (!answered)
                why = "does not answer";
            else if (r.Size > 4)
                why = "refused this client: " +
                      std::string(reinterpret_cast<char *>(answer) + 4, r.Size - 4);
            Complain("the server at " + Address_ + " " + why);
            return nullptr;
        }
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
    static constexpr int RetryMs = 500;
    static constexpr int SlowAttemptMs = 1000;
    Steady::time_point RetryAt_;  // under ConnectMutex_
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
