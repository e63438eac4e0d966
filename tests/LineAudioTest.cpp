// The virtual line's audio: what comes out when, and the far end's WAV files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <thread>

#include "WavBytes.h"
#include "sim/ALaw.h"
#include "sim/LineAudio.h"

using zlsim::LineAudio;
using zplr::test::WavShape;
using zplr::test::WavBytes;

namespace {

std::vector<uint8_t> ReadSome(LineAudio &a, size_t n)
{
    std::vector<uint8_t> v(n);
    a.Read(v.data(), n);
    return v;
}

std::vector<uint8_t> Ramp(size_t n)
{
    // Never 0xD5, so voice and silence tell apart.
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i % 200);
    return v;
}

TEST(LineAudioTest, SilenceToneAndTheFarEndOnce)
{
    LineAudio a;
    EXPECT_EQ(ReadSome(a, 300), std::vector<uint8_t>(300, 0xD5));
    a.SetFarEnd(Ramp(1000));
    EXPECT_EQ(ReadSome(a, 10), std::vector<uint8_t>(10, 0xD5)) << "spoke before it started";

    a.StartFarEnd();
    EXPECT_TRUE(a.FarEndSpeaking());
    std::vector<uint8_t> got = ReadSome(a, 700);
    std::vector<uint8_t> more = ReadSome(a, 500);
    got.insert(got.end(), more.begin(), more.begin() + 300);
    EXPECT_EQ(got, Ramp(1000));
    EXPECT_EQ(std::vector<uint8_t>(more.begin() + 300, more.end()), std::vector<uint8_t>(200, 0xD5));
    EXPECT_FALSE(a.FarEndSpeaking());
    EXPECT_EQ(a.SamplesRead(), 1510u);

    // Stopped mid-way: silence, and the tone shows through once set.
    a.StartFarEnd();
    ReadSome(a, 5);
    a.StopFarEnd();
    EXPECT_EQ(ReadSome(a, 5), std::vector<uint8_t>(5, 0xD5));
    ASSERT_TRUE(a.SetTone(1000, -10));
    std::vector<uint8_t> tone = ReadSome(a, 8);
    EXPECT_NE(tone, std::vector<uint8_t>(8, 0xD5));
    a.SetSilence();
    EXPECT_EQ(ReadSome(a, 8), std::vector<uint8_t>(8, 0xD5));

    EXPECT_FALSE(a.SetTone(4000, -10));
    EXPECT_FALSE(a.SetTone(0, -10));
    EXPECT_FALSE(a.SetTone(1000, 3.5));
    EXPECT_FALSE(a.SetTone(1000, std::nan("")));
}

TEST(LineAudioTest, KeysPauseTheVoiceWithoutLosingIt)
{
    LineAudio a;
    a.SetFarEnd(Ramp(4000));
    a.StartFarEnd();
    std::vector<uint8_t> got = ReadSome(a, 100);
    ASSERT_TRUE(a.QueueKeys("5#"));
    EXPECT_TRUE(a.KeysPending());
    // Two keys: 100 ms of tones and 100 ms of silence each.
    for (int key = 0; key < 2; ++key) {
        std::vector<uint8_t> tone = ReadSome(a, 800);
        EXPECT_GT(std::count_if(tone.begin(), tone.end(), [](uint8_t s) { return s != 0xD5; }), 700);
        EXPECT_EQ(ReadSome(a, 800), std::vector<uint8_t>(800, 0xD5));
    }
    EXPECT_FALSE(a.KeysPending());
    EXPECT_EQ(a.FarEndPosition(), 100u);
    std::vector<uint8_t> rest = ReadSome(a, 3900);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, Ramp(4000));

    EXPECT_FALSE(a.QueueKeys("12x"));
    EXPECT_FALSE(a.KeysPending()) << "a bad key queued the good ones";
    EXPECT_TRUE(a.QueueKeys("abcd"));
    EXPECT_TRUE(a.KeysPending());
}

// A microphone at the far end: heard as it comes, mixed with a voice from a
// file, drowned by keys, and never more than half a second behind.
TEST(LineAudioTest, LiveVoiceMixesAndNeverLags)
{
    LineAudio a;
    const std::vector<uint8_t> live = Ramp(400);
    a.SpeakLive(live.data(), live.size());
    EXPECT_EQ(ReadSome(a, 400), live) << "over silence the live voice comes through as it is";
    EXPECT_EQ(ReadSome(a, 10), std::vector<uint8_t>(10, 0xD5));

    // 0xFA and 0xFB decode to +1008 and +976: the line carries their sum.
    a.SetFarEnd(std::vector<uint8_t>(100, 0xFA));
    a.StartFarEnd();
    const std::vector<uint8_t> loud(100, 0xFB);
    a.SpeakLive(loud.data(), loud.size());
    for (uint8_t s : ReadSome(a, 100))
        EXPECT_NEAR(zlsim::ALawToLinear(s), 1008 + 976, 64);
    EXPECT_EQ(a.FarEndPosition(), 100u) << "mixing held the voice back";

    // Nobody read the line for 1.5 s: only the last 0.5 s is left.
    const std::vector<uint8_t> backlog = Ramp(12000);
    a.SpeakLive(backlog.data(), 8000);
    a.SpeakLive(backlog.data() + 8000, 4000);
    EXPECT_EQ(ReadSome(a, 4000), std::vector<uint8_t>(backlog.end() - 4000, backlog.end()));
    EXPECT_EQ(ReadSome(a, 10), std::vector<uint8_t>(10, 0xD5));

    ASSERT_TRUE(a.QueueKeys("1"));
    a.SpeakLive(live.data(), live.size());
    std::vector<uint8_t> key = ReadSome(a, 1600);
    EXPECT_EQ(std::vector<uint8_t>(key.begin() + 800, key.end()), std::vector<uint8_t>(800, 0xD5))
        << "the live voice came through the key's pause";
    EXPECT_EQ(ReadSome(a, 10), std::vector<uint8_t>(10, 0xD5)) << "the live voice lagged behind the key";
}

class WavFileTest : public ::testing::Test {
protected:
    std::string Write(const std::string &bytes) { return Files_.Write(bytes); }
    zplr::test::TempFiles Files_;
};

TEST_F(WavFileTest, OtherFormatsAreNamed)
{
    struct Case {
        WavShape L;
        const char *Says;
    };
    WavShape pcm;
    pcm.Tag = 1;
    pcm.Bits = 16;
    WavShape mulaw;
    mulaw.Tag = 7;
    WavShape stereo;
    stereo.Channels = 2;
    WavShape fast;
    fast.Rate = 16000;
    for (const Case &c : {Case{pcm, "PCM (tag 1), 8000 Hz, 1 channel(s), 16 bits"}, Case{mulaw, "mu-law (tag 7)"},
                          Case{stereo, "2 channel(s)"}, Case{fast, "16000 Hz"}}) {
        std::vector<uint8_t> got;
        std::string error;
        std::string path = Write(WavBytes(c.L, Ramp(10)));
        EXPECT_FALSE(zlsim::ReadAlawWav(path, got, &error));
        EXPECT_NE(error.find(c.Says), std::string::npos) << error;
        EXPECT_NE(error.find(path), std::string::npos) << error;
    }

    std::string error;
    std::vector<uint8_t> got;
    LineAudio a;
    EXPECT_FALSE(a.LoadFarEnd(Write("RIFX\0\0\0\0WAVE"), &error));
    EXPECT_NE(error.find("not a RIFF WAVE"), std::string::npos) << error;
    EXPECT_FALSE(zlsim::ReadAlawWav("/nonexistent/far.wav", got, &error));
    EXPECT_NE(error.find("cannot be opened"), std::string::npos) << error;
    std::string noData = WavBytes(WavShape{}, {});
    EXPECT_FALSE(zlsim::ReadAlawWav(Write(noData.substr(0, 40)), got, &error));
    EXPECT_NE(error.find("no data chunk"), std::string::npos) << error;
    WavShape tiny;
    tiny.FmtSize = 16;
    std::string shortFmt = WavBytes(tiny, Ramp(4));
    shortFmt[16] = 12;  // fmt chunk too small to hold the format
    EXPECT_FALSE(zlsim::ReadAlawWav(Write(shortFmt), got, &error));
    EXPECT_NE(error.find("malformed"), std::string::npos) << error;
    // A data size beyond the file's end: the samples that are there.
    WavShape cut;
    cut.DataSize = 5000;
    ASSERT_TRUE(zlsim::ReadAlawWav(Write(WavBytes(cut, Ramp(10))), got, nullptr));
    EXPECT_EQ(got, Ramp(10));
    // A failed load keeps the voice that was there.
    a.SetFarEnd({1, 2, 3});
    EXPECT_FALSE(a.LoadFarEnd(Write(WavBytes(pcm, Ramp(10))), nullptr));
    a.StartFarEnd();
    EXPECT_EQ(ReadSome(a, 3), (std::vector<uint8_t>{1, 2, 3}));
}

TEST(LineAudioTest, ReadersOnManyThreads)
{
    LineAudio a;
    a.SetFarEnd(Ramp(40000));
    a.StartFarEnd();
    std::vector<std::thread> t;
    for (int i = 0; i < 4; ++i)
        t.emplace_back([&] {
            for (int j = 0; j < 100; ++j) {
                uint8_t buf[100];
                a.Read(buf, sizeof buf);
                if (j % 10 == 0)
                    a.QueueKeys("1");
            }
        });
    for (auto &th : t)
        th.join();
    EXPECT_EQ(a.SamplesRead(), 40000u);
}

}  // namespace
