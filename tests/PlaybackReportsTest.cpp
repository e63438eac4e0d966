// What the box reports during and after a playback, with the box's own
// timing: chunk requests that come between a command and its reply, and an
// end report that comes after the next playback has started.
#include "SimFixture.h"

namespace zplr::test {
namespace {

class PlaybackReportsTest : public BoxTest {
protected:
    void Prepare() override { Box().SetTimeScale(Scale); }
    std::string Wav(const std::string &name, size_t bytes)
    {
        return WriteWav(Dir.File(name), std::vector<uint8_t>(bytes, 0x55));
    }
    ScratchDir Dir{"zplr_playreports_"};
};

TEST_F(PlaybackReportsTest, CommandsDuringARealTimePlaybackGetTheirOwnReply)
{
    // A chunk request every 3.2 ms; each reply takes longer than that.
    Box().SetReplyLatency(10, 20);
    uint8_t temperature = 0;
    Box().SetResponder(55, [&](const zlsim::Bytes64 &) {
        zlsim::Bytes64 r{};
        r[0] = 11;
        r[1] = ++temperature;
        return std::vector<zlsim::Bytes64>{r};
    });
    ASSERT_EQ(io.StartPlaySound(Wav("long.wav", 160000).c_str(), 0, 1, 1, 0), 1);
    ASSERT_TRUE(Box().WaitSoundOut(2048, 3000));
    for (int i = 1; i <= 10; ++i)
        EXPECT_EQ(io.ReadSTM32Temp(), i);
    EXPECT_GT(Box().SoundOutSize(), 2048u) << "the playback ran meanwhile";
    EXPECT_EQ(io.StopPlaySound(), 1);
    EXPECT_EQ(Box().RefusedStarts(), 0u);
}

TEST_F(PlaybackReportsTest, ALateEndReportNeverCountsForTheNextPlayback)
{
    Box().SetReplyLatency(1, 2);
    Box().SetEndReportDelay(400, 400);
    ASSERT_EQ(io.StartPlaySound(Wav("short.wav", 1000).c_str(), 0, 1, 1, 0), 1);
    ASSERT_TRUE(Eventually([&] { return Slot().SoundOutPipeCtx.PlayDone.load() == 1; }));
    ASSERT_EQ(io.StopPlaySound(), 1);
    ASSERT_GT(Box().ReportsQueued(), 0u) << "the end report is still on its way";

    // The next playback waits for requests given by hand, and none comes.
    Box().SetPacing(zlsim::VirtualBox::Pacing::Manual);
    const size_t before = Box().SoundOutSize();
    ASSERT_EQ(io.StartPlaySound(Wav("next.wav", 100000).c_str(), 0, 1, 1, 0), 1);
    ASSERT_TRUE(Eventually([&] { return Box().ReportsQueued() == 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Box().SoundOutSize(), before) << "a chunk nobody asked for";
    EXPECT_NE(io.GetWriteSoundRate(), 1000);
    // Its own end still counts.
    EXPECT_EQ(io.StopPlaySound(), 1);
    ASSERT_TRUE(Eventually([&] { return (io.GetTelStatus() & 0x40) != 0; }));
    EXPECT_EQ(io.GetWriteSoundRate(), 1000);
    EXPECT_EQ(Box().RefusedStarts(), 0u);
}

}  // namespace
}  // namespace zplr::test
