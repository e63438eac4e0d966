// zlbox's own conversions, run as a user runs the tool: a CD-quality stereo
// file played to the virtual line, and a recording written as FLAC.
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "AudioCheck.h"
#include "SimFixture.h"

using namespace zplr::test;

namespace {

#ifdef ZLBOX_PATH
int RunZlbox(const std::string &args)
{
    const std::string command = std::string("\"") + ZLBOX_PATH + "\" " + args + " >/dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Power of `f` Hz in `x` (Goertzel), per sample.
double PowerAt(const std::vector<int16_t> &x, double f, int rate)
{
    const double w = 2 * M_PI * f / rate, c = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (int16_t v : x) {
        const double s = v + c * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return (s1 * s1 + s2 * s2 - c * s1 * s2) / x.size() / x.size();
}
#endif

}  // namespace

TEST(ZlboxAudioCheckTest, PlaysA44kStereoFileAsTheSameToneAt8k)
{
#ifndef ZLBOX_PATH
    GTEST_SKIP() << "zlbox built without libsndfile and libsoxr";
#else
    ScratchDir dir("zlbox-");
    // One second of 1 kHz, louder on the left: mono is the channels' mean,
    // a peak of 8000.
    std::vector<int16_t> stereo;
    for (int i = 0; i < 44100; ++i) {
        const double s = std::sin(2 * M_PI * 1000 * i / 44100.0);
        stereo.push_back(static_cast<int16_t>(std::lround(12000 * s)));
        stereo.push_back(static_cast<int16_t>(std::lround(4000 * s)));
    }
    const std::string in = dir.File("tone44k.wav"), line = dir.File("line.wav");
    ASSERT_TRUE(WriteWavWithSndfile(in, "pcm16", 44100, 2, stereo));
    ASSERT_EQ(RunZlbox("play \"" + in + "\" --unpaced --save-line \"" + line + "\""), 0);

    const WavInfo out = ReadWavWithSndfile(line);
    ASSERT_TRUE(out.Ok) << out.Error;
    EXPECT_EQ(out.Encoding, "alaw");
    EXPECT_EQ(out.Rate, 8000);
    EXPECT_EQ(out.Channels, 1);
    // Whole 256-byte blocks reach the line: all of the second but its last block.
    EXPECT_GE(out.Frames, 8000 - 256);
    EXPECT_LE(out.Frames, 8000);

    // Away from the resampler's edges: the tone, at its level, and nothing else.
    std::vector<int16_t> middle(out.Samples.begin() + 800, out.Samples.begin() + 7200);
    double sum = 0;
    for (int16_t v : middle)
        sum += double(v) * v;
    EXPECT_NEAR(std::sqrt(sum / middle.size()), 8000 / std::sqrt(2.0), 8000 * 0.03);
    const double tone = PowerAt(middle, 1000, 8000);
    EXPECT_GT(tone, 1000 * PowerAt(middle, 900, 8000));
    EXPECT_GT(tone, 1000 * PowerAt(middle, 1100, 8000));
    EXPECT_GT(tone, 1000 * PowerAt(middle, 3000, 8000));
#endif
}

TEST(ZlboxAudioCheckTest, RecordWritesTheFinishedRecordingAsFlac)
{
#ifndef ZLBOX_PATH
    GTEST_SKIP() << "zlbox built without libsndfile and libsoxr";
#else
    ScratchDir dir("zlbox-");
    const std::string wav = dir.File("call.wav"), flac = dir.File("call.flac");
    ASSERT_EQ(RunZlbox("record \"" + wav + "\" --seconds 1 --to \"" + flac + "\""), 0);
    const WavInfo a = ReadWavWithSndfile(wav), f = ReadWavWithSndfile(flac);
    ASSERT_TRUE(f.Ok) << f.Error;
    EXPECT_EQ(f.Container, "other");
    EXPECT_EQ(f.Encoding, "pcm16");
    EXPECT_EQ(f.Rate, 8000);
    EXPECT_EQ(f.Frames, a.Frames);
    EXPECT_EQ(f.Samples, a.Samples);
#endif
}
