// Playback of WAV files to the line, against the virtual box.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "SimFixture.h"
#include "sim/LineModel.h"

using namespace zplr;
using namespace zplr::test;
using transport::SlotFor;
using zlsim::Bytes64;
using zlsim::VirtualBox;

namespace {

// A byte for every file offset that differs from its neighbours' and
// from the bytes 48 away, so that a wrong offset shows.
uint8_t At(size_t offset) { return static_cast<uint8_t>(offset * 7 + (offset >> 8) * 13 + (offset >> 16)); }

class PlaybackTest : public BoxTest {
protected:
    void Prepare() override { PaceSoundOutByHand(); }

    // A file of the library's layout with `sound` bytes behind its header.
    std::string Wav(const std::string &name, size_t sound) { return WriteWav(dir.File(name), FileBytes(48, sound)); }
    static std::vector<uint8_t> FileBytes(size_t from, size_t count)
    {
        std::vector<uint8_t> v(count);
        for (size_t i = 0; i < count; ++i)
            v[i] = At(from + i);
        return v;
    }
    std::vector<Bytes64> Sent(uint8_t code) { return PacketsOf(Box(), code); }
    bool CycleEnded() { return Slot().SoundOutPipeCtx.PlayDone.load() == 1 && Slot().SoundOutPipeCtx.StartPlay.load() == 0; }
    // Asks for one chunk and waits until the pipe has `total` bytes.
    void Chunk(size_t total)
    {
        Box().RequestChunk();
        ASSERT_TRUE(Box().WaitSoundOut(total, 3000)) << "have " << Box().SoundOutSize();
    }
    static std::vector<uint8_t> Range(const std::vector<uint8_t> &v, size_t from, size_t count)
    {
        return std::vector<uint8_t>(v.begin() + from, v.begin() + from + count);
    }

    ScratchDir dir{"zplr_play_"};
};

TEST_F(PlaybackTest, FileGoesToPipeThreeInBlocksFromOffset48AndEnds)
{
    Box().SetPacing(VirtualBox::Pacing::Unpaced);
    const std::string path = Wav("a.wav", 1000);  // 1 048 bytes
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 5, 1), 1);
    ASSERT_TRUE(Eventually([&] { return CycleEnded(); }));

    // 512 bytes, then one 256-byte block of the 488 left; the rest is not sent.
    EXPECT_EQ(Box().SoundOut(), FileBytes(48, 768));
    EXPECT_EQ(io.GetWriteSoundBytes(), 1536u);

    auto nine = Sent(9);
    ASSERT_EQ(nine.size(), 2u);
    const Bytes64 on{9, 1, 1, 5, 1}, off{9, 0, 1, 1, 0};
    EXPECT_EQ(nine[0], on);
    EXPECT_EQ(nine[1], off);

    // One stream start on the sound-out thread's device handle.
    EXPECT_EQ(Box().SoundOutStarts(), 1u);
    ASSERT_EQ(ControlCount(Box(), 0x80002010, zlsim::Pipe::Device), 1);
    for (const auto &c : Box().Controls())
        if (c.Code == 0x80002010) {
            EXPECT_EQ(StartWords(c), (std::vector<uint32_t>{0, 6, 0x471}));
        }

    EXPECT_EQ(io.StopPlaySound(), 1);
    EXPECT_EQ(Slot().PlayActive.load(), 0);
}

TEST_F(PlaybackTest, RateStaysAboveThousandUntilTheBoxReportsTheEnd)
{
    const std::string path = Wav("a.wav", 1000);
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
    Chunk(512);
    Box().WithholdReplies(true);  // the reply to command 9 off, and the end
    Chunk(768);
    ASSERT_TRUE(Eventually([&] { return Sent(9).size() == 2; }));
    EXPECT_EQ(io.GetWriteSoundRate(), 1465);
    EXPECT_EQ(io.GetWriteSoundRate(), 1465);
    Box().ReleaseWithheld();
    ASSERT_TRUE(Eventually([&] { return CycleEnded(); }));
    ASSERT_TRUE(Eventually([] { return (Status(0) & 0x40) != 0; }));
    EXPECT_EQ(io.GetWriteSoundRate(), 1000);
    EXPECT_EQ(io.GetWriteSoundRate(), 1465);
}

TEST_F(PlaybackTest, ExactlyTwoChunksWaitForOneMoreRequest)
{
    const std::string path = Wav("b.wav", 1024);
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
    Chunk(512);
    Chunk(1024);
    // The third read finds nothing, yet the thread waits for the box.
    ASSERT_TRUE(Eventually([&] { return io.GetWriteSoundBytes() == 1072u; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Sent(9).size(), 1u);
    EXPECT_FALSE(CycleEnded());
    Box().RequestChunk();
    ASSERT_TRUE(Eventually([&] { return CycleEnded(); }));
    EXPECT_EQ(Box().SoundOutSize(), 1024u);
    EXPECT_EQ(Sent(9).size(), 2u);
    EXPECT_EQ(io.GetWriteSoundBytes(), 1072u);
}

TEST_F(PlaybackTest, StartPositionInThousandths)
{
    // Small file: 500 x 100 048 / 1000 = 50 024, read from offset 50 072.
    const std::string small = Wav("small.wav", 100000);
    ASSERT_EQ(io.StartPlaySound(small.c_str(), 500, 1, 1, 0), 1);
    Chunk(512);
    EXPECT_EQ(Box().SoundOut(), FileBytes(50072, 512));
    ASSERT_TRUE(Eventually([&] { return io.GetWriteSoundBytes() == 50024u + 1024u; }));
    EXPECT_EQ(io.GetWriteSoundRate(), static_cast<int>((50024ull + 1024) * 1000 / 100048));
    ASSERT_EQ(io.StopPlaySound(), 1);

    // Large file: 500 x (5 000 048 / 1000) = 2 500 000.
    Box().ClearSoundOut();
    const std::string large = Wav("large.wav", 5000000);
    ASSERT_EQ(io.StartPlaySound(large.c_str(), 500, 1, 1, 0), 1);
    Chunk(512);
    EXPECT_EQ(Box().SoundOut(), FileBytes(2500048, 512));
    ASSERT_EQ(io.StopPlaySound(), 1);

    // Past the end: nothing to send, and the cycle ends as for a short file.
    Box().ClearSoundOut();
    ASSERT_EQ(io.StartPlaySound(small.c_str(), 2000, 1, 1, 0), 1);
    Box().RequestChunk();
    ASSERT_TRUE(Eventually([&] { return CycleEnded(); }));
    EXPECT_EQ(Box().SoundOutSize(), 0u);
    EXPECT_EQ(io.GetWriteSoundBytes(), 100048u);

    // A negative start is before the file, not a wrapped offset into it.
    ASSERT_EQ(io.StartPlaySound(small.c_str(), -1, 1, 1, 0), 1);
    Box().RequestChunk();
    ASSERT_TRUE(Eventually([&] { return CycleEnded(); }));
    EXPECT_EQ(Box().SoundOutSize(), 0u);
}

// Around 4 000 000 bytes the position changes formula: below it the
// product is divided, from it on the length is divided first. Lengths with
// 999 in their last three digits show which one ran.
TEST_F(PlaybackTest, PositionFormulaChangesAtFourMillionBytes)
{
    const struct {
        size_t Length;
        uint64_t Position;
    } cases[] = {{3999999, 1999999}, {4000999, 2000000}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Length);
        Box().ClearSoundOut();
        const std::string path = Wav("edge.wav", c.Length - 48);
        ASSERT_EQ(io.StartPlaySound(path.c_str(), 500, 1, 1, 0), 1);
        Chunk(512);
        EXPECT_EQ(Box().SoundOut(), FileBytes(c.Position + 48, 512));
        ASSERT_TRUE(Eventually([&] { return io.GetWriteSoundBytes() == c.Position + 1024; }))
            << io.GetWriteSoundBytes();
        ASSERT_EQ(io.StopPlaySound(), 1);
    }
}

TEST_F(PlaybackTest, SeekActsBeforeTheNextRead)
{
    const std::string path = Wav("s.wav", 100000);
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
    Chunk(512);
    // The second chunk is read (and counted) before the box asks for it.
    ASSERT_TRUE(Eventually([&] { return io.GetWriteSoundBytes() == 1024u; }));
    io.SeekFilePointForTelInfo(500);
    Chunk(1024);
    Chunk(1536);
    auto out = Box().SoundOut();
    EXPECT_EQ(Range(out, 0, 512), FileBytes(48, 512));
    EXPECT_EQ(Range(out, 512, 512), FileBytes(560, 512));
    EXPECT_EQ(Range(out, 1024, 512), FileBytes(50072, 512));
    ASSERT_EQ(io.StopPlaySound(), 1);
}

TEST_F(PlaybackTest, ModesAndTheOffHookTest)
{
    const std::string path = Wav("m.wav", 600);
    const size_t before = Box().PacketCount();
    // On hook: mode 0 needs the line; nothing is sent.
    EXPECT_EQ(io.StartPlaySound(path.c_str(), 0, 0, 1, 1), -4);
    EXPECT_EQ(io.StartPlaySound(path.c_str(), 0, 3, 1, 1), -4);
    EXPECT_EQ(Box().PacketCount(), before);
    EXPECT_EQ(Slot().PlayActive.load(), 0);

    // The tag with mode 3 starts on hook and sends mode 3; a flag other
    // than 1 goes as 0.
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 0x2C6B19F3, 0x105, 7), 1);
    auto nine = Sent(9);
    ASSERT_EQ(nine.size(), 1u);
    EXPECT_EQ(nine[0][1], 1);
    EXPECT_EQ(nine[0][2], 3);
    EXPECT_EQ(nine[0][3], 5);
    EXPECT_EQ(nine[0][4], 0);
    ASSERT_EQ(io.StopPlaySound(), 1);
    // The switch-off goes with the start's mode and option 1.
    nine = Sent(9);
    ASSERT_EQ(nine.size(), 2u);
    const Bytes64 off{9, 0, 3, 1, 0};
    EXPECT_EQ(nine[1], off);

    // All four low bits of a tagged mode go to the box; other upper bits
    // are no tag.
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 0x2C6B19FA, 1, 1), 1);
    EXPECT_EQ(Sent(9).back()[2], 0x0A);
    ASSERT_EQ(io.StopPlaySound(), 1);
    EXPECT_EQ(Sent(9).back()[2], 0x0A);
    EXPECT_EQ(io.StartPlaySound(path.c_str(), 0, 0x2C6B18FA, 1, 1), -4);
    EXPECT_EQ(io.StartPlaySound(path.c_str(), 0, 0x2C6B19E3, 1, 1), -4);

    // Mode 2 on hook, and any mode off hook.
    EXPECT_EQ(io.StartPlaySoundCStr(const_cast<char *>(path.c_str()), 0, 2, 1, 1), 1);
    ASSERT_EQ(io.StopPlaySound(), 1);
    ASSERT_EQ(io.PickUp(), 1);
    EXPECT_EQ(io.StartPlaySound(path.c_str(), 0, 0, 1, 1), 1);
    ASSERT_EQ(io.StopPlaySound(), 1);
}

TEST_F(PlaybackTest, BadPathsAreRefusedBeforeAnythingIsSent)
{
    const size_t before = Box().PacketCount();
    EXPECT_EQ(io.StartPlaySound(nullptr, 0, 1, 1, 1), -4);
    EXPECT_EQ(io.StartPlaySoundCStr(nullptr, 0, 1, 1, 1), -4);
    const std::string missing = dir.File("missing.wav");
    EXPECT_EQ(io.StartPlaySound(missing.c_str(), 0, 1, 1, 1), -4);
    EXPECT_EQ(Box().PacketCount(), before);
    EXPECT_EQ(Slot().PlayActive.load(), 0);
    EXPECT_EQ(Slot().SoundOutPipeCtx.StartPlay.load(), 0);

    EXPECT_EQ(io.CheckWavFileExist(nullptr), 0);
    EXPECT_EQ(io.CheckWavFileExist(const_cast<char *>(missing.c_str())), 0);
    const std::string there = Wav("there.wav", 10);
    EXPECT_NE(io.CheckWavFileExist(const_cast<char *>(there.c_str())), 0);
}

TEST_F(PlaybackTest, StopsAndTheStartFlag)
{
    // Nothing playing: 1 at once, and recording may read again.
    Slot().PlayActive.store(1);
    EXPECT_EQ(io.StopPlaySound(), 1);
    EXPECT_EQ(Slot().PlayActive.load(), 0);

    const std::string path = Wav("long.wav", 100000);
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
    EXPECT_EQ(Slot().PlayActive.load(), 1);
    Chunk(512);
    // The flag stays up for the whole cycle: the flags word is not asked.
    EXPECT_EQ(Slot().SoundOutPipeCtx.StartPlay.load(), 1);
    const size_t before = Box().PacketCount();
    Slot().DiFlags.store(0x1234);
    EXPECT_EQ(io.ReaddiFlagsValue(), 0x1234);
    EXPECT_EQ(Box().PacketCount(), before);

    EXPECT_EQ(io.StopPlaySound(), 1);
    EXPECT_TRUE(CycleEnded());
    EXPECT_EQ(Slot().PlayActive.load(), 0);
    EXPECT_EQ(Box().SoundOutSize(), 512u);
    EXPECT_EQ(Sent(9).back()[1], 0);

    // A new start right after the stop is never wiped out by the ended cycle.
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
        ASSERT_EQ(io.StopPlaySound(), 1);
        ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
        Box().ClearSoundOut();
        Chunk(512);
        ASSERT_EQ(io.StopPlaySound(), 1);
    }

    // A start while a cycle runs ends that one first.
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
    Box().ClearSoundOut();
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 500, 1, 1, 0), 1);
    Chunk(512);
    EXPECT_EQ(Box().SoundOut(), FileBytes(50072, 512));
    EXPECT_EQ(io.StopPlaySound(), 1);
}

TEST_F(PlaybackTest, FsCloseStopsThePlaybackFirst)
{
    const std::string path = Wav("f.wav", 100000);
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
    ASSERT_EQ(io.FS_Close(), 1);
    EXPECT_TRUE(CycleEnded());
    EXPECT_EQ(Slot().PlayActive.load(), 0);
    // The box's end-of-playback report counts as a reply too, so command 18
    // may still be on its way when FS_Close returns.
    const Bytes64 off{9, 0, 1, 1, 0}, fs{18, 1};
    ASSERT_TRUE(Eventually([&] { return Box().Packets().back() == fs; }));
    auto packets = Box().Packets();
    ASSERT_GE(packets.size(), 2u);
    EXPECT_EQ(packets[packets.size() - 2], off);
    EXPECT_EQ(packets.back(), fs);
}

TEST_F(PlaybackTest, ReleasedLineGivesRateMinusOne)
{
    zlsim::LineModel line(Box(), Scale);
    ASSERT_EQ(io.PickUp(), 1);
    const std::string path = Wav("r.wav", 100000);
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 0, 1, 0), 1);
    Chunk(512);
    line.Release();
    ASSERT_TRUE(Eventually([&] { return io.GetWriteSoundRate() == -1; }));
    EXPECT_EQ(io.GetWriteSoundRate(), -1);
    EXPECT_TRUE(Eventually([] { return (Status(0) & 0x2) == 0; }));
    EXPECT_EQ(io.StopPlaySound(), 1);
    // The next start clears it, and the end that the stop brought is not
    // taken for the end of the next playback.
    ASSERT_TRUE(Eventually([] { return (Status(0) & 0x40) != 0; }));
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
    const int rate = io.GetWriteSoundRate();
    EXPECT_GE(rate, 0);
    EXPECT_LT(rate, 1000);
    EXPECT_EQ(io.StopPlaySound(), 1);
}

// A line released as the box ends its playback: the release wins, and the
// end stays for later.
TEST_F(PlaybackTest, ReleaseBeatsTheEndInTheRate)
{
    const std::string path = Wav("both.wav", 100000);
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
    uint8_t record[3] = {3, 0x21, 0};  // released and playback finished
    io.ProcZLStatus(record);
    EXPECT_EQ(io.GetWriteSoundRate(), -1);
    EXPECT_EQ(io.GetWriteSoundRate(), -1);
    EXPECT_NE(Status(0) & 0x40, 0u);
    EXPECT_EQ(io.StopPlaySound(), 1);
}

TEST_F(PlaybackTest, PipeFailures)
{
    const std::string path = Wav("p.wav", 100000);
    auto soundOutOpens = [&] {
        size_t n = 0;
        for (auto p : Box().Opens())
            n += p == zlsim::Pipe::SoundOut;
        return n;
    };
    const size_t opens = soundOutOpens();

    // Stream start refused: no sound, no switch-off, the pipe is reopened.
    Box().FailNext(zlsim::Pipe::SoundOut, zlsim::Op::Control);
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
    ASSERT_TRUE(Eventually([&] { return CycleEnded(); }));
    EXPECT_EQ(Sent(9).size(), 1u);
    ASSERT_TRUE(Eventually([&] { return soundOutOpens() == opens + 1; }));
    EXPECT_EQ(io.StopPlaySound(), 1);

    // A failed write: the pipe is reset and reopened; no switch-off.
    ASSERT_TRUE(Eventually([&] { return Slot().SoundOutPipeReopen.load() == 0; }));
    Box().FailNext(zlsim::Pipe::SoundOut, zlsim::Op::Write);
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
    Box().RequestChunk();
    ASSERT_TRUE(Eventually([&] { return CycleEnded(); }));
    EXPECT_EQ(Sent(9).size(), 2u);
    EXPECT_GE(ControlCount(Box(), 0x220008, zlsim::Pipe::SoundOut), 1);
    ASSERT_TRUE(Eventually([&] { return soundOutOpens() == opens + 2; }));
    EXPECT_EQ(io.StopPlaySound(), 1);

    // And the next playback goes through.
    ASSERT_TRUE(Eventually([&] { return Slot().SoundOutPipeReopen.load() == 0; }));
    Box().ClearSoundOut();
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
    Chunk(512);
    EXPECT_EQ(Box().SoundOut(), FileBytes(48, 512));
    EXPECT_EQ(io.StopPlaySound(), 1);
}

TEST_F(PlaybackTest, UnpluggedMidStream)
{
    Box().SetPacing(VirtualBox::Pacing::RealTime);
    const std::string path = Wav("u.wav", 1000000);
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
    ASSERT_TRUE(Box().WaitSoundOut(2048, 3000));
    Driver.Unplug(0);
    ASSERT_TRUE(Eventually([] { return (Status(0) & 0x200) != 0; }));
    EXPECT_EQ(io.StopPlaySound(), -1);
    // The thread leaves its cycle without waiting for the box.
    ASSERT_TRUE(Eventually([&] { return CycleEnded(); }));
    EXPECT_EQ(io.GetWriteSoundRate() < 1000, true);

    // Back again: playback works as before.
    Driver.Plug(0);
    ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }, 5000));
    Box().ClearSoundOut();
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
    ASSERT_TRUE(Box().WaitSoundOut(1024, 3000));
    EXPECT_EQ(Range(Box().SoundOut(), 0, 1024), FileBytes(48, 1024));
    EXPECT_EQ(io.StopPlaySound(), 1);
}

TEST_F(PlaybackTest, SessionEndDuringPlayback)
{
    const std::string path = Wav("e.wav", 100000);
    ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
    Chunk(512);
    // The thread waits for the box's next request; the end does not.
    const auto t0 = std::chrono::steady_clock::now();
    io.ExistUSB_IO();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(Slot().SoundOutThreadAlive.load(), 0);
}

TEST_F(PlaybackTest, ThreadHeldInItsOpenCycle)
{
    // Stream start refused, and the pipe cannot reopen: the next cycle
    // waits in its open.
    const std::string path = Wav("g.wav", 1000);
    auto hold = [&] {
        Box().FailNext(zlsim::Pipe::SoundOut, zlsim::Op::Control);
        Box().FailNext(zlsim::Pipe::SoundOut, zlsim::Op::Open, 1000000);
        ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
        ASSERT_TRUE(Eventually([&] { return CycleEnded(); }));
        ASSERT_EQ(io.StartPlaySound(path.c_str(), 0, 1, 1, 0), 1);
    };
    ASSERT_NO_FATAL_FAILURE(hold());
    const unsigned starts = Box().SoundOutStarts();
    // The file goes away before the thread opens it: no sound and no stream
    // start, but the box's playback goes off again.
    std::filesystem::remove(path);
    Box().FailNext(zlsim::Pipe::SoundOut, zlsim::Op::Open, -1000000);
    ASSERT_TRUE(Eventually([&] { return CycleEnded(); }));
    EXPECT_EQ(Box().SoundOutSize(), 0u);
    EXPECT_EQ(Box().SoundOutStarts(), starts);
    const Bytes64 off{9, 0, 1, 1, 0};
    EXPECT_EQ(Sent(9).back(), off);
    EXPECT_EQ(io.StopPlaySound(), 1);

    // A stop while the thread hangs there gives up after its 101 polls.
    Wav("g.wav", 1000);
    ASSERT_NO_FATAL_FAILURE(hold());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(io.StopPlaySound(), -3);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, ScaledMs(100 * 101) * 0.9);
    EXPECT_EQ(Slot().PlayActive.load(), 0);
    Box().FailNext(zlsim::Pipe::SoundOut, zlsim::Op::Open, -1000000);
}

}  // namespace
