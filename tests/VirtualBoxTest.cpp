// The virtual box itself, driven through its driver interface without the
// library: its limits (FIFO, sound-out buffer, reply timing), how it checks
// the start requests, cancelling, and its bounded logs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "sim/LineModel.h"
#include "sim/VirtualBox.h"

namespace {

using namespace std::chrono;
using zlsim::Bytes64;
using zlsim::Pipe;
using zlsim::VirtualBox;

void Put32(std::vector<uint8_t> &v, size_t at, uint32_t x)
{
    for (int i = 0; i < 4; ++i)
        v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

// A start request's input as a caller of `width`-byte pointers lays it out.
std::vector<uint8_t> StartInput(unsigned width, uint32_t size, uint64_t address, uint32_t last)
{
    std::vector<uint8_t> in(width == 8 ? 20 : 16);
    Put32(in, 0, 0);
    Put32(in, 4, size);
    Put32(in, 8, static_cast<uint32_t>(address));
    if (width == 8) {
        Put32(in, 12, static_cast<uint32_t>(address >> 32));
        Put32(in, 16, last);
    } else {
        Put32(in, 12, last);
    }
    return in;
}

const uint8_t Params[6] = {0x00, 0x00, 0x00, 0x40, 0x00, 0x80};
constexpr unsigned Width = sizeof(void *);

class VirtualBoxTest : public ::testing::Test {
protected:
    void SetUp() override { Driver.Plug(0); }
    void TearDown() override
    {
        for (ZlHandle h : Opened)
            Driver.Close(h);
    }
    VirtualBox &Box() { return Driver.Box(0); }
    ZlHandle Open(const char *pipe = nullptr)
    {
        std::string path = Box().DevicePath();
        if (pipe)
            path += std::string("\\") + pipe;
        ZlHandle h = Driver.Open(path.c_str());
        EXPECT_NE(h, ZL_INVALID_HANDLE) << path;
        Opened.push_back(h);
        return h;
    }
    int StreamStart(ZlHandle device, const std::vector<uint8_t> &in)
    {
        unsigned done = 0;
        return Driver.Control(device, 0x80002010, in.data(), static_cast<unsigned>(in.size()),
                              nullptr, 0, &done);
    }
    int Command(ZlHandle pipe1, std::initializer_list<uint8_t> bytes)
    {
        uint8_t p[64] = {};
        std::copy(bytes.begin(), bytes.end(), p);
        unsigned done = 0;
        return Driver.Write(pipe1, p, 64, &done);
    }
    Bytes64 Report(ZlHandle pipe0)
    {
        Bytes64 r{};
        unsigned done = 0;
        EXPECT_EQ(Driver.Read(pipe0, r.data(), 64, &done), 1);
        return r;
    }
    // Recording switched on and the stream started, as the sound-in thread
    // does it; returns pipe 2.
    ZlHandle StartSoundIn()
    {
        ZlHandle cmd = Open("ZLDrv1");
        EXPECT_EQ(Command(cmd, {7, 1}), 1);
        ZlHandle in = Open("ZLDrv2");
        ZlHandle dev = Open();
        EXPECT_EQ(StreamStart(dev, StartInput(Width, 6, reinterpret_cast<uintptr_t>(Params), 0x471)), 1);
        return in;
    }

    zlsim::VirtualDriver Driver;
    std::vector<ZlHandle> Opened;
};

TEST_F(VirtualBoxTest, StreamStartIsCheckedAsADriverWould)
{
    const uintptr_t good = reinterpret_cast<uintptr_t>(Params);
    ZlHandle in = Open("ZLDrv2");
    ZlHandle dev = Open();
    // Not on a pipe handle.
    EXPECT_EQ(StreamStart(in, StartInput(Width, 6, good, 0x471)), 0);
    // The other width's layout, a 32-bit address cut from ours, a bad
    // address, a block of other bytes, other words.
    EXPECT_EQ(StreamStart(dev, StartInput(Width == 8 ? 4 : 8, 6, good, 0x471)), 0);
    if (Width == 8 && (good >> 32) != 0) {
        EXPECT_EQ(StreamStart(dev, StartInput(4, 6, good & 0xFFFFFFFFu, 0x471)), 0);
    }
    EXPECT_EQ(StreamStart(dev, StartInput(Width, 6, 8, 0x471)), 0);
    const uint8_t other[6] = {0x00, 0x00, 0x00, 0x40, 0x00, 0x81};
    EXPECT_EQ(StreamStart(dev, StartInput(Width, 6, reinterpret_cast<uintptr_t>(other), 0x471)), 0);
    EXPECT_EQ(StreamStart(dev, StartInput(Width, 5, good, 0x471)), 0);
    EXPECT_EQ(StreamStart(dev, StartInput(Width, 6, good, 0x472)), 0);
    EXPECT_EQ(Box().RefusedStarts(), Width == 8 && (good >> 32) != 0 ? 7u : 6u);
    EXPECT_EQ(StreamStart(dev, StartInput(Width, 6, good, 0x471)), 1);
    // Kind: any input on the device handle.
    Box().SetMode(VirtualBox::Mode::Kind);
    EXPECT_EQ(StreamStart(dev, StartInput(Width, 6, 8, 0x471)), 1);
}

TEST_F(VirtualBoxTest, RemoteStartRequestsCarryTheirBlockAndWidth)
{
    ZlHandle in = Open("ZLDrv2");
    ZlHandle dev = Open();
    (void)in;
    unsigned done = 0;
    auto remote = [&](unsigned width, std::vector<uint8_t> input, const uint8_t *block,
                      unsigned size) {
        return Driver.ControlRemote(dev, 0x80002010, input.data(), static_cast<unsigned>(input.size()),
                                    block, size, width, nullptr, 0, &done);
    };
    // The address means nothing here; both widths are taken.
    EXPECT_EQ(remote(4, StartInput(4, 6, 0x1234, 0x471), Params, 6), 1);
    EXPECT_EQ(remote(8, StartInput(8, 6, 0x123456789A, 0x471), Params, 6), 1);
    EXPECT_EQ(remote(8, StartInput(4, 6, 0x1234, 0x471), Params, 6), 0);
    EXPECT_EQ(remote(4, StartInput(4, 6, 0x1234, 0x471), Params, 5), 0);
    const uint8_t other[6] = {1, 0, 0, 0x40, 0, 0x80};
    EXPECT_EQ(remote(4, StartInput(4, 6, 0x1234, 0x471), other, 6), 0);
    EXPECT_EQ(remote(2, StartInput(4, 6, 0x1234, 0x471), Params, 6), 0);
}

TEST_F(VirtualBoxTest, ReportStartPointsToItsOutputByte)
{
    ZlHandle report = Open("ZLDrv0");
    ZlHandle dev = Open();
    (void)report;
    uint8_t out = 0xEE, elsewhere = 0;
    unsigned done = 0;
    auto start = [&](uint64_t address) {
        auto in = StartInput(Width, 1, address, 0x472);
        return Driver.Control(dev, 0x8000200C, in.data(), static_cast<unsigned>(in.size()), &out, 1,
                              &done);
    };
    EXPECT_EQ(start(reinterpret_cast<uintptr_t>(&elsewhere)), 0);
    EXPECT_EQ(start(reinterpret_cast<uintptr_t>(&out)), 1);
    // A sound thread's device handle is not the report thread's.
    Open("ZLDrv3");
    ZlHandle soundDev = Open();
    auto in = StartInput(Width, 1, reinterpret_cast<uintptr_t>(&out), 0x472);
    EXPECT_EQ(Driver.Control(soundDev, 0x8000200C, in.data(), static_cast<unsigned>(in.size()), &out,
                             1, &done),
              0);
}

TEST_F(VirtualBoxTest, FifoKeepsTheOldestFramesAndCountsTheLostOnes)
{
    Driver.SetSoundPace(0.05);  // 163 840 stream bytes a second
    uint64_t produced = 0;
    Box().SetSoundInSource([&](uint8_t *p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            p[i] = static_cast<uint8_t>(produced + i);
        produced += n;
    });
    ZlHandle in = StartSoundIn();
    // 20 frames of line time with nobody reading: at least 4 are lost,
    // more on a loaded machine.
    std::this_thread::sleep_for(milliseconds(32));
    std::vector<uint8_t> got(4096 + 256);
    unsigned done = 0;
    ASSERT_EQ(Driver.Read(in, got.data(), 256, &done), 1);
    // Frames lost before that read; the next frame in comes after them.
    const uint64_t dropped = Box().SoundInDropped();
    for (size_t at = 256; at < got.size(); at += 256)
        ASSERT_EQ(Driver.Read(in, got.data() + at, 256, &done), 1);
    EXPECT_GE(dropped, 4u * 256);
    EXPECT_EQ(dropped % 256, 0u);
    // The FIFO's 16 frames in order, then one from after the gap.
    for (unsigned f = 0; f < 17; ++f) {
        ASSERT_EQ(std::memcmp(&got[f * 256], "stcq", 4), 0) << f;
        const uint64_t frame = f < 16 ? f : 16 + dropped / 256;
        EXPECT_EQ(got[f * 256 + 6], static_cast<uint8_t>(frame * 250)) << f;
    }
}

// The line goes on while nobody reads: the loss is counted at once, not at
// the next read, and stops growing when recording goes off.
// Replies jitter, but the box answers its commands in their order: a reply
// never overtakes the reply to an earlier command.
TEST_F(VirtualBoxTest, RepliesKeepTheOrderOfTheirCommands)
{
    Box().SetReplyLatency(0, 40);
    Box().SetResponder(24, [](const Bytes64 &p) {
        Bytes64 r{};
        r[0] = 3;
        r[1] = p[1];
        return std::vector<Bytes64>{r};
    });
    ZlHandle cmd = Open("ZLDrv1");
    ZlHandle report = Open("ZLDrv0");
    for (uint8_t n = 1; n <= 40; ++n)
        ASSERT_EQ(Command(cmd, {24, n}), 1);
    for (uint8_t n = 1; n <= 40; ++n)
        EXPECT_EQ(Report(report)[1], n);
}

TEST_F(VirtualBoxTest, LossWithoutAReaderIsCountedAsItHappens)
{
    Driver.SetSoundPace(0.05);  // 163 840 stream bytes a second
    StartSoundIn();
    std::this_thread::sleep_for(milliseconds(32));  // 20 frames, 16 fit
    const uint64_t seen = Box().SoundInDropped();
    EXPECT_GE(seen, 4u * 256);
    ASSERT_EQ(Command(Open("ZLDrv1"), {7, 0}), 1);
    const uint64_t atStop = Box().SoundInDropped();
    EXPECT_GE(atStop, seen);
    std::this_thread::sleep_for(milliseconds(32));
    EXPECT_EQ(Box().SoundInDropped(), atStop);
}

TEST_F(VirtualBoxTest, UnpacedStreamLosesNothingAndSlipsByAnyCount)
{
    Driver.SetSoundPace(0);
    Box().SetSoundInFifo(512);
    Box().SlipSoundInEvery(3, 37);
    ZlHandle in = StartSoundIn();
    std::vector<uint8_t> got(6 * 256 + 2 * 37);
    unsigned done = 0;
    size_t at = 0;
    while (at < got.size()) {
        const unsigned n = std::min<unsigned>(100, static_cast<unsigned>(got.size() - at));
        ASSERT_EQ(Driver.Read(in, got.data() + at, n, &done), 1);
        ASSERT_EQ(done, n);
        at += n;
    }
    EXPECT_EQ(Box().SoundInDropped(), 0u);
    // Frames 0, 1, 2, 37 stray bytes, frames 3, 4, 5, 37 more.
    const size_t frameAt[6] = {0, 256, 512, 768 + 37, 1024 + 37, 1280 + 37};
    for (size_t f : frameAt)
        EXPECT_EQ(std::memcmp(&got[f], "stcq", 4), 0) << f;
    EXPECT_NE(std::memcmp(&got[768], "stcq", 4), 0);
}

TEST_F(VirtualBoxTest, LineStatusAndKeysGoInBandWhileStreaming)
{
    Driver.SetSoundPace(0);
    Box().SetInBandKeys(true);
    zlsim::LineModel line(Box());
    ZlHandle report = Open("ZLDrv0");
    line.PressKeys("5");  // not streaming: only report 7
    ZlHandle in = StartSoundIn();
    line.PressKeys("7");
    line.Release();
    std::vector<uint8_t> got(3 * 256);
    unsigned done = 0;
    ASSERT_EQ(Driver.Read(in, got.data(), 768, &done), 1);
    // Key 7 in the first frame's key byte, the release (0x04) in the next.
    EXPECT_EQ(got[4], 0);
    EXPECT_EQ(got[5], 7);
    EXPECT_EQ(got[256 + 4], 0x04);
    EXPECT_EQ(got[256 + 5], 0);
    EXPECT_EQ(got[512 + 4], 0);
    EXPECT_EQ(got[512 + 5], 0);
    // Every key also as report 7, after the reply to command 7.
    std::vector<uint8_t> keys;
    for (int i = 0; i < 4; ++i) {
        Bytes64 r = Report(report);
        if (r[0] == 7)
            keys.push_back(r[1]);
    }
    EXPECT_EQ(keys, (std::vector<uint8_t>{5, 7}));
}

TEST_F(VirtualBoxTest, SoundOutWritesTakeTheTimeOfTheirSound)
{
    Box().SetTimeScale(0.05);  // drains 160 000 bytes a second
    ZlHandle out = Open("ZLDrv3");
    ZlHandle dev = Open();
    ASSERT_EQ(StreamStart(dev, StartInput(Width, 6, reinterpret_cast<uintptr_t>(Params), 0x471)), 1);
    uint8_t block[256] = {};
    unsigned done = 0;
    const auto start = steady_clock::now();
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(Driver.Write(out, block, 256, &done), 1);
    // 16 KiB, of which one 512-byte buffer goes in at once.
    EXPECT_GE(duration<double>(steady_clock::now() - start).count(), (16384.0 - 512) / 160000);
    EXPECT_EQ(Box().SoundOutSize(), 16384u);
}

TEST_F(VirtualBoxTest, EndReportMayFollowTheReplyToALaterCommand)
{
    Box().SetPacing(VirtualBox::Pacing::Manual);
    Box().SetReplyLatency(1, 1);
    Box().SetEndReportDelay(1000, 1000);
    ZlHandle report = Open("ZLDrv0");
    ZlHandle cmd = Open("ZLDrv1");
    ASSERT_EQ(Command(cmd, {9, 1}), 1);
    ASSERT_EQ(Command(cmd, {9, 0}), 1);
    ASSERT_EQ(Command(cmd, {55}), 1);
    std::vector<std::pair<uint8_t, uint8_t>> order;
    for (int i = 0; i < 4; ++i) {
        Bytes64 r = Report(report);
        order.emplace_back(r[0], r[1]);
    }
    // Replies (code 0) to 9 on, 9 off and 55, then the end: 9, 0xD0, 3, 0x20.
    EXPECT_EQ(order, (std::vector<std::pair<uint8_t, uint8_t>>{{0, 0}, {0, 0}, {0, 0}, {9, 0xD0}}));
}

TEST_F(VirtualBoxTest, CancelEndsEveryBlockedTransferOfTheHandle)
{
    ZlHandle cmd = Open("ZLDrv1");  // reads of pipe 1 block until cancelled
    std::atomic<int> ended{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 5; ++i)
        readers.emplace_back([&] {
            uint8_t b[64];
            unsigned done = 0;
            if (Driver.Read(cmd, b, 64, &done) == 0)
                ++ended;
        });
    // The cancel comes once all five are blocked.
    while (Driver.Transfers(cmd) < 5)
        std::this_thread::sleep_for(milliseconds(1));
    Driver.CancelIo(cmd);
    for (auto &t : readers)
        t.join();
    EXPECT_EQ(ended.load(), 5);
    // A cancel that finds nothing blocked fails the next transfer only.
    ZlHandle report = Open("ZLDrv0");
    Driver.CancelIo(report);
    uint8_t b[64];
    unsigned done = 0;
    EXPECT_EQ(Driver.Read(report, b, 64, &done), 0);
    Box().SendReport({3});
    EXPECT_EQ(Driver.Read(report, b, 64, &done), 1);
}

TEST_F(VirtualBoxTest, LogsKeepTheirEndAndCountsStayTotals)
{
    Box().SetPacing(VirtualBox::Pacing::Unpaced);
    ZlHandle cmd = Open("ZLDrv1");
    for (unsigned i = 0; i < 10050; ++i)
        ASSERT_EQ(Command(cmd, {23, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)}), 1);
    auto packets = Box().Packets();
    ASSERT_EQ(packets.size(), 10000u);
    EXPECT_EQ(Box().PacketCount(), 10050u);
    EXPECT_EQ(packets.front()[1] | packets.front()[2] << 8, 50);
    EXPECT_EQ(packets.back()[1] | packets.back()[2] << 8, 10049);
    EXPECT_TRUE(Box().WaitPackets(10050, 0));
    EXPECT_LE(Box().Controls().size(), 10000u);

    ZlHandle out = Open("ZLDrv3");
    ZlHandle dev = Open();
    ASSERT_EQ(StreamStart(dev, StartInput(Width, 6, reinterpret_cast<uintptr_t>(Params), 0x471)), 1);
    uint8_t block[256];
    unsigned done = 0;
    const size_t blocks = (1 << 20) / 256 + 3;
    for (size_t i = 0; i < blocks; ++i) {
        std::memset(block, static_cast<int>(i), sizeof block);
        ASSERT_EQ(Driver.Write(out, block, 256, &done), 1);
    }
    auto sound = Box().SoundOut();
    ASSERT_EQ(sound.size(), 1u << 20);
    EXPECT_EQ(sound.front(), 3);
    EXPECT_EQ(sound.back(), static_cast<uint8_t>(blocks - 1));
    EXPECT_EQ(Box().SoundOutSize(), blocks * 256);
    EXPECT_TRUE(Box().WaitSoundOut(blocks * 256, 0));
}

// A watcher sees what the box takes, as it takes it: every command packet
// (even one a responder answers) and every block kept for playing, none
// before the stream start.
TEST_F(VirtualBoxTest, TapsSeeCommandsAndPlayedBlocks)
{
    Box().SetPacing(VirtualBox::Pacing::Unpaced);
    std::vector<Bytes64> commands;
    std::vector<uint8_t> played;
    Box().SetCommandTap([&](const Bytes64 &p) { commands.push_back(p); });
    Box().SetSoundOutTap([&](const uint8_t *a, size_t n) { played.insert(played.end(), a, a + n); });
    ZlHandle cmd = Open("ZLDrv1");
    ASSERT_EQ(Command(cmd, {4}), 1);
    ASSERT_EQ(Command(cmd, {9, 1}), 1);
    ZlHandle out = Open("ZLDrv3");
    uint8_t block[256];
    std::memset(block, 0x11, sizeof block);
    unsigned done = 0;
    Driver.Write(out, block, 256, &done);  // before the stream start: not kept
    ZlHandle dev = Open();
    ASSERT_EQ(StreamStart(dev, StartInput(Width, 6, reinterpret_cast<uintptr_t>(Params), 0x471)), 1);
    for (int i = 0; i < 3; ++i) {
        std::memset(block, 0x20 + i, sizeof block);
        ASSERT_EQ(Driver.Write(out, block, 256, &done), 1);
    }
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0][0], 4);
    EXPECT_EQ(commands[1][0], 9);
    EXPECT_EQ(commands[1][1], 1);
    ASSERT_EQ(played.size(), 768u);
    EXPECT_EQ(played.front(), 0x20);
    EXPECT_EQ(played.back(), 0x22);
    EXPECT_EQ(std::vector<uint8_t>(played.begin(), played.end()), Box().SoundOut());

    Box().SetCommandTap(nullptr);
    Box().SetSoundOutTap(nullptr);
    ASSERT_EQ(Command(cmd, {3}), 1);
    ASSERT_EQ(Driver.Write(out, block, 256, &done), 1);
    EXPECT_EQ(commands.size(), 2u);
    EXPECT_EQ(played.size(), 768u);
}

}  // namespace
