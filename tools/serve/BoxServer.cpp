#include "tools/serve/BoxServer.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <sstream>

#include "platform/Wire.h"
#include "tools/WavFile.h"

namespace zlbox {

using namespace zplr::platform;
using namespace zplr::platform::wire;

namespace {
// A client has this long to say its hello.
constexpr int HelloLimitMs = 2000;
// Threads of one client: one per lane, as each lane may block in a read.
// The library needs about five per box.
constexpr size_t LanesPerClient = 64;
}  // namespace

// One client process: its connection, a thread per lane, its handles.
class Session {
public:
    Session(BoxServer &server, SocketFd fd, unsigned number, long user)
        : Server_(server), Fd_(fd), Number_(number), User_(user)
    {
        Reader_ = std::thread([this] { ReadRequests(); });
    }
    ~Session()
    {
        ShutdownSocket(Fd_);
        if (Reader_.joinable())
            Reader_.join();
        CloseSocket(Fd_);
    }
    void Shutdown() { ShutdownSocket(Fd_); }
    bool Finished() const { return Finished_.load(); }
    unsigned Number() const { return Number_; }
    long User() const { return User_; }

private:
    struct Request {
        Header H;
        std::vector<uint8_t> Payload;
    };
    struct Lane {
        std::thread Thread;
        std::mutex Mutex;
        std::condition_variable Cv;
        std::deque<Request> Queue;
        bool Stop = false;
        bool Running = false;
    };
    struct Held {
        ZlHandle Driver;
        int Box;
    };

    void ReadRequests();
    bool Greet();
    void RunLane(Lane &lane);
    void Execute(const Request &r);
    void Reply(const Header &req, int32_t result, const void *a = nullptr, uint32_t aLen = 0,
               const void *b = nullptr, uint32_t bLen = 0, uint32_t handle = 0);
    bool Find(uint32_t wire, Held &out);
    void Teardown();

    BoxServer &Server_;
    const SocketFd Fd_;
    const unsigned Number_;
    const long User_;
    std::thread Reader_;
    std::atomic<bool> Finished_{false};
    std::mutex SendMutex_;
    std::map<uint16_t, std::unique_ptr<Lane>> Lanes_;  // the reader's only
    std::mutex HandlesMutex_;
    std::map<uint32_t, Held> Handles_;
    uint32_t NextHandle_ = 1;
    std::atomic<bool> Refused_[4] = {};
};

bool Session::Greet()
{
    // A connection that says nothing must not hold a thread for long.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(HelloLimitMs);
    auto left = [&] {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now()).count();
        return static_cast<int>(std::max<long long>(ms, 0));
    };
    uint8_t head[HeaderSize];
    Header h;
    if (!RecvAllWithin(Fd_, head, sizeof head, left())) {
        std::fprintf(stderr, "zlbox serve: client %u closed: no hello within %d ms\n", Number_,
                     HelloLimitMs);
        return false;
    }
    const char *fault = DecodeHeader(head, h, false);
    if (!fault && h.Op != Hello)
        fault = "the first frame must be a hello";
    std::vector<uint8_t> payload(fault ? 0 : h.Size);
    if (!fault && h.Size && !RecvAllWithin(Fd_, payload.data(), h.Size, left()))
        return false;
    if (!fault)
        fault = CheckRequest(h, payload.data());
    if (!fault && !Server_.Token_.empty() &&
        std::string(payload.begin() + 4, payload.end()) != Server_.Token_)
        fault = "wrong or missing token";
    if (fault) {
        std::fprintf(stderr, "zlbox serve: client %u refused: %s\n", Number_, fault);
        Reply(h, 0);
        return false;
    }
    Reply(h, 1);
    return true;
}

void Session::ReadRequests()
{
    if (Greet()) {
        for (;;) {
            uint8_t head[HeaderSize];
            Request r;
            if (!RecvAll(Fd_, head, sizeof head))
                break;
            const char *fault = DecodeHeader(head, r.H, false);
            if (!fault) {
                r.Payload.resize(r.H.Size);
                if (r.H.Size && !RecvAll(Fd_, r.Payload.data(), r.H.Size))
                    break;
                fault = r.H.Op == Hello ? "a second hello" : CheckRequest(r.H, r.Payload.data());
            }
            if (fault) {
                std::fprintf(stderr, "zlbox serve: client %u: bad frame (%s); connection closed\n",
                             Number_, fault);
                break;
            }
            if (r.H.Op == Ping) {
                Reply(r.H, 1);  // at once: the lanes may all be blocked
                continue;
            }
            std::unique_ptr<Lane> &lane = Lanes_[r.H.Lane];
            if (!lane && Lanes_.size() > LanesPerClient) {
                Lanes_.erase(r.H.Lane);
                std::fprintf(stderr,
                             "zlbox serve: client %u: more than %zu threads; connection closed\n",
                             Number_, LanesPerClient);
                break;
            }
            if (!lane) {
                lane = std::make_unique<Lane>();
                Lane *l = lane.get();
                l->Thread = std::thread([this, l] { RunLane(*l); });
            }
            std::lock_guard<std::mutex> lock(lane->Mutex);
            // A lane is one thread waiting for each reply; only a reply just
            // sent may overlap the next request.
            if (lane->Queue.size() >= 4) {
                std::fprintf(stderr,
                             "zlbox serve: client %u: requests pile up on one lane; connection closed\n",
                             Number_);
                break;
            }
            lane->Queue.push_back(std::move(r));
            lane->Cv.notify_one();
        }
    }
    Teardown();
    Finished_.store(true);
}

void Session::RunLane(Lane &lane)
{
    std::unique_lock<std::mutex> lock(lane.Mutex);
    for (;;) {
        lane.Cv.wait(lock, [&] { return lane.Stop || !lane.Queue.empty(); });
        if (lane.Stop)
            return;
        Request r = std::move(lane.Queue.front());
        lane.Queue.pop_front();
        lane.Running = true;
        lock.unlock();
        Execute(r);
        lock.lock();
        lane.Running = false;
    }
}

// A client that went away releases everything it held: its blocked
// transfers are cancelled, its handles closed, its boxes free again.
void Session::Teardown()
{
    ShutdownSocket(Fd_);
    for (auto &l : Lanes_) {
        std::lock_guard<std::mutex> lock(l.second->Mutex);
        l.second->Stop = true;
        l.second->Queue.clear();
        l.second->Cv.notify_one();
    }
    for (;;) {
        bool running = false;
        for (auto &l : Lanes_) {
            std::lock_guard<std::mutex> lock(l.second->Mutex);
            running = running || l.second->Running;
        }
        if (!running)
            break;
        // A transfer may have begun after the last cancel: cancel again.
        std::vector<ZlHandle> open;
        {
            std::lock_guard<std::mutex> lock(HandlesMutex_);
            for (auto &h : Handles_)
                open.push_back(h.second.Driver);
        }
        for (ZlHandle h : open)
            Server_.Driver_.CancelIo(h);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (auto &l : Lanes_)
        l.second->Thread.join();
    Lanes_.clear();
    std::lock_guard<std::mutex> lock(HandlesMutex_);
    for (auto &h : Handles_) {
        Server_.Driver_.Close(h.second.Driver);
        Server_.Release(h.second.Box, this);
    }
    Handles_.clear();
}

void Session::Reply(const Header &req, int32_t result, const void *a, uint32_t aLen,
                    const void *b, uint32_t bLen, uint32_t handle)
{
    Header h;
    h.Size = 4 + aLen + bLen;
    h.Op = static_cast<uint8_t>(req.Op | ReplyBit);
    h.Lane = req.Lane < MaxLanes ? req.Lane : 0;
    h.Id = req.Id;
    h.Handle = handle;
    uint8_t head[HeaderSize + 4];
    EncodeHeader(h, head);
    Put32(head + HeaderSize, static_cast<uint32_t>(result));
    std::lock_guard<std::mutex> lock(SendMutex_);
    SendFrame(Fd_, head, sizeof head, a, aLen, b, bLen);
}

bool Session::Find(uint32_t wire, Held &out)
{
    std::lock_guard<std::mutex> lock(HandlesMutex_);
    auto it = Handles_.find(wire);
    if (it == Handles_.end())
        return false;
    out = it->second;
    return true;
}

void Session::Execute(const Request &r)
{
    zlsim::VirtualDriver &driver = Server_.Driver_;
    const uint8_t *p = r.Payload.data();
    Held held{ZL_INVALID_HANDLE, -1};
    const bool needsHandle =
        (r.H.Op >= wire::Read && r.H.Op <= wire::Close) || r.H.Op == wire::ControlBlock;
    if (needsHandle && !Find(r.H.Handle, held)) {
        Reply(r.H, 0);
        return;
    }
    switch (r.H.Op) {
    case Enum: {
        ZlGuid cls;
        cls.Data1 = Get32(p);
        cls.Data2 = static_cast<uint16_t>(p[4] | p[5] << 8);
        cls.Data3 = static_cast<uint16_t>(p[6] | p[7] << 8);
        std::memcpy(cls.Data4, p + 8, 8);
        char path[MaxPath + 1];
        size_t needed = 0;
        int result = driver.EnumInterface(cls, Get32(p + 16), path, sizeof path, &needed);
        if (result == ZL_ENUM_OK && (needed < 1 || needed > sizeof path))
            result = ZL_ENUM_FAILED;
        uint8_t out[8];
        Put32(out, static_cast<uint32_t>(result));
        Put32(out + 4, static_cast<uint32_t>(needed));
        Reply(r.H, 1, out, 8, path, result == ZL_ENUM_OK ? static_cast<uint32_t>(needed - 1) : 0);
        return;
    }
    case wire::Open: {
        const std::string path(r.Payload.begin(), r.Payload.end());
        const int box = Server_.BoxOfPath(path);
        if (box < 0 || !Server_.Claim(box, this)) {
            // Once per client and box: the library keeps looking for it.
            if (box >= 0 && !Refused_[box].exchange(true))
                std::fprintf(stderr, "zlbox serve: client %u: box %d is in use by another client\n",
                             Number_, box);
            Reply(r.H, 0);
            return;
        }
        const ZlHandle h = driver.Open(path.c_str());
        if (h == ZL_INVALID_HANDLE) {
            Server_.Release(box, this);
            Reply(r.H, 0);
            return;
        }
        uint32_t wire;
        {
            std::lock_guard<std::mutex> lock(HandlesMutex_);
            wire = NextHandle_++;
            Handles_[wire] = {h, box};
        }
        Reply(r.H, 1, nullptr, 0, nullptr, 0, wire);
        return;
    }
    case wire::Read: {
        std::vector<uint8_t> buf(Get32(p));
        unsigned done = 0;
        const int ok = driver.Read(held.Driver, buf.data(), static_cast<unsigned>(buf.size()), &done);
        Reply(r.H, ok ? 1 : 0, buf.data(), ok ? std::min<unsigned>(done, buf.size()) : 0);
        return;
    }
    case wire::Write: {
        unsigned done = 0;
        const int ok = driver.Write(held.Driver, p, r.H.Size, &done);
        uint8_t out[4];
        Put32(out, ok ? std::min<unsigned>(done, r.H.Size) : 0);
        Reply(r.H, ok ? 1 : 0, out, 4);
        return;
    }
    case wire::Control: {
        std::vector<uint8_t> out(Get32(p + 4));
        unsigned done = 0;
        const unsigned inLen = r.H.Size - 8;
        const int ok = driver.Control(held.Driver, Get32(p), inLen ? p + 8 : nullptr, inLen,
                                      out.empty() ? nullptr : out.data(),
                                      static_cast<unsigned>(out.size()), &done);
        Reply(r.H, ok ? 1 : 0, out.data(), ok ? std::min<unsigned>(done, out.size()) : 0);
        return;
    }
    case wire::ControlBlock: {
        std::vector<uint8_t> out(Get32(p + 4));
        unsigned done = 0;
        const unsigned block = p[9], inLen = r.H.Size - 10 - block;
        const int ok = driver.ControlRemote(held.Driver, Get32(p), inLen ? p + 10 + block : nullptr,
                                            inLen, p + 10, block, p[8],
                                            out.empty() ? nullptr : out.data(),
                                            static_cast<unsigned>(out.size()), &done);
        Reply(r.H, ok ? 1 : 0, out.data(), ok ? std::min<unsigned>(done, out.size()) : 0);
        return;
    }
    case Cancel:
        driver.CancelIo(held.Driver);
        Reply(r.H, 1);
        return;
    case wire::Close: {
        {
            std::lock_guard<std::mutex> lock(HandlesMutex_);
            if (!Handles_.erase(r.H.Handle)) {
                Reply(r.H, 0);  // closed by another lane meanwhile
                return;
            }
        }
        driver.Close(held.Driver);
        Server_.Release(held.Box, this);
        Reply(r.H, 1);
        return;
    }
    case wire::Line: {
        std::string answer;
        const bool ok = Server_.LineCommand(static_cast<int>(r.H.Handle),
                                            std::string(r.Payload.begin(), r.Payload.end()), answer);
        if (answer.size() > MaxText)
            answer.resize(MaxText);
        Reply(r.H, ok ? 1 : 0, answer.data(), static_cast<uint32_t>(answer.size()));
        return;
    }
    default:
        Reply(r.H, 0);
    }
}

BoxServer::BoxServer(const std::vector<int> &boxes, double pace, int replyDelayMs)
{
    Driver_.SetSoundPace(pace);
    for (int i : boxes) {
        if (i < 0 || i > 3 || Lines_[i])
            continue;
        Driver_.Plug(i);
        Driver_.Box(i).SetTimeScale(pace);
        if (replyDelayMs >= 0)
            Driver_.Box(i).SetReplyDelay(replyDelayMs);
        Lines_[i] = std::make_unique<zlsim::LineModel>(Driver_.Box(i), pace);
        Records_[i] = std::make_unique<zlsim::RecordModel>(Driver_.Box(i));
    }
}

BoxServer::~BoxServer()
{
    Stop();
    Reap(true);
    const SocketFd l = Listener_.exchange(NoSocket);
    if (l != NoSocket) {
        CloseSocket(l);
        RemoveSocketFile(Address_);
    }
}

bool BoxServer::Listen(const std::string &address, const std::string &token, std::string *error)
{
    const SocketFd l = ListenOn(address, error);
    if (l == NoSocket)
        return false;
    Address_ = address;
    Token_ = token;
    Listener_.store(l);
    return true;
}

namespace {
// Tells a client that it is not served, before it said anything, and closes.
void Refuse(SocketFd fd, const std::string &why)
{
    Header h;
    h.Op = Hello | ReplyBit;
    const std::string text = why.substr(0, MaxReason);
    h.Size = static_cast<uint32_t>(4 + text.size());
    uint8_t frame[HeaderSize + 4 + MaxReason];
    EncodeHeader(h, frame);
    Put32(frame + HeaderSize, 0);
    std::memcpy(frame + HeaderSize + 4, text.data(), text.size());
    SetSendTimeout(fd, 100);  // a client that does not read is not waited for
    SendAll(fd, frame, HeaderSize + h.Size);
    ShutdownSocket(fd);
    CloseSocket(fd);
}
}  // namespace

void BoxServer::Run()
{
    bool shortOfDescriptors = false;
    while (!Stopping_.load()) {
        bool transient = false;
        const SocketFd fd = AcceptOn(Listener_.load(), &transient);
        if (fd == NoSocket) {
            if (Stopping_.load() || !transient)
                break;
            // Out of descriptors or memory, or a connection gone before it
            // was taken: the server goes on once clients have left.
            if (!shortOfDescriptors)
                std::fprintf(stderr, "zlbox serve: accept failed (%s); retrying\n",
                             std::strerror(errno));
            shortOfDescriptors = true;
            Reap(false);
            std::this_thread::sleep_for(std::chrono::milliseconds(AcceptBackOffMs));
            continue;
        }
        shortOfDescriptors = false;
        Reap(false);
        const long user = PeerUser(fd);
        std::lock_guard<std::mutex> lock(Mutex_);
        size_t ofUser = 0;
        for (const auto &s : Sessions_)
            ofUser += !s->Finished() && s->User() == user;
        if (ofUser >= ConnectionsPerUser) {
            if (!Crowded_[user])
                std::fprintf(stderr, "zlbox serve: %zu connections of one user; further ones refused\n",
                             ofUser);
            Crowded_[user] = true;
            Refuse(fd, "too many connections of this user (" + std::to_string(ConnectionsPerUser) + ")");
            continue;
        }
        Crowded_.erase(user);
        Sessions_.push_back(std::make_unique<Session>(*this, fd, NextSession_++, user));
    }
}

void BoxServer::Stop()
{
    Stopping_.store(true);
    ShutdownSocket(Listener_.load());
}

void BoxServer::Reap(bool all)
{
    std::vector<std::unique_ptr<Session>> done;
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        for (auto it = Sessions_.begin(); it != Sessions_.end();) {
            if (all || (*it)->Finished()) {
                (*it)->Shutdown();
                done.push_back(std::move(*it));
                it = Sessions_.erase(it);
            } else {
                ++it;
            }
        }
    }
    done.clear();  // joins, outside the lock: teardown releases boxes
}

size_t BoxServer::ActiveSessions()
{
    std::lock_guard<std::mutex> lock(Mutex_);
    size_t n = 0;
    for (const auto &s : Sessions_)
        n += !s->Finished();
    return n;
}

int BoxServer::BoxOfPath(const std::string &path)
{
    for (int i = 0; i < 4; ++i) {
        if (!Lines_[i])
            continue;
        const std::string dev = Driver_.Box(i).DevicePath();
        if (path.compare(0, dev.size(), dev) == 0 &&
            (path.size() == dev.size() || path[dev.size()] == '\\'))
            return i;
    }
    return -1;
}

bool BoxServer::Claim(int index, Session *s)
{
    bool taken;
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        if (Owner_[index] && Owner_[index] != s)
            return false;
        taken = !Owner_[index];
        Owner_[index] = s;
        ++Holds_[index];
    }
    if (taken)
        Tell(index, "owner", "taken");
    return true;
}

void BoxServer::Release(int index, Session *s)
{
    bool freed = false;
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        if (Owner_[index] == s && Holds_[index] && --Holds_[index] == 0) {
            Owner_[index] = nullptr;
            freed = true;
        }
    }
    if (freed)
        Tell(index, "owner", "free");
}

bool BoxServer::Owned(int index)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return index >= 0 && index < 4 && Owner_[index] != nullptr;
}

bool BoxServer::LineCommand(int index, const std::string &command, std::string &answer)
{
    const bool done = RunLineCommand(index, command, answer);
    if (done)
        Tell(index, command, answer);
    return done;
}

void BoxServer::Watch(Watcher w)
{
    std::lock_guard<std::mutex> lock(WatchMutex_);
    Watcher_ = std::move(w);
}

void BoxServer::Tell(int box, const std::string &command, const std::string &answer)
{
    std::lock_guard<std::mutex> lock(WatchMutex_);
    if (Watcher_)
        Watcher_(box, command, answer);
}

bool BoxServer::RunLineCommand(int index, const std::string &command, std::string &answer)
{
    if (!Serves(index)) {
        answer = "box " + std::to_string(index) + " is not served";
        return false;
    }
    std::istringstream in(command);
    std::string verb, arg, extra;
    in >> verb;
    std::getline(in >> std::ws, arg);
    // A file name may hold spaces; everything else takes one word at most.
    zlsim::LineModel &line = *Lines_[index];
    if (verb == "ring") {
        std::istringstream words(arg);
        std::string number, format;
        words >> number >> format >> extra;
        zlsim::CallerIdType type = zlsim::CallerIdType::Sdmf;
        if (format == "mdmf")
            type = zlsim::CallerIdType::Mdmf;
        else if (format == "digits")
            type = zlsim::CallerIdType::Digits;
        else if (!format.empty() && format != "sdmf")
            number.clear();
        if (number.empty() || !extra.empty() ||
            number.find_first_not_of("0123456789*#ABCD") != std::string::npos) {
            answer = "ring takes NUMBER [sdmf|mdmf|digits]";
            return false;
        }
        line.Ring(number, type);
        answer = "ringing " + number;
        return true;
    }
    if (verb == "keys") {
        if (arg.empty() || arg.find_first_not_of("0123456789*#ABCD") != std::string::npos) {
            answer = "keys takes the keys 0-9 * # A-D";
            return false;
        }
        line.PressKeys(arg);
        answer = "keys " + arg;
        return true;
    }
    if (verb == "far-end" || verb == "save-playback") {
        if (arg.empty() || !Files_.load()) {
            answer = arg.empty() ? verb + " takes a file" : "no files on this server";
            return false;
        }
        if (verb == "far-end") {
            if (!line.LoadFarEnd(arg, &answer))
                return false;
            answer = "far end: " + arg;
            return true;
        }
        const std::vector<uint8_t> sound = Driver_.Box(index).SoundOut();
        if (!WriteLibraryLayout(arg, sound)) {
            answer = "cannot write " + arg;
            return false;
        }
        answer = arg + ": " + std::to_string(sound.size()) + " bytes played by the application";
        return true;
    }
    if (!arg.empty()) {
        answer = verb + " takes nothing more";
        return false;
    }
    if (verb == "answer")
        line.Answer();
    else if (verb == "busy")
        line.Busy();
    else if (verb == "hangup")
        line.Release();
    else if (verb == "unplug")
        Driver_.Unplug(index);
    else if (verb == "plug")
        Driver_.Plug(index);
    else {
        answer = "unknown line command '" + verb + "'";
        return false;
    }
    answer = verb;
    return true;
}

}  // namespace zlbox
