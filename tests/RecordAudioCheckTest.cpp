// Recordings as users' tools read them, and a whole call as an application
// records it: the caller speaks and presses keys.
#include <cmath>
#include <string>
#include <vector>

#include "AudioCheck.h"
#include "SimFixture.h"
#include "WavBytes.h"
#include "sim/ALaw.h"
#include "sim/LineModel.h"

using namespace zplr;
using namespace zplr::test;

namespace {

// A voice-like murmur of two tones, A-law.
std::vector<uint8_t> Murmur(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        double x = 6000 * std::sin(2 * M_PI * 310 * i / 8000) + 2500 * std::sin(2 * M_PI * 530 * i / 8000);
        v[i] = zlsim::LinearToALaw(static_cast<int16_t>(std::lround(x)));
    }
    return v;
}

class RecordAudioCheckTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        Driver.SetSoundPace(Scale);
        // These check the file sample for sample against what the line
        // carried; on the test clock the box's 4 KiB FIFO covers 100 ms, which
        // a loaded machine can outlast. What the FIFO drops is the box
        // tests' business, not theirs.
        Driver.Box(0).SetSoundInFifo(1 << 20);
        StartOpen(io);
    }
    // Answers a call from `number` as an application does.
    void AnswerCall()
    {
        line.Ring("13800138000");
        ASSERT_TRUE(Eventually([&] { return io.CheckCallStatus() == 1; }));
        ASSERT_EQ(io.PickUp(), 1);
    }
    CZusb_IO io{0};
    zlsim::LineModel line{Driver.Box(0), Scale};
    TempFiles Files;
};

TEST_F(RecordAudioCheckTest, RecordingsAreALawWavForLibsndfileAndHoldTheFarEnd)
{
    // The caller's voice comes from a file another tool wrote.
    const std::vector<uint8_t> voice = Murmur(8000);
    const std::string farEnd = Files.Path();
    std::vector<int16_t> pcm;
    for (uint8_t a : voice)
        pcm.push_back(zlsim::ALawToLinear(a));
    ASSERT_TRUE(WriteWavWithSndfile(farEnd, "alaw", 8000, 1, pcm));
    std::string error;
    ASSERT_TRUE(line.Audio().LoadFarEnd(farEnd, &error)) << error;

    AnswerCall();
    const std::string path = Files.Path();
    ASSERT_EQ(io.StartReadSoundCStrF(path.c_str()), 1);
    // The whole voice and a little silence behind it.
    ASSERT_TRUE(Eventually([&] { return io.ReadRecLength() >= 8000 + 1000; }));
    const int size = io.StopReadSound();
    ASSERT_GT(size, 48);

    WavInfo w = ReadWavWithSndfile(path);
    ASSERT_TRUE(w.Ok) << w.Error;
    EXPECT_EQ(w.Container, "wav");
    EXPECT_EQ(w.Encoding, "alaw");
    EXPECT_EQ(w.Rate, 8000);
    EXPECT_EQ(w.Channels, 1);
    EXPECT_EQ(w.Frames, size - 48);

    // Sample for sample: nothing dropped, doubled or reordered.
    std::vector<uint8_t> b = ReadFile(path);
    ASSERT_EQ(b.size(), static_cast<size_t>(size));
    ASSERT_GE(b.size(), 48 + voice.size());
    EXPECT_TRUE(std::equal(voice.begin(), voice.end(), b.begin() + 48));
    for (size_t i = 48 + voice.size(); i < b.size(); ++i)
        ASSERT_EQ(b[i], 0xD5) << i;
}

TEST_F(RecordAudioCheckTest, CallerSpeaksAndPressesKeys)
{
    line.Audio().SetFarEnd(Murmur(16000));
    AnswerCall();
    const std::string path = Files.Path();
    ASSERT_EQ(io.StartReadSoundCStrF(path.c_str()), 1);
    ASSERT_TRUE(Eventually([&] { return io.ReadRecLength() >= 4000; }));
    line.PressKeys("42#");
    // Until the caller presses '#'.
    std::string keys;
    ASSERT_TRUE(Eventually([&] {
        unsigned char code[2];
        while (io.GetDTMFCode(code) == 1)
            keys += zlsim::LineModel::KeyChar(code[0]);
        return !keys.empty() && keys.back() == '#';
    }));
    const int size = io.StopReadSound();
    EXPECT_EQ(io.PutDown(), 1);
    EXPECT_EQ(keys, "42#");
    WavInfo w = ReadWavWithSndfile(path);
    ASSERT_TRUE(w.Ok) << w.Error;
    EXPECT_EQ(w.Frames, size - 48);
    EXPECT_EQ(FindDtmfKeys(w.Samples.data(), w.Samples.size()), "42#");
}

}  // namespace
