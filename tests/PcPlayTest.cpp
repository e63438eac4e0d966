// Sound from the application's memory to the line, against the virtual box.
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "SimFixture.h"

using namespace zplr;
using namespace zplr::test;
using transport::SlotFor;
using zlsim::Bytes64;
using zlsim::VirtualBox;

namespace {

class PcPlayTest : public BoxTest {
protected:
    void Prepare() override
    {
        PaceSoundOutByHand();  // PC mode needs no requests
        // A chunk is taken within 101 polls of 2 ms: 10 ms on the test
        // clock, which load can eat. Real time gives the thread 202 ms.
        platform::SetTimeScale(1.0);
    }
    static std::vector<uint8_t> Pattern(size_t n, uint8_t seed)
    {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i)
            v[i] = static_cast<uint8_t>(seed + i * 3 + (i >> 8));
        return v;
    }
    static std::vector<uint8_t> Head(const std::vector<uint8_t> &v, size_t n)
    {
        return std::vector<uint8_t>(v.begin(), v.begin() + n);
    }
    size_t NineOffs()
    {
        size_t n = 0;
        for (const auto &p : Box().Packets())
            n += p[0] == 9 && p[1] == 0;
        return n;
    }
};

TEST_F(PcPlayTest, ChunksGoOutInWholeBlocks)
{
    const unsigned long long before = io.GetWriteSoundBytes();
    ASSERT_EQ(io.OpenWriteSoundToBuff(), 1);
    const size_t packets = Box().PacketCount();
    EXPECT_EQ(Slot().PlayActive.load(), 0);  // a recording may go on

    auto a = Pattern(512, 1);
    EXPECT_EQ(io.WriteSoundFromPCToBuffer(a.data(), 512), 512);
    // Returned once its sound is in the pipe.
    EXPECT_EQ(Box().SoundOut(), a);

    auto b = Pattern(300, 77);
    EXPECT_EQ(io.WriteSoundFromPCToBuffer(b.data(), 300), 512);
    auto out = Box().SoundOut();
    ASSERT_EQ(out.size(), 768u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 512, out.end()), Head(b, 256));

    auto c = Pattern(200, 9);
    EXPECT_EQ(io.WriteSoundFromPCToBuffer(c.data(), 200), 512);
    EXPECT_EQ(Box().SoundOutSize(), 768u);
    EXPECT_EQ(io.WriteSoundFromPCToBuffer(c.data(), 0), 512);
    EXPECT_EQ(io.WriteSoundFromPCToBuffer(nullptr, -5), 512);
    EXPECT_EQ(io.WriteSoundFromPCToBuffer(nullptr, 10), -4);

    // 1 024 bytes: two chunks, four blocks.
    Box().ClearSoundOut();
    auto d = Pattern(1024, 200);
    EXPECT_EQ(io.WriteSoundFromPCToBuffer(d.data(), 1024), 512);
    EXPECT_EQ(Box().SoundOut(), d);

    // 700 bytes: the 188-byte tail is less than a block, and no byte of an
    // earlier chunk goes out in its place.
    Box().ClearSoundOut();
    auto e = Pattern(700, 50);
    EXPECT_EQ(io.WriteSoundFromPCToBuffer(e.data(), 700), 512);
    EXPECT_EQ(Box().SoundOut(), Head(e, 512));

    EXPECT_EQ(Box().PacketCount(), packets);  // writing sends no command
    // Only what was given counts, not the whole block of a short write.
    EXPECT_EQ(io.GetWriteSoundBytes() - before, 512u + 300 + 200 + 1024 + 700);

    EXPECT_EQ(io.CloseWriteSoundToBuff(), 1);
    EXPECT_EQ(Slot().SoundOutPipeCtx.StartPlay.load(), 0);
    EXPECT_EQ(Slot().SoundOutPipeCtx.PlayDone.load(), 1);
    EXPECT_EQ(NineOffs(), 1u);
}

TEST_F(PcPlayTest, CloseWithoutOpenAndWritesWithoutOpen)
{
    EXPECT_EQ(io.CloseWriteSoundToBuff(), 1);
    EXPECT_EQ(NineOffs(), 0u);
    // No cycle takes the chunk: -3 after 101 polls of 2 ms.
    auto a = Pattern(512, 1);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(io.WriteSoundFromPCToBuffer(a.data(), 512), -3);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 101 * 2 * 0.99);
    EXPECT_EQ(Slot().PcPlayDataReady.load(), 1);
    // The chunk is still sent once a cycle takes it; the next write waits
    // for that instead of overwriting it.
    ASSERT_EQ(io.OpenWriteSoundToBuff(), 1);
    auto b = Pattern(512, 99);
    EXPECT_EQ(io.WriteSoundFromPCToBuffer(b.data(), 512), 512);
    auto out = Box().SoundOut();
    ASSERT_EQ(out.size(), 1024u);
    EXPECT_EQ(Head(out, 512), a);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 512, out.end()), b);
    EXPECT_EQ(io.CloseWriteSoundToBuff(), 1);
}

// A chunk taken late, but within the 101 polls, counts as sent.
TEST_F(PcPlayTest, AChunkTakenLateWithinTheLimitIsSent)
{
    // The thread's stream start fails and its pipe will not reopen: the
    // next open waits in its open cycle until the pipe opens again.
    Box().FailNext(zlsim::Pipe::SoundOut, zlsim::Op::Control);
    Box().FailNext(zlsim::Pipe::SoundOut, zlsim::Op::Open, 1000000);
    ASSERT_EQ(io.OpenWriteSoundToBuff(), 1);
    ASSERT_TRUE(Eventually([&] { return Slot().SoundOutPipeCtx.PlayDone.load() == 1; }));
    ASSERT_EQ(io.CloseWriteSoundToBuff(), 1);
    ASSERT_EQ(io.OpenWriteSoundToBuff(), 1);
    Box().ClearSoundOut();

    // Three times slower: 101 polls are 606 ms, 31 would be 186 ms; the
    // pipe opens at 350 ms.
    platform::SetTimeScale(3.0);
    auto a = Pattern(512, 5);
    std::thread reopen([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        Box().ClearFailures();
    });
    EXPECT_EQ(io.WriteSoundFromPCToBuffer(a.data(), 512), 512);
    reopen.join();
    EXPECT_EQ(Box().SoundOut(), a);
    platform::SetTimeScale(1.0);
    EXPECT_EQ(io.CloseWriteSoundToBuff(), 1);
}

TEST_F(PcPlayTest, WriteRightAfterAFilePlaybacksStop)
{
    ScratchDir dir("zplr_pcplay_");
    const std::string path = WriteWav(dir.File("after.wav"), std::vector<uint8_t>(100000, 0x55));
    auto a = Pattern(512, 3);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
        ASSERT_EQ(io.StopPlaySound(), 1);
        ASSERT_EQ(io.OpenWriteSoundToBuff(), 1);
        Box().ClearSoundOut();
        ASSERT_EQ(io.WriteSoundFromPCToBuffer(a.data(), 512), 512) << "round " << i;
        EXPECT_EQ(Box().SoundOut(), a);
        ASSERT_EQ(io.CloseWriteSoundToBuff(), 1);
    }
    // The switch-off of a PC-side write carries the last file start's mode.
    const Bytes64 off{9, 0, 1, 1, 0};
    EXPECT_EQ(Box().Packets().back(), off);
}

TEST_F(PcPlayTest, ClosedAndUnplugged)
{
    ASSERT_EQ(io.OpenWriteSoundToBuff(), 1);
    auto a = Pattern(512, 1);
    ASSERT_EQ(io.WriteSoundFromPCToBuffer(a.data(), 512), 512);
    Driver.Unplug(0);
    ASSERT_TRUE(Eventually([] { return (Status(0) & 0x200) != 0; }));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(io.WriteSoundFromPCToBuffer(a.data(), 512), -1);
    EXPECT_EQ(io.CloseWriteSoundToBuff(), -1);
    EXPECT_EQ(io.OpenWriteSoundToBuff(), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    ASSERT_TRUE(Eventually([&] { return Slot().SoundOutPipeCtx.PlayDone.load() == 1; }));
    EXPECT_EQ(Slot().SoundOutPipeCtx.StartPlay.load(), 0);

    Driver.Plug(0);
    ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }, 5000));
    ASSERT_EQ(io.OpenWriteSoundToBuff(), 1);
    Box().ClearSoundOut();
    ASSERT_EQ(io.WriteSoundFromPCToBuffer(a.data(), 512), 512);
    EXPECT_EQ(Box().SoundOut(), a);
    EXPECT_EQ(io.CloseWriteSoundToBuff(), 1);
}

}  // namespace
