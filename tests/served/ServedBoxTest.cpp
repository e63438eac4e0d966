// An application linked to the library alone, against real `zlbox serve`
// processes: the box it drives lives in another process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "transport/DeviceSlot.h"
#include "tools/Spawn.h"
#include "zPLR.h"

namespace {

namespace fs = std::filesystem;

// As the in-process suite's clock: a command's 30 polls take 620 ms, more
// than a loaded machine stalls.
constexpr double Scale = 0.2;

const fs::path Dir = fs::temp_directory_path() / ("zplr-served-" + std::to_string(getpid()));
const std::string Socket = (Dir / "box.sock").string();
const std::string Address = "unix:" + Socket;

// Chosen once per process, before the library first looks for a box; the
// directory goes when the tests end.
class ServedEnvironment : public ::testing::Environment {
public:
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(Dir, ec);
    }
};
const bool EnvironmentSet = [] {
    fs::create_directories(Dir);
    setenv("ZPLR_DRIVER", Address.c_str(), 1);
    ::testing::AddGlobalTestEnvironment(new ServedEnvironment);
    return true;
}();

bool Eventually(const std::function<bool()> &done, int timeoutMs = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

using zlbox::Spawn;

std::string Slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Runs zlbox to its end: exit status and output.
int Zlbox(std::vector<std::string> args, std::string *output = nullptr)
{
    args.insert(args.begin(), ZLBOX_PATH);
    const std::string out = (Dir / "zlbox.out").string();
    pid_t pid = Spawn(args, out);
    int status = 0;
    waitpid(pid, &status, 0);
    if (output)
        *output = Slurp(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> Received;  // messages of the library
std::mutex ReceivedMutex;

void KeepMessage(const char *text, unsigned)
{
    std::lock_guard<std::mutex> lock(ReceivedMutex);
    Received.push_back(text);
}

class ServedBoxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        zplr::platform::SetTimeScale(Scale);
        {
            std::lock_guard<std::mutex> lock(ReceivedMutex);
            Received.clear();
        }
        ZlSetMessageHandler(KeepMessage);
        StartServer();
    }
    void TearDown() override
    {
        io.ExistUSB_IO();
        StopServer(SIGTERM);
        ZlSetMessageHandler(nullptr);
        zplr::platform::SetTimeScale(1.0);
    }

    // descriptors > 0: the server runs with that limit of open files.
    void StartServer(int descriptors = 0)
    {
        const std::string log = (Dir / "server.log").string();
        std::vector<std::string> serve = {ZLBOX_PATH, "serve", "--boxes", "0,1", "--listen", Address,
                                          "--pace", std::to_string(Scale)};
        if (descriptors > 0) {
            std::string line = "ulimit -n " + std::to_string(descriptors) + " && exec";
            for (const std::string &a : serve)
                line += " '" + a + "'";
            serve = {"/bin/sh", "-c", line};
        }
        Server = Spawn(serve, log);
        ASSERT_GT(Server, 0);
        ASSERT_TRUE(Eventually([&] {
            return Slurp(log).find("ZPLR_DRIVER=" + Address) != std::string::npos;
        })) << Slurp(log);
    }
    void StopServer(int signal)
    {
        if (Server <= 0)
            return;
        kill(Server, signal);
        int status = 0;
        waitpid(Server, &status, 0);
        Server = -1;
    }
    void Open()
    {
        ASSERT_EQ(io.InitialUSB_IOEx(0), 1);
        ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }));
    }
    std::vector<uint8_t> Keys(size_t count)
    {
        std::vector<uint8_t> keys;
        Eventually([&] {
            unsigned char code[2];
            while (io.GetDTMFCode(code) == 1)
                keys.push_back(code[0]);
            return keys.size() >= count;
        });
        return keys;
    }

    pid_t Server = -1;
    CZusb_IO io{0};
};

TEST_F(ServedBoxTest, IncomingCallWithCallerIdKeysRecordingAndPlayback)
{
    Open();
    ASSERT_EQ(Zlbox({"line", "far-end", DATA_DIR "/alaw_sox.wav"}), 0);
    ASSERT_EQ(Zlbox({"line", "ring", "02155501234", "--format", "mdmf"}), 0);
    ASSERT_TRUE(Eventually([&] { return io.CheckCallStatus() == 1; }));
    ASSERT_TRUE(Eventually([&] { return std::string(io.ReadstrCallNmb()) == "02155501234"; }));
    ASSERT_EQ(io.PickUp(), 1);

    const std::string recording = (Dir / "call.wav").string();
    ASSERT_EQ(io.StartReadSound(recording.c_str(), 1), 1);
    ASSERT_EQ(Zlbox({"line", "keys", "42#"}), 0);
    // Keys as the box reports them: 4, 2 and 12 for '#'.
    EXPECT_EQ(Keys(3), (std::vector<uint8_t>{4, 2, 12}));
    ASSERT_TRUE(Eventually([&] { return io.ReadRecLength() >= 8000; }));
    io.StopReadSound();
    const std::string wav = Slurp(recording);
    ASSERT_GT(wav.size(), 48u + 8000u);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    // The caller's voice, sample for sample.
    const std::string voice = Slurp(DATA_DIR "/alaw_sox.wav");
    const size_t data = voice.find("data") + 8;
    ASSERT_GT(voice.size(), data + 64);
    EXPECT_NE(wav.find(voice.substr(data + 100, 64), 48), std::string::npos);

    // Played bytes arrive at the box unchanged.
    std::string sound;
    for (int i = 0; i < 4096; ++i)
        sound += static_cast<char>(0x55 ^ (i * 7));
    const std::string played = (Dir / "play.wav").string();
    {
        std::string header = wav.substr(0, 48);
        const uint32_t riff = 40 + static_cast<uint32_t>(sound.size());
        const uint32_t data = static_cast<uint32_t>(sound.size());
        std::memcpy(&header[4], &riff, 4);
        std::memcpy(&header[44], &data, 4);
        std::ofstream(played, std::ios::binary) << header << sound;
    }
    ASSERT_EQ(io.StartPlaySound(played.c_str(), 0, 0, 1, 1), 1);
    ASSERT_TRUE(Eventually([&] { return io.GetWriteSoundRate() == 1000; }));
    io.StopPlaySound();
    const std::string saved = (Dir / "saved.wav").string();
    ASSERT_EQ(Zlbox({"line", "save-playback", saved}), 0);
    const std::string line = Slurp(saved);
    ASSERT_GE(line.size(), 48u + sound.size());
    EXPECT_EQ(line.substr(48, sound.size()), sound);
    EXPECT_EQ(io.PutDown(), 1);
}

TEST_F(ServedBoxTest, ServerKilledMidCallRaisesTheAlarmAndANewServerIsFound)
{
    Open();
    ASSERT_EQ(io.PickUp(), 1);
    StopServer(SIGKILL);
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(ReceivedMutex);
        for (const std::string &m : Received)
            if (m.find("ZL(1)") != std::string::npos)
                return true;
        return false;
    })) << "no connection alarm";
    EXPECT_NE(io.IfConnectUSB(), 0);
    StartServer();  // the dead server's socket file is taken over
    // A live server's socket is not.
    std::string out;
    EXPECT_EQ(Zlbox({"serve", "--listen", Address}, &out), 1);
    EXPECT_NE(out.find("a server already listens"), std::string::npos) << out;
    EXPECT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }, 10000));
    ASSERT_EQ(Zlbox({"line", "keys", "7"}), 0);
    ASSERT_EQ(io.PickUp(), 1);
    EXPECT_EQ(Keys(1), (std::vector<uint8_t>{7}));
}

TEST_F(ServedBoxTest, OwnedBoxRefusedToASecondClientUntilReleased)
{
    // A client killed while it owns the box leaves nothing held.
    const std::string out1 = (Dir / "owner.out").string();
    const pid_t owner = Spawn({ZLBOX_PATH, "call", "--wait", "60"}, out1);
    ASSERT_TRUE(Eventually([&] { return Slurp(out1).find("waiting for a call") != std::string::npos; }))
        << Slurp(out1);
    kill(owner, SIGKILL);
    waitpid(owner, nullptr, 0);
    Open();
    std::string out;
    EXPECT_EQ(Zlbox({"status"}, &out), 1) << out;
    EXPECT_NE(out.find("box not reached"), std::string::npos) << out;
    // Another box of the same server is free, and lines work beside the owner.
    EXPECT_TRUE(Eventually([&] { return Zlbox({"--device", "1", "status"}, &out) == 0; }, 20000)) << out;
    EXPECT_EQ(Zlbox({"line", "answer"}), 0);
    io.ExistUSB_IO();
    // Released once the session's last handle is closed, which a loaded
    // machine may delay past zlbox's own wait.
    EXPECT_TRUE(Eventually([&] { return Zlbox({"status"}, &out) == 0; }, 20000)) << out;
}

// Raw connections: each malformed frame closes its own connection only.
int RawConnect()
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, Socket.c_str(), sizeof sa.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

std::vector<uint8_t> Frame(uint32_t size, uint8_t op, uint8_t marker = 0x5A, uint16_t lane = 0,
                           uint32_t handle = 0)
{
    std::vector<uint8_t> f = {uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16),
                              uint8_t(size >> 24), op, marker, uint8_t(lane), uint8_t(lane >> 8),
                              1, 0, 0, 0, uint8_t(handle), uint8_t(handle >> 8), 0, 0};
    return f;
}

TEST_F(ServedBoxTest, BadFramesCloseTheirOwnConnectionOnly)
{
    Open();
    const std::vector<uint8_t> hello = [] {
        std::vector<uint8_t> f = Frame(4, 1);
        f.insert(f.end(), {1, 0, 0, 0});
        return f;
    }();
    struct Case {
        const char *Name;
        std::vector<uint8_t> Bytes;
    };
    std::vector<Case> cases = {
        {"no marker", Frame(0, 7, 0x00)},
        {"unknown operation", Frame(0, 42)},
        {"a reply as a request", Frame(4, 0x84)},
        {"lane out of range", Frame(4, 4, 0x5A, 256)},
        {"read longer than a transfer", Frame(4, 4)},
        {"payload beyond its operation", Frame(100000, 5)},
        {"path with a NUL", Frame(3, 3)},
        {"second hello", hello},
    };
    cases[4].Bytes.insert(cases[4].Bytes.end(), {0x01, 0x00, 0x10, 0x00});  // 1 MiB + 1
    cases[6].Bytes.insert(cases[6].Bytes.end(), {'a', 0, 'b'});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        int fd = RawConnect();
        ASSERT_GE(fd, 0);
        std::vector<uint8_t> bytes = hello;
        bytes.insert(bytes.end(), c.Bytes.begin(), c.Bytes.end());
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
        uint8_t reply[20];
        ASSERT_EQ(recv(fd, reply, sizeof reply, MSG_WAITALL), 20);  // the hello's reply
        EXPECT_EQ(reply[4], 0x81);
        EXPECT_EQ(reply[16], 1);
        EXPECT_EQ(recv(fd, reply, sizeof reply, 0), 0) << "connection left open";
        close(fd);
    }
    // A frame without the first hello is refused as well.
    int fd = RawConnect();
    std::vector<uint8_t> early = Frame(0, 7);
    send(fd, early.data(), early.size(), MSG_NOSIGNAL);
    uint8_t reply[20];
    EXPECT_EQ(recv(fd, reply, sizeof reply, MSG_WAITALL), 20);
    EXPECT_EQ(reply[16], 0);
    close(fd);

    // The application's session never noticed.
    EXPECT_EQ(io.IfConnectUSB(), 0);
    ASSERT_EQ(Zlbox({"line", "ring", "5551234"}), 0);
    EXPECT_TRUE(Eventually([&] { return io.CheckCallStatus() == 1; }));
    EXPECT_EQ(io.PickUp(), 1);
    std::lock_guard<std::mutex> lock(ReceivedMutex);
    EXPECT_TRUE(Received.empty());
}

}  // namespace

namespace {

// Sends one request and reads its reply on a raw connection.
bool Ask(int fd, std::vector<uint8_t> frame, std::vector<uint8_t> &reply)
{
    if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size()))
        return false;
    uint8_t head[16];
    if (recv(fd, head, 16, MSG_WAITALL) != 16)
        return false;
    const uint32_t size = head[0] | head[1] << 8 | head[2] << 16 | uint32_t(head[3]) << 24;
    reply.assign(head, head + 16);
    reply.resize(16 + size);
    return size == 0 || recv(fd, reply.data() + 16, size, MSG_WAITALL) == ssize_t(size);
}

// Finds box 1 (its class {77F49321-16EF-11D2-AD51-006097B514DE}, member 0)
// and opens its pipe 0 on a raw connection: the handle, 0 when that failed.
uint16_t OpenBox1Reports(int fd)
{
    std::vector<uint8_t> reply;
    std::vector<uint8_t> e = Frame(20, 2);
    e.insert(e.end(), {0x21, 0x93, 0xF4, 0x77, 0xEF, 0x16, 0xD2, 0x11, 0xAD, 0x51, 0x00, 0x60, 0x97,
                       0xB5, 0x14, 0xDE, 0, 0, 0, 0});
    if (!Ask(fd, e, reply) || reply[4] != 0x82 || reply[20] != 1) {
        ADD_FAILURE() << "box 1 not found";
        return 0;
    }
    std::string path(reply.begin() + 28, reply.end());
    path += "\\ZLDrv0";
    std::vector<uint8_t> open = Frame(uint32_t(path.size()), 3);
    open.insert(open.end(), path.begin(), path.end());
    if (!Ask(fd, open, reply) || reply[16] != 1) {
        ADD_FAILURE() << "pipe 0 of box 1 not opened";
        return 0;
    }
    return static_cast<uint16_t>(reply[12] | reply[13] << 8);
}

TEST_F(ServedBoxTest, RequestsPilingOnOneLaneCloseTheConnectionAndFreeTheBox)
{
    int fd = RawConnect();
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> reply;
    std::vector<uint8_t> hello = Frame(4, 1);
    hello.insert(hello.end(), {1, 0, 0, 0});
    ASSERT_TRUE(Ask(fd, hello, reply));
    const uint32_t handle = OpenBox1Reports(fd);
    ASSERT_NE(handle, 0u);
    std::string out;
    EXPECT_EQ(Zlbox({"--device", "1", "status"}, &out), 1) << "box 1 is held: " << out;

    // A read of pipe 0 blocks; more reads on the same lane pile up.
    std::vector<uint8_t> reads;
    for (int i = 0; i < 8; ++i) {
        std::vector<uint8_t> r = Frame(4, 4, 0x5A, 0, handle);
        r.insert(r.end(), {64, 0, 0, 0});
        reads.insert(reads.end(), r.begin(), r.end());
    }
    send(fd, reads.data(), reads.size(), MSG_NOSIGNAL);
    uint8_t rest[64];
    ssize_t got;
    while ((got = recv(fd, rest, sizeof rest, 0)) > 0) {
    }
    EXPECT_EQ(got, 0) << "connection left open";
    close(fd);
    // The blocked read was cancelled and the handle closed: box 1 is free
    // (zlbox gives up after 2 s, which a loaded machine may need).
    EXPECT_TRUE(Eventually([&] { return Zlbox({"--device", "1", "status"}, &out) == 0; }, 20000)) << out;
}

}  // namespace

namespace {

using Steady = std::chrono::steady_clock;

double SecondsSince(Steady::time_point t0)
{
    return std::chrono::duration<double>(Steady::now() - t0).count();
}

// Goes on with a stopped server after `seconds`, so that a client held by it
// for ever fails its test instead of hanging the suite.
class Resumer {
public:
    Resumer(pid_t pid, int seconds)
        : Thread_([this, pid, seconds] {
              std::unique_lock<std::mutex> lock(Mutex_);
              if (!Cv_.wait_for(lock, std::chrono::seconds(seconds), [&] { return Done_; }))
                  kill(pid, SIGCONT);
          })
    {
    }
    ~Resumer()
    {
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            Done_ = true;
        }
        Cv_.notify_one();
        Thread_.join();
    }

private:
    std::mutex Mutex_;
    std::condition_variable Cv_;
    bool Done_ = false;
    std::thread Thread_;
};

TEST_F(ServedBoxTest, StoppedServerIsTakenForAnUnpluggedBoxWithinBoundedWaits)
{
    Open();
    ASSERT_EQ(io.PickUp(), 1);
    const std::string recording = (Dir / "stalled.wav").string();
    ASSERT_EQ(io.StartReadSound(recording.c_str(), 1), 1);
    ASSERT_TRUE(Eventually([&] { return io.ReadRecLength() >= 800; }));
    kill(Server, SIGSTOP);
    {
        // Without a bound on the served waits, each call below would block
        // until the server goes on (here: after 60 s).
        Resumer resume(Server, 60);
        auto t0 = Steady::now();
        io.StopReadSound();
        // Its own bound is 13.2 s at full time; the silence limit adds to it.
        EXPECT_LT(SecondsSince(t0), 20.0) << "StopReadSound held by the stopped server";
        EXPECT_TRUE(Eventually([&] { return io.IfConnectUSB() != 0; }, 10000))
            << "the box still looks plugged in";
        t0 = Steady::now();
        io.ExistUSB_IO();
        EXPECT_LT(SecondsSince(t0), 20.0) << "ExistUSB_IO held by the stopped server";
    }
    kill(Server, SIGCONT);
    // The server lived through it and serves a new session.
    Open();
    EXPECT_EQ(io.PickUp(), 1);
}

// A unix connection that has not said anything; -1 while the server's
// queue is full.
int IdleConnect()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, Socket.c_str(), sizeof sa.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::vector<uint8_t> HelloFrame()
{
    std::vector<uint8_t> f = Frame(4, 1);
    f.insert(f.end(), {1, 0, 0, 0});
    return f;
}

TEST_F(ServedBoxTest, ConnectionWithoutHelloIsClosed)
{
    const int fd = RawConnect();  // waits up to 5 s for each receive
    ASSERT_GE(fd, 0);
    uint8_t byte;
    const auto t0 = Steady::now();
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0) << "connection left open";
    EXPECT_GE(SecondsSince(t0), 1.0) << "closed before its hello time was up";
    close(fd);
}

TEST_F(ServedBoxTest, ConnectionsBeyondTheCapOfAUserAreRefusedWithAReason)
{
    std::vector<int> held;
    std::vector<uint8_t> reply;
    for (int i = 0; i < 64; ++i) {
        const int fd = RawConnect();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(Ask(fd, HelloFrame(), reply)) << "connection " << i;
        ASSERT_EQ(reply[16], 1) << "connection " << i;
        held.push_back(fd);
    }
    const int over = RawConnect();
    ASSERT_GE(over, 0);
    uint8_t head[16];
    ASSERT_EQ(recv(over, head, 16, MSG_WAITALL), 16);
    EXPECT_EQ(head[4], 0x81);
    const uint32_t size = head[0] | head[1] << 8;
    ASSERT_GT(size, 4u);
    std::vector<char> body(size);
    ASSERT_EQ(recv(over, body.data(), size, MSG_WAITALL), ssize_t(size));
    EXPECT_EQ(body[0], 0) << "refused";
    EXPECT_NE(std::string(body.begin() + 4, body.end()).find("too many connections"), std::string::npos);
    close(over);
    for (int fd : held)
        close(fd);
    // Once they are gone, a client is served again.
    Open();
    EXPECT_EQ(io.PickUp(), 1);
}

TEST_F(ServedBoxTest, FloodOfIdleConnectionsLeavesTheServerServing)
{
    StopServer(SIGTERM);
    // Fewer descriptors than the connections a user may have: the server
    // runs out of them before it refuses anyone.
    StartServer(48);
    Open();
    // Connections that never say hello, up to 100 open at once: more than
    // the server has descriptors. It takes them as its hello time-out frees
    // descriptors, a few dozen every 2 s.
    constexpr int Flood = 150;
    std::vector<int> open;
    int made = 0;
    const auto t0 = Steady::now();
    while (made < Flood && SecondsSince(t0) < 120) {
        const int fd = IdleConnect();
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        ++made;
        open.push_back(fd);
        if (open.size() >= 100) {
            close(open.front());
            open.erase(open.begin());
        }
    }
    EXPECT_EQ(made, Flood);
    int status = 0;
    EXPECT_EQ(waitpid(Server, &status, WNOHANG), 0) << "the server ended";
    EXPECT_NE(Slurp((Dir / "server.log").string()).find("accept failed"), std::string::npos)
        << "the server never ran out of descriptors";
    // The session that was open goes on, while the flood is still held.
    EXPECT_EQ(io.PickUp(), 1);
    for (int fd : open)
        close(fd);
    // And a new client gets in once the idle ones are closed.
    std::string out;
    EXPECT_TRUE(Eventually([&] { return Zlbox({"--device", "1", "status"}, &out) == 0; }, 20000)) << out;
}

TEST_F(ServedBoxTest, DeadClientReleasesItsBoxWhateverItHadBlocked)
{
    int fd = RawConnect();
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> reply;
    ASSERT_TRUE(Ask(fd, HelloFrame(), reply));
    const uint16_t handle = OpenBox1Reports(fd);
    ASSERT_NE(handle, 0u);
    // A blocked read of pipe 0 on each of 60 lanes.
    std::vector<uint8_t> reads;
    for (uint16_t lane = 0; lane < 60; ++lane) {
        std::vector<uint8_t> r = Frame(4, 4, 0x5A, lane, handle);
        r.insert(r.end(), {64, 0, 0, 0});
        reads.insert(reads.end(), r.begin(), r.end());
    }
    ASSERT_EQ(send(fd, reads.data(), reads.size(), MSG_NOSIGNAL), ssize_t(reads.size()));
    // The reads stay blocked: a ping is still answered beside them.
    ASSERT_TRUE(Ask(fd, Frame(0, 10), reply));
    EXPECT_EQ(reply[4], 0x8A);
    EXPECT_EQ(reply[16], 1);
    close(fd);
    std::string out;
    EXPECT_TRUE(Eventually([&] { return Zlbox({"--device", "1", "status"}, &out) == 0; }, 10000))
        << "box 1 still held: " << out;
}

}  // namespace
