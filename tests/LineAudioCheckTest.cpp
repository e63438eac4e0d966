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
