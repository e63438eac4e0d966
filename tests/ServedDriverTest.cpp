// The served driver's frames, and its client and server in one process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include "SimFixture.h"
#include "platform/ServedDriver.h"
#include "platform/Socket.h"
#include "platform/Wire.h"
#include "tools/serve/BoxServer.h"
#include "tools/serve/Serve.h"
#include "tools/serve/WebPhone.h"

namespace zplr::test {
namespace {

using namespace platform::wire;

TEST(WireTest, HeaderBytesAndTheirChecks)
{
    Header h;
    h.Size = 4;
    h.Op = 4;
    h.Lane = 0xFE;
    h.Id = 0x0A0B0C0D;
    h.Handle = 9;
    uint8_t b[16];
    EncodeHeader(h, b);
    const uint8_t want[16] = {4, 0, 0, 0, 4, 0x5A, 0xFE, 0x00, 0x0D, 0x0C, 0x0B, 0x0A, 9, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(b, b + 16), std::vector<uint8_t>(want, want + 16));
    Header back;
    EXPECT_EQ(DecodeHeader(b, back, false), nullptr);
    EXPECT_EQ(back.Lane, 0xFE);
    EXPECT_EQ(back.Id, 0x0A0B0C0Du);
    EXPECT_NE(DecodeHeader(b, back, true), nullptr) << "a request taken as a reply";

    struct Bad {
        const char *Name;
        std::vector<uint8_t> Bytes;
        bool Reply;
    };
    const Bad bad[] = {
        {"marker", {0, 0, 0, 0, 7, 0x5B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"op 0", {0, 0, 0, 0, 0, 0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"op 12", {0, 0, 0, 0, 12, 0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"lane 256", {0, 0, 0, 0, 7, 0x5A, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"cancel with payload", {1, 0, 0, 0, 7, 0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"write beyond 64 KiB", {1, 0, 1, 0, 5, 0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"reply without result", {0, 0, 0, 0, 0x87, 0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true},
        {"read reply beyond 64 KiB", {5, 0, 1, 0, 0x84, 0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true},
    };
    for (const Bad &c : bad)
        EXPECT_NE(DecodeHeader(c.Bytes.data(), back, c.Reply), nullptr) << c.Name;
    const uint8_t writeMax[16] = {0, 0, 1, 0, 5, 0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(DecodeHeader(writeMax, back, false), nullptr) << "a 64 KiB write";
    // Paths up to 1 KiB, control data up to 4 KiB (with its 8 bytes of code
    // and output length).
    const uint8_t pathMax[16] = {0, 4, 0, 0, 3, 0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(DecodeHeader(pathMax, back, false), nullptr) << "a 1 KiB path";
    const uint8_t pathOver[16] = {1, 4, 0, 0, 3, 0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_NE(DecodeHeader(pathOver, back, false), nullptr) << "a path of 1 KiB + 1";
    const uint8_t controlMax[16] = {8, 0x10, 0, 0, 6, 0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(DecodeHeader(controlMax, back, false), nullptr) << "4 KiB of control input";
    const uint8_t controlOver[16] = {9, 0x10, 0, 0, 6, 0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_NE(DecodeHeader(controlOver, back, false), nullptr) << "4 KiB + 1 of control input";
    const uint8_t outMax[16] = {4, 0x10, 0, 0, 0x86, 0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(DecodeHeader(outMax, back, true), nullptr) << "4 KiB of control output";
}

TEST(WireTest, PayloadChecks)
{
    Header h;
    auto request = [&](uint8_t op, std::vector<uint8_t> p, uint32_t handle = 0) {
        h.Op = op;
        h.Size = static_cast<uint32_t>(p.size());
        h.Handle = handle;
        return CheckRequest(h, p.data()) == nullptr;
    };
    EXPECT_TRUE(request(1, {1, 0, 0, 0, 't'}));
    EXPECT_FALSE(request(1, {2, 0, 0, 0})) << "version 2";
    // A start request with its block: code, output length, width 4 or 8,
    // block size up to 16, the block, the input.
    EXPECT_TRUE(request(11, {0x10, 0x20, 0, 0x80, 0, 0, 0, 0, 8, 6, 0, 0, 0, 0x40, 0, 0x80}));
    EXPECT_FALSE(request(11, {0x10, 0x20, 0, 0x80, 0, 0, 0, 0, 2, 0})) << "width 2";
    EXPECT_FALSE(request(11, {0x10, 0x20, 0, 0x80, 0, 0, 0, 0, 4, 6, 0})) << "block cut short";
    EXPECT_FALSE(request(11, {0x10, 0x20, 0, 0x80, 0, 0, 0, 0, 4, 17})) << "block of 17";
    EXPECT_FALSE(request(2, std::vector<uint8_t>(19))) << "enum of 19 bytes";
    EXPECT_FALSE(request(3, {})) << "open without path";
    EXPECT_FALSE(request(3, {'a', 0})) << "NUL in path";
    EXPECT_TRUE(request(4, {0, 0, 1, 0})) << "read 64 KiB";
    EXPECT_FALSE(request(4, {1, 0, 1, 0})) << "read 64 KiB + 1";
    EXPECT_FALSE(request(6, {0, 0, 0, 0, 1, 0x10, 0, 0})) << "control output 4097";
    EXPECT_TRUE(request(6, {0, 0, 0, 0, 0, 0x10, 0, 0})) << "control output 4096";
    std::vector<uint8_t> control(8 + 4096);
    EXPECT_TRUE(request(6, control)) << "control input 4096";
    control.push_back(0);
    EXPECT_FALSE(request(6, control)) << "control input 4097";
    EXPECT_FALSE(request(9, {'a'}, 4)) << "line of box 4";

    auto reply = [&](uint8_t op, std::vector<uint8_t> p, uint32_t asked) {
        h.Op = op | 0x80;
        h.Size = static_cast<uint32_t>(p.size());
        return CheckReply(h, p.data(), op, asked) == nullptr;
    };
    EXPECT_TRUE(reply(4, {1, 0, 0, 0, 9, 9}, 2));
    EXPECT_FALSE(reply(4, {1, 0, 0, 0, 9, 9, 9}, 2)) << "read more than asked";
    EXPECT_FALSE(reply(5, {1, 0, 0, 0, 3, 0, 0, 0}, 2)) << "wrote more than sent";
    EXPECT_FALSE(reply(6, {1, 0, 0, 0, 1}, 0)) << "control output unasked";
    std::vector<uint8_t> output(4 + 4096);
    output[0] = 1;
    EXPECT_TRUE(reply(6, output, 4096)) << "control output 4096";
    EXPECT_TRUE(reply(2, {1, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 'a', 'b'}, 0));
    EXPECT_FALSE(reply(2, {1, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 'a', 'b'}, 0)) << "size not the path's";
    EXPECT_FALSE(reply(2, {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}, 0)) << "found without path";
    h.Op = 0x85;
    h.Size = 8;
    const uint8_t p[8] = {1};
    EXPECT_NE(CheckReply(h, p, 4, 8), nullptr) << "write reply to a read";
}

TEST(ServeScriptTest, Lines)
{
    zlbox::ScriptLine l;
    std::string why;
    ASSERT_TRUE(zlbox::ParseScriptLine("2.5 ring 5551234 mdmf", l, why));
    EXPECT_EQ(l.At, 2.5);
    EXPECT_EQ(l.Every, 0);
    EXPECT_EQ(l.Box, -1);
    EXPECT_EQ(l.Command, "ring 5551234 mdmf");
    ASSERT_TRUE(zlbox::ParseScriptLine("  10/30 @1 far-end /tmp/a b.wav", l, why));
    EXPECT_EQ(l.At, 10);
    EXPECT_EQ(l.Every, 30);
    EXPECT_EQ(l.Box, 1);
    EXPECT_EQ(l.Command, "far-end /tmp/a b.wav");
    ASSERT_TRUE(zlbox::ParseScriptLine("# a comment", l, why));
    EXPECT_TRUE(l.Command.empty());
    ASSERT_TRUE(zlbox::ParseScriptLine("", l, why));
    for (const char *bad : {"ring 555", "-1 ring 5", "3", "1/0 ring 5", "1/x ring 5", "2 @4 ring 5",
                            "2x ring 5"})
        EXPECT_FALSE(zlbox::ParseScriptLine(bad, l, why)) << bad;
}

// The web phone binds loopback only; a name or address that could reach
// another machine is refused before anything listens.
TEST(WebAddressTest, LoopbackOnly)
{
    std::string host, why;
    int port = -1;
    ASSERT_TRUE(zlbox::ParseWebAddress("", host, port, why));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 8765);
    struct Good {
        const char *Text, *Host;
        int Port;
    };
    for (const Good &g : {Good{"127.0.0.1:0", "127.0.0.1", 0}, Good{"127.1.2.3:9000", "127.1.2.3", 9000},
                          Good{"localhost:8080", "127.0.0.1", 8080}, Good{"[::1]:8765", "::1", 8765},
                          Good{"::1", "::1", 8765}, Good{"127.0.0.1", "127.0.0.1", 8765}}) {
        ASSERT_TRUE(zlbox::ParseWebAddress(g.Text, host, port, why)) << g.Text << ": " << why;
        EXPECT_EQ(host, g.Host) << g.Text;
        EXPECT_EQ(port, g.Port) << g.Text;
    }
    for (const char *bad : {"0.0.0.0:8765", "192.168.1.2:80", "[::]:8765", "::", "127.evil.example:80",
                            "127.0.0.1.example:80", "127.0.0.256:80", "example.com:80", "127.0.0.1:",
                            "127.0.0.1:65536", "127.0.0.1:-1", "127.0.0.1:80x", "[::1"}) {
        EXPECT_FALSE(zlbox::ParseWebAddress(bad, host, port, why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

TEST(WebAddressTest, SecretsCompareWhole)
{
    EXPECT_TRUE(zlbox::SameSecret("8a07aab5", "8a07aab5"));
    for (const char *other : {"", "8a07aab", "8a07aab50", "8a07aab4", "9a07aab5"})
        EXPECT_FALSE(zlbox::SameSecret("8a07aab5", other)) << other;
    EXPECT_FALSE(zlbox::SameSecret(std::string("ab\0", 3), "ab"));
}

// Both ends in this process, so the sanitizers see them together.
class InProcessServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetTimeScale(Scale);
        ZlSetMessageHandler([](const char *, unsigned) {});
        Scratch = std::make_unique<ScratchDir>("served");
    }
    void TearDown() override
    {
        for (int i = 0; i < 4; ++i) {
            CZusb_IO end(i);
        }
        ZlSetDriverBackend(nullptr);
        Stop();
        unsetenv("ZPLR_TOKEN_FILE");
        ZlSetMessageHandler(nullptr);
        platform::SetTimeScale(1.0);
    }
    void Serve(const std::string &address, const std::string &token = "")
    {
        Server = std::make_unique<zlbox::BoxServer>(std::vector<int>{0, 1}, Scale);
        std::string error;
        ASSERT_TRUE(Server->Listen(address, token, &error)) << error;
        Runner = std::thread([this] { Server->Run(); });
    }
    void Stop()
    {
        if (!Server)
            return;
        Server->Stop();
        Runner.join();
        Server.reset();
    }

    std::unique_ptr<ScratchDir> Scratch;
    std::unique_ptr<zlbox::BoxServer> Server;
    std::thread Runner;
};

TEST_F(InProcessServerTest, SessionThroughTheSocketAndLineCommands)
{
    const std::string address = "unix:" + Scratch->File("s");
    Serve(address);
    // Never destroyed by the library; kept here for the process's life.
    static ZlDriverBackend *client = nullptr;
    client = platform::NewServedDriver(address);
    ASSERT_NE(client, nullptr);
    ZlSetDriverBackend(client);
    CZusb_IO io(1);
    ASSERT_EQ(io.InitialUSB_IOEx(0), 1);
    ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }));
    std::string answer;
    EXPECT_FALSE(Server->LineCommand(2, "ring 5", answer)) << "box 2 is not served";
    EXPECT_FALSE(Server->LineCommand(1, "ring 55x5", answer));
    EXPECT_FALSE(Server->LineCommand(1, "hangup now", answer));
    ASSERT_TRUE(Server->LineCommand(1, "ring 5551234 sdmf", answer)) << answer;
    ASSERT_TRUE(Eventually([&] { return io.CheckCallStatus() == 1; }));
    ASSERT_TRUE(Eventually([&] { return std::string(io.ReadstrCallNmb()) == "5551234"; }));
    ASSERT_EQ(io.PickUp(), 1);
    ASSERT_TRUE(Server->LineCommand(1, "keys 9*", answer));
    std::vector<uint8_t> keys;
    Eventually([&] {
        unsigned char code[2];
        while (io.GetDTMFCode(code) == 1)
            keys.push_back(code[0]);
        return keys.size() >= 2;
    });
    EXPECT_EQ(keys, (std::vector<uint8_t>{9, 11}));
    // Unplugged from the line's side: the application loses its box and
    // finds it again once it is back.
    ASSERT_TRUE(Server->LineCommand(1, "unplug", answer));
    ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() != 0; }));
    ASSERT_TRUE(Server->LineCommand(1, "plug", answer));
    EXPECT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }));
    io.ExistUSB_IO();
    EXPECT_EQ(Server->Driver().OpenHandles(), 0u);
}

TEST_F(InProcessServerTest, TcpNeedsTheTokenFile)
{
    const std::string tokenFile = Scratch->File("token");
    std::string token;
    ASSERT_TRUE(platform::WriteNewToken(tokenFile, &token));
    EXPECT_EQ(token.size(), 32u);
    EXPECT_EQ(platform::ReadToken(tokenFile), token);
    std::mt19937 pick(std::random_device{}());
    std::string address;
    for (int tries = 0; tries < 20 && !Server; ++tries) {
        address = "tcp:127.0.0.1:" + std::to_string(20000 + pick() % 40000);
        auto s = std::make_unique<zlbox::BoxServer>(std::vector<int>{0}, Scale);
        if (s->Listen(address, token, nullptr)) {
            Server = std::move(s);
            Runner = std::thread([this] { Server->Run(); });
        }
    }
    ASSERT_TRUE(Server);
    std::string error;
    EXPECT_EQ(platform::ListenOn("tcp:0.0.0.0:4000", &error), platform::NoSocket) << "not loopback";

    static ZlDriverBackend *client = nullptr;
    client = platform::NewServedDriver(address);
    char path[300];
    size_t needed = 0;
    const ZlGuid box0 = {0x77F49321, 0x16EF, 0x11D2, {0xAD, 0x51, 0x00, 0x60, 0x97, 0xB5, 0x14, 0xDD}};
    setenv("ZPLR_TOKEN_FILE", Scratch->File("none").c_str(), 1);
    EXPECT_EQ(client->EnumInterface(box0, 0, path, sizeof path, &needed), ZL_ENUM_NO_MORE)
        << "served without the token";
    setenv("ZPLR_TOKEN_FILE", tokenFile.c_str(), 1);
    ASSERT_EQ(client->EnumInterface(box0, 0, path, sizeof path, &needed), ZL_ENUM_OK);
    EXPECT_EQ(needed, std::strlen(path) + 1);
    ZlHandle h = client->Open(path);
    ASSERT_NE(h, ZL_INVALID_HANDLE);
    // Too small a buffer: only the size comes back, as from the system.
    char small[4] = {'x'};
    EXPECT_EQ(client->EnumInterface(box0, 0, small, sizeof small, &needed), ZL_ENUM_OK);
    EXPECT_EQ(small[0], 'x');
    // Once the server is gone, the handle fails and stays failed.
    Stop();
    unsigned done = 7;
    uint8_t buf[64];
    EXPECT_EQ(client->Read(h, buf, sizeof buf, &done), 0);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(client->Write(h, buf, sizeof buf, &done), 0);
    EXPECT_EQ(client->EnumInterface(box0, 0, path, sizeof path, &needed), ZL_ENUM_NO_MORE);
    client->Close(h);
}

// The limits of the README hold inclusively, end to end: a path buffer of
// exactly the path's size gets the path, and 4 KiB of control data in and
// out reach the box.
TEST_F(InProcessServerTest, APathBufferOfItsSizeAndFourKiBOfControlData)
{
    const std::string address = "unix:" + Scratch->File("s");
    Serve(address);
    static ZlDriverBackend *client = nullptr;
    client = platform::NewServedDriver(address);
    ASSERT_NE(client, nullptr);
    const ZlGuid box0 = {0x77F49321, 0x16EF, 0x11D2, {0xAD, 0x51, 0x00, 0x60, 0x97, 0xB5, 0x14, 0xDD}};
    size_t needed = 0;
    char none[1] = {'x'};
    ASSERT_EQ(client->EnumInterface(box0, 0, none, 0, &needed), ZL_ENUM_OK);
    ASSERT_GT(needed, 1u);
    EXPECT_EQ(none[0], 'x');
    std::vector<char> less(needed - 1, 'x');
    ASSERT_EQ(client->EnumInterface(box0, 0, less.data(), less.size(), &needed), ZL_ENUM_OK);
    EXPECT_EQ(less[0], 'x') << "a buffer one byte short is left alone";
    std::vector<char> exact(needed, 'x');
    ASSERT_EQ(client->EnumInterface(box0, 0, exact.data(), exact.size(), &needed), ZL_ENUM_OK);
    EXPECT_EQ(exact.back(), '\0');
    EXPECT_EQ(std::strlen(exact.data()), needed - 1);

    ZlHandle h = client->Open(exact.data());
    ASSERT_NE(h, ZL_INVALID_HANDLE);
    zlsim::VirtualBox &box = Server->Driver().Box(0);
    const size_t before = box.Controls().size();
    std::vector<uint8_t> in(4096, 0x11), out(4096 + 1, 0xEE);
    unsigned done = 0;
    client->Control(h, 0x00221234, in.data(), 4096, out.data(), 4096, &done);
    std::vector<zlsim::ControlCall> calls = box.Controls();
    ASSERT_EQ(calls.size(), before + 1);
    EXPECT_EQ(calls.back().Code, 0x00221234u);
    EXPECT_EQ(calls.back().Input, in);
    EXPECT_EQ(calls.back().OutputSize, 4096u);
    // One byte more is refused before anything is sent.
    in.push_back(0x11);
    EXPECT_EQ(client->Control(h, 0x00221234, in.data(), 4097, out.data(), 4096, &done), 0);
    EXPECT_EQ(client->Control(h, 0x00221234, in.data(), 4096, out.data(), 4097, &done), 0);
    EXPECT_EQ(box.Controls().size(), before + 1);
    client->Close(h);
}

}  // namespace
}  // namespace zplr::test
