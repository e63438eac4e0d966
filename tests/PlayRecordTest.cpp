// Playback and recording on one box: the recording gives way, stops of the
// recording end a playback, and an answering machine as an application
// would write it.
#include <algorithm>
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

TEST_F(PlayRecordTest, RecordingPausesForAPlaybackAndLosesNothing)
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
    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // over a second of line time
    EXPECT_EQ(io.ReadRecLength(), paused);
    EXPECT_EQ(Box().SoundInReads().size(), reads);

    // The stop lets it read again, backlog first.
    ASSERT_EQ(io.StopPlaySound(), 1);
    EXPECT_EQ(Slot().PlayActive.load(), 0);
    ASSERT_TRUE(Eventually([&] { return io.ReadRecLength() >= paused + 4000; }));
    const int size = io.StopReadSound();
    ASSERT_GT(size, static_cast<int>(paused) + 4000);

    // The file holds the line's samples from the first on, without a gap.
    const std::vector<uint8_t> file = ReadFile(rec);
    ASSERT_EQ(file.size(), static_cast<size_t>(size));
    for (size_t i = 48; i < file.size(); ++i)
        ASSERT_EQ(file[i], Sample(i - 48)) << "at audio byte " << i - 48;
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
TEST_F(PlayRecordTest, AnsweringMachine)
{
    zlsim::LineModel line(Box(), Scale);
    Box().SetPacing(VirtualBox::Pacing::RealTime);
    const std::vector<uint8_t> greetingSound = Ramp(4000, 11);  // half a second
    const std::string greeting = Wav("greeting.wav", greetingSound);
    const std::string message = File("message.wav");
    std::vector<uint8_t> voice(2400);
    for (size_t i = 0; i < voice.size(); ++i)
        voice[i] = static_cast<uint8_t>(0x80 + (i * 13) % 97);

    line.Ring("5551234");

    // ---- the application ----
    ASSERT_TRUE(Eventually([&] { return io.CheckCallStatus() == 1; }));
    std::string caller;
    ASSERT_TRUE(Eventually([&] { return !(caller = io.ReadstrCallNmb()).empty(); }));
    EXPECT_EQ(caller, "5551234");
    ASSERT_EQ(io.PickUp(), 1);

    ASSERT_NE(io.CheckWavFileExist(const_cast<char *>(greeting.c_str())), 0);
    ASSERT_EQ(io.StartPlaySound(greeting.c_str(), 0, 0, 1, 1), 1);
    int rate = 0;
    ASSERT_TRUE(Eventually([&] { return (rate = io.GetWriteSoundRate()) == 1000 || rate < 0; }, 5000));
    ASSERT_EQ(rate, 1000);
    ASSERT_EQ(io.StopPlaySound(), 1);

    ASSERT_EQ(io.StartReadSoundCStrF(message.c_str()), 1);
    // The caller speaks after the greeting, then presses keys, then hangs up.
    line.Audio().SetFarEnd(voice);
    line.Audio().StartFarEnd();
    std::string keys;
    bool keysPressed = false, released = false;
    ASSERT_TRUE(Eventually(
        [&] {
            if (!keysPressed && !line.Audio().FarEndSpeaking()) {
                keysPressed = true;
                line.PressKeys("5#");
            }
            if (keysPressed && !released && !line.Audio().KeysPending() &&
                keys.find('#') != std::string::npos) {
                released = true;
                line.Release();
            }
            unsigned char code[2];
            while (io.GetDTMFCode(code) == 1)
                keys += zlsim::LineModel::KeyChar(code[0]);
            return released && io.CheckPutDown() == 0;
        },
        10000));
    const int size = io.StopReadSound();
    EXPECT_EQ(io.PutDown(), 1);
    // ---- what came of it ----

    EXPECT_EQ(keys.substr(0, 1), "5");
    EXPECT_EQ(keys.back(), '#');
    // The line got the greeting in whole blocks: 15 of its 4 000 bytes' 15.6.
    const auto out = Box().SoundOut();
    ASSERT_EQ(out.size(), 3840u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), greetingSound.begin()));
    // The message is complete and holds the caller's voice unbroken.
    const std::vector<uint8_t> file = ReadFile(message);
    ASSERT_EQ(file.size(), static_cast<size_t>(size));
    ASSERT_GT(file.size(), 48 + voice.size());
    EXPECT_EQ(file[44] | file[45] << 8 | file[46] << 16 | file[47] << 24, size - 48);
    EXPECT_NE(std::search(file.begin() + 48, file.end(), voice.begin(), voice.end()), file.end());
}

}  // namespace
