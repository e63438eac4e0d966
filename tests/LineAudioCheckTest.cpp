// The virtual line's audio as users' tools hear and read it.
#include <gtest/gtest.h>

#include <cmath>
#include <spandsp.h>

#include "AudioCheck.h"
#include "WavBytes.h"
#include "sim/ALaw.h"
#include "sim/LineAudio.h"
#include "sound/WavLayout.h"

using namespace zplr::test;
using zlsim::LineAudio;

namespace {

std::vector<uint8_t> ReadSome(LineAudio &a, size_t n)
{
    std::vector<uint8_t> v(n);
    a.Read(v.data(), n);
    return v;
}

std::vector<int16_t> Sine(double hz, double peak, size_t n)
{
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<int16_t>(std::lround(peak * std::sin(2 * M_PI * hz * i / 8000)));
    return v;
}

std::vector<uint8_t> Encode(const std::vector<int16_t> &pcm)
{
    std::vector<uint8_t> v;
    for (int16_t s : pcm)
        v.push_back(zlsim::LinearToALaw(s));
    return v;
}

TEST(LineAudioCheckTest, KeysAreHeardAsDtmf)
{
    LineAudio a;
    ASSERT_TRUE(a.QueueKeys("123#*0"));
    std::vector<uint8_t> line = ReadSome(a, 6 * 1600 + 800);
    EXPECT_EQ(FindDtmfKeys(line.data(), line.size()), "123#*0");

    ASSERT_TRUE(a.QueueKeys("0123456789*#ABCD"));
    line = ReadSome(a, 16 * 1600);
    EXPECT_EQ(FindDtmfKeys(line.data(), line.size()), "0123456789*#ABCD");

    // Keys pressed while the far end speaks (a 300 + 500 Hz murmur).
    std::vector<int16_t> voice = Sine(300, 5000, 16000);
    std::vector<int16_t> low = Sine(500, 3000, 16000);
    for (size_t i = 0; i < voice.size(); ++i)
        voice[i] = static_cast<int16_t>(voice[i] + low[i]);
    a.SetFarEnd(Encode(voice));
    a.StartFarEnd();
    line = ReadSome(a, 4000);
    a.QueueKeys("42");
    std::vector<uint8_t> rest = ReadSome(a, 16000);
    line.insert(line.end(), rest.begin(), rest.end());
    EXPECT_EQ(FindDtmfKeys(line.data(), line.size()), "42");
    EXPECT_EQ(a.FarEndPosition(), 16000u) << "voice lost under the keys";
}

TEST(LineAudioCheckTest, LevelsInDbm0)
{
    // The yardstick: a sine of peak 22827 is 0 dBm0 (3.14 dB below the
    // A-law full-scale sine of peak 32768).
    std::vector<int16_t> ref = Sine(1000, 22827, 8000);
    EXPECT_NEAR(LevelDbm0(ref.data(), ref.size()), 0.0, 0.02);
    EXPECT_NEAR(ToneLevelDbm0(ref.data(), ref.size(), 1000), 0.0, 0.02);

    LineAudio a;
    for (double level : {-30.0, -10.0, 0.0, 3.0}) {
        ASSERT_TRUE(a.SetTone(1020, level));
        std::vector<int16_t> pcm = DecodeALaw(ReadSome(a, 8000).data(), 8000);
        EXPECT_NEAR(LevelDbm0(pcm.data(), pcm.size()), level, 0.1) << level << " dBm0";
        int peak = 0;
        for (int16_t s : pcm)
            peak = std::max(peak, std::abs(static_cast<int>(s)));
        EXPECT_NEAR(peak, 22827 * std::pow(10, level / 20), 22827 * std::pow(10, level / 20) * 0.04);
    }

    // Each key: both its tones at -10 dBm0, nothing at the other six.
    const char *keys = "123A456B789C*0#D";
    const double rows[] = {697, 770, 852, 941}, cols[] = {1209, 1336, 1477, 1633};
    a.SetSilence();
    for (int k = 0; k < 16; ++k) {
        ASSERT_TRUE(a.QueueKeys(std::string(1, keys[k])));
        std::vector<int16_t> pcm = DecodeALaw(ReadSome(a, 1600).data(), 1600);
        const int16_t *tone = pcm.data();
        EXPECT_NEAR(LevelDbm0(tone, 800), -10 + 10 * std::log10(2.0), 0.2) << keys[k];
        for (int r = 0; r < 4; ++r)
            if (r == k / 4)
                EXPECT_NEAR(ToneLevelDbm0(tone, 800, rows[r]), -10, 0.5) << keys[k];
            else
                EXPECT_LT(ToneLevelDbm0(tone, 800, rows[r]), -25) << keys[k];
        for (int c = 0; c < 4; ++c)
            if (c == k % 4)
                EXPECT_NEAR(ToneLevelDbm0(tone, 800, cols[c]), -10, 0.5) << keys[k];
            else
                EXPECT_LT(ToneLevelDbm0(tone, 800, cols[c]), -25) << keys[k];
        EXPECT_LT(LevelDbm0(pcm.data() + 800, 800), -60) << "no pause after " << keys[k];
    }
}

TEST(LineAudioCheckTest, ALawAgreesWithSpandsp)
{
    for (int x = -32768; x <= 32767; ++x)
        ASSERT_EQ(zlsim::LinearToALaw(static_cast<int16_t>(x)), linear_to_alaw(x)) << x;
    for (int c = 0; c < 256; ++c)
        ASSERT_EQ(zlsim::ALawToLinear(static_cast<uint8_t>(c)), alaw_to_linear(static_cast<uint8_t>(c))) << c;
}

TEST(LineAudioCheckTest, SndfileReadsWhatTheFarEndReads)
{
    TempFiles files;
    std::vector<uint8_t> audio = Encode(Sine(440, 8000, 3001));

    // The recording layout: 48-byte header, completed sizes.
    uint8_t head[zplr::sound::WavHeaderSize];
    zplr::sound::MakeCompletedWavHeader(head, static_cast<uint32_t>(audio.size()));
    std::string ours(reinterpret_cast<char *>(head), sizeof head);
    ours.append(audio.begin(), audio.end());

    WavShape plain, extended, listed;
    plain.FmtSize = 16;
    extended.FmtSize = 18;
    extended.Fact = true;
    listed.OddList = true;
    std::vector<std::string> paths = {files.Write(ours)};
    for (const WavShape &s : {plain, extended, listed})
        paths.push_back(files.Write(WavBytes(s, audio)));
    for (const std::string &path : paths) {
        WavInfo w = ReadWavWithSndfile(path);
        ASSERT_TRUE(w.Ok) << path << ": " << w.Error;
        EXPECT_EQ(w.Container, "wav");
        EXPECT_EQ(w.Encoding, "alaw");
        EXPECT_EQ(w.Rate, 8000);
        EXPECT_EQ(w.Channels, 1);
        EXPECT_EQ(w.Frames, 3001);
        EXPECT_EQ(w.Samples, DecodeALaw(audio.data(), audio.size())) << path;
        std::vector<uint8_t> got;
        ASSERT_TRUE(zlsim::ReadAlawWav(path, got, nullptr)) << path;
        EXPECT_EQ(got, audio) << path;
    }
}

TEST(LineAudioCheckTest, FilesWrittenBySndfile)
{
    TempFiles files;
    std::vector<int16_t> pcm = Sine(350, 6000, 4000);

    std::string alaw = files.Path();
    ASSERT_TRUE(WriteWavWithSndfile(alaw, "alaw", 8000, 1, pcm));
    LineAudio a;
    std::string error;
    ASSERT_TRUE(a.LoadFarEnd(alaw, &error)) << error;
    a.StartFarEnd();
    std::vector<uint8_t> spoken = ReadSome(a, 4000);
    EXPECT_EQ(DecodeALaw(spoken.data(), spoken.size()), ReadWavWithSndfile(alaw).Samples);
    EXPECT_FALSE(a.FarEndSpeaking());
}

}  // namespace
