// Playback and recording on one box: the recording gives way, and stops of
// the recording end a playback.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "SimFixture.h"

using namespace zplr;
using namespace zplr::test;
using transport::SlotFor;
using zlsim::Bytes64;
namespace fs = std::filesystem;

namespace {

class PlayRecordTest : public BoxTest {
protected:
    void Prepare() override
    {
        PaceSoundOutByHand();
        NumberSoundIn();
    }
    std::string File(const char *name) { return Dir.File(name); }
    std::string Wav(const char *name, const std::vector<uint8_t> &sound) { return WriteWav(File(name), sound); }
    static std::vector<uint8_t> Ramp(size_t n, uint8_t seed)
    {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i)
            v[i] = static_cast<uint8_t>(seed + i * 5 + (i >> 7));
        return v;
    }
    // Packet codes with their byte 1, in order: 9/1 play on, 9/0 off, 7/0 record off.
    std::vector<int> Codes(std::initializer_list<uint8_t> which)
    {
        std::vector<int> out;
        for (const auto &p : Box().Packets())
            if (std::find(which.begin(), which.end(), p[0]) != which.end())
                out.push_back(p[0] * 10 + p[1]);
        return out;
    }
    bool PlayEndedCycle()
    {
        return Slot().SoundOutPipeCtx.PlayDone.load() == 1 && Slot().SoundOutPipeCtx.StartPlay.load() == 0;
    }

    ScratchDir Dir{"zplr_playrec_"};
};

TEST_F(PlayRecordTest, RecordingGivesWayToAPlaybackAndLosesOnlyThePause)
{
    ASSERT_EQ(io.PickUp(), 1);
    const std::string rec = File("rec.wav");
    ASSERT_EQ(io.StartReadSound(rec.c_str(), 0), 1);
    ASSERT_TRUE(Eventually([&] { return io.ReadRecLength() >= 4000; }));

    const std::string play = Wav("play.wav", Ramp(2000, 3));
    ASSERT_EQ(io.StartPlaySound(play.c_str(), 0, 0, 1, 0), 1);
    EXPECT_EQ(Slot().PlayActive.load(), 1);
    // No read of pipe 2 while the playback runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const unsigned paused = io.ReadRecLength();
    const size_t reads = Box().SoundInReads().size();
    Box().RequestChunk();
    ASSERT_TRUE(Box().WaitSoundOut(512, 3000));
    Box().RequestChunk();
    ASSERT_TRUE(Box().WaitSoundOut(1024, 3000));
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(ScaledMs(1200) * 1000)));  // 1.2 s of line time
    EXPECT_EQ(io.ReadRecLength(), paused);
    EXPECT_EQ(Box().SoundInReads().size(), reads);

    // The stop lets it read again, backlog first.
    ASSERT_EQ(io.StopPlaySound(), 1);
    EXPECT_EQ(Slot().PlayActive.load(), 0);
    ASSERT_TRUE(Eventually([&] { return io.ReadRecLength() >= paused + 4000; }));
    const int size = io.StopReadSound();
    ASSERT_GT(size, static_cast<int>(paused) + 4000);

    // The file holds the line's samples from the first on, in order; the
    // box's FIFO covers only part of the pause, so the one gap is the audio
    // the box counted as lost while the recording gave way.
    const std::vector<uint8_t> file = ReadFile(rec);
    ASSERT_EQ(file.size(), static_cast<size_t>(size));
    const uint64_t lost = Box().SoundInDropped() / 256 * 250;
    size_t gap = 48;
    while (gap < file.size() && file[gap] == Sample(gap - 48))
        ++gap;
    EXPECT_GE(gap - 48, paused);
    for (size_t i = gap; i < file.size(); ++i)
        ASSERT_EQ(file[i], Sample(i - 48 + lost)) << "at audio byte " << i - 48;
    EXPECT_GT(lost, 0u) << "a second of pause is more than the box holds";
    // And the line got the played file's first 1024 bytes.
    const auto out = Box().SoundOut();
    const auto ramp = Ramp(1024, 3);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 1024), ramp);
}

TEST_F(PlayRecordTest, StoppingTheRecordingStopsThePlayback)
{
    ASSERT_EQ(io.PickUp(), 1);
    const std::string rec = File("rec.wav");
    ASSERT_EQ(io.StartReadSound(rec.c_str(), 0), 1);
    ASSERT_TRUE(Eventually([&] { return io.ReadRecLength() >= 1000; }));
    const std::string play = Wav("play.wav", Ramp(100000, 1));
    ASSERT_EQ(io.StartPlaySound(play.c_str(), 0, 0, 1, 0), 1);
    Box().RequestChunk();
    ASSERT_TRUE(Box().WaitSoundOut(512, 3000));

    const int size = io.StopReadSound();
    EXPECT_GT(size, 48);
    EXPECT_TRUE(PlayEndedCycle());
    EXPECT_EQ(Slot().PlayActive.load(), 0);
    // Playback off before recording off.
    const std::vector<int> order{71, 91, 90, 70};
    EXPECT_EQ(Codes({7, 9}), order);
}

TEST_F(PlayRecordTest, ClosingThePcRecordingStopsThePcWrite)
{
    Driver.SetSoundPace(0);
    ASSERT_EQ(io.OpenReadSoundInPC(1), 1);
    unsigned char in[513];
    ASSERT_EQ(io.ReadSoundFromBufferToPC(in, 512), 512);
    EXPECT_EQ(std::memcmp(in, "stcq", 4), 0);

    ASSERT_EQ(io.OpenWriteSoundToBuff(), 1);
    auto chunk = Ramp(512, 9);
    ASSERT_EQ(io.WriteSoundFromPCToBuffer(chunk.data(), 512), 512);
    // Both directions at once: a PC-side write does not pause the recording.
    ASSERT_EQ(io.ReadSoundFromBufferToPC(in, 512), 512);
    EXPECT_EQ(Box().SoundOut(), chunk);

    const int bytes = io.CloseReadSoundInPC();
    EXPECT_GE(bytes, 1024);
    EXPECT_TRUE(PlayEndedCycle());
    const std::vector<int> order{71, 90, 70};
    EXPECT_EQ(Codes({7, 9}), order);
}

// An answering machine, as an application writes it: answer, greet, record
// the caller's message, take the caller's keys, hang up when the caller does.
}  // namespace
