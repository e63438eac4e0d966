// Whole calls, as an application drives them, against the line model.
#include <cstring>
#include <string>

#include "SimFixture.h"
#include "WavBytes.h"
#include "sim/LineModel.h"

using namespace zplr;
using namespace zplr::test;

namespace {

class LineCallFlowTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        StartOpen(io);
    }
    // Polls the measurements until one of `second` value arrives.
    bool AwaitTone(unsigned short second, unsigned short &first)
    {
        return Eventually([&] {
            unsigned short pair[2];
            while (io.Get450HzRecd(pair) == 1)
                if (pair[1] == second) {
                    first = pair[0];
                    return true;
                }
            return false;
        });
    }
    CZusb_IO io{0};
    zlsim::LineModel line{Driver.Box(0), Scale};
};

TEST_F(LineCallFlowTest, IncomingCallIsAnswered)
{
    // A number of its own on every run: the stored record outlives a test.
    static int run = 0;
    const std::string caller = "138001380" + std::to_string(10 + run++ % 90);
    line.SetTime("06011745");
    line.RingWithData(caller, zlsim::CallerIdType::Mdmf, {1, 2, 3, 4, 5});

    ASSERT_TRUE(Eventually([&] { return io.CheckCallStatus() == 1; }));
    ASSERT_TRUE(Eventually([&] { return std::string(io.ReadstrCallNmb()) == caller; }));
    ASSERT_EQ(io.PickUp(), 1);
    EXPECT_TRUE(line.OffHook());

    line.PressKeys("2580#", true);
    std::string keys;
    ASSERT_TRUE(Eventually([&] {
        unsigned char code[2];
        while (io.GetDTMFCode(code) == 1)
            keys += zlsim::LineModel::KeyChar(code[0]);
        return keys.size() >= 5;
    }));
    EXPECT_EQ(keys, "2580#");

    ASSERT_EQ(io.PutDown(), 1);
    EXPECT_FALSE(line.OffHook());
    EXPECT_EQ(io.CheckPutDown(), 0);
}

// The library acknowledges each caller ID itself; an answer given while that
// acknowledgement is on its way must neither fail nor wait for it to time out.
TEST_F(LineCallFlowTest, AnswerRightAfterTheNumberNeverStalls)
{
    for (int i = 0; i < 40; ++i) {
        const std::string caller = "6100" + std::to_string(1000 + i);
        line.Ring(caller, zlsim::CallerIdType::Sdmf);
        ASSERT_TRUE(Eventually([&] { return std::string(io.ReadstrCallNmb()) == caller; }));
        ASSERT_EQ(io.PickUp(), 1) << "call " << i;
        ASSERT_EQ(io.PutDown(), 1) << "call " << i;
    }
    EXPECT_EQ(PacketsOf(Driver.Box(0), 41).size(), 40u);
}

// A caller who gives up while it rings leaves no call behind: the next
// pick-up finds a quiet line, and the far end's microphone is not heard on
// it; on an answered call it is.
TEST_F(LineCallFlowTest, CallerWhoHangsUpWhileItRingsLeavesNoCall)
{
    line.Ring("5550001");
    ASSERT_TRUE(Eventually([&] { return io.CheckCallStatus() == 1; }));
    EXPECT_TRUE(line.Ringing());
    line.Release();
    EXPECT_FALSE(line.Ringing());
    ASSERT_EQ(io.PickUp(), 1);
    EXPECT_FALSE(line.CallUp());
    const std::vector<uint8_t> voice(200, 0xFA);
    line.SpeakLive(voice.data(), voice.size());
    std::vector<uint8_t> heard(200);
    line.Audio().Read(heard.data(), heard.size());
    EXPECT_EQ(heard, std::vector<uint8_t>(200, 0xD5));
    ASSERT_EQ(io.PutDown(), 1);

    line.Ring("5550002");
    ASSERT_TRUE(Eventually([&] { return std::string(io.ReadstrCallNmb()) == "5550002"; }));
    ASSERT_EQ(io.PickUp(), 1);
    EXPECT_TRUE(line.CallUp());
    EXPECT_FALSE(line.Ringing());
    line.SpeakLive(voice.data(), voice.size());
    line.Audio().Read(heard.data(), heard.size());
    EXPECT_EQ(heard, voice);
    ASSERT_EQ(io.PutDown(), 1);
}

TEST_F(LineCallFlowTest, OutgoingCallIsAnswered)
{
    ASSERT_EQ(io.PickUp(), 1);
    char number[] = "02154321";
    ASSERT_EQ(io.DialNmb(number), 1);
    EXPECT_EQ(line.LastDialled(), "02154321");
    ASSERT_EQ(io.SetContinueReturn450Hz(1), 1);

    unsigned short first = 0;
    ASSERT_TRUE(AwaitTone(100, first));  // ringback: 1 s of tone
    EXPECT_EQ(first, 1);
    ASSERT_TRUE(AwaitTone(400, first));  // 4 s of silence
    EXPECT_EQ(first, 0);
    EXPECT_EQ(io.ReadBusyBit(), 0);
    EXPECT_EQ(io.GetCalledPickUpStatus(), 0);

    line.Answer();
    ASSERT_TRUE(Eventually([&] { return io.GetCalledPickUpStatus() == 1; }));
    EXPECT_EQ(io.ReadBusyBit(), 0);
    ASSERT_EQ(io.PutDown(), 1);
    EXPECT_FALSE(line.Measuring());
}

TEST_F(LineCallFlowTest, OutgoingCallFindsTheLineBusy)
{
    ASSERT_EQ(io.PickUp(), 1);
    char number[] = "95566";
    ASSERT_EQ(io.DialNmbCStr(number), 1);
    ASSERT_EQ(io.SetContinueReturn450Hz(1), 1);
    unsigned short first = 0;
    ASSERT_TRUE(AwaitTone(100, first));
    EXPECT_EQ(io.ReadBusyBit(), 0);

    line.Busy();
    ASSERT_TRUE(Eventually([&] { return io.ReadBusyBit() == 1; }));
    ASSERT_TRUE(AwaitTone(35, first));
    EXPECT_EQ(io.GetCalledPickUpStatus(), 0);
    ASSERT_EQ(io.PutDown(), 1);
    EXPECT_FALSE(line.Measuring());
}

// A far end sent at any point of a call is heard once the call is up: at
// once mid-call, from the answer on when it comes before or while ringing.
TEST_F(LineCallFlowTest, FarEndSpeaksWheneverItIsSent)
{
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("far_end_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                               "_" + std::to_string(reinterpret_cast<uintptr_t>(this)) + ".wav"))
                                 .string();
    {
        std::ofstream f(path, std::ios::binary);
        const std::string wav = WavBytes(WavShape{}, std::vector<uint8_t>(80000, 0x33));
        f.write(wav.data(), static_cast<std::streamsize>(wav.size()));
    }
    std::string error;
    // Before the call.
    ASSERT_TRUE(line.LoadFarEnd(path, &error)) << error;
    EXPECT_FALSE(line.Audio().FarEndSpeaking());
    line.Ring("5551234");
    ASSERT_TRUE(Eventually([&] { return io.CheckCallStatus() == 1; }));
    // While ringing: still waits for the answer.
    ASSERT_TRUE(line.LoadFarEnd(path, &error)) << error;
    EXPECT_FALSE(line.Audio().FarEndSpeaking());
    ASSERT_EQ(io.PickUp(), 1);
    EXPECT_TRUE(line.Audio().FarEndSpeaking());
    // Mid-call: a new voice starts at once.
    ASSERT_TRUE(line.LoadFarEnd(path, &error)) << error;
    EXPECT_TRUE(line.Audio().FarEndSpeaking());
    EXPECT_EQ(line.Audio().FarEndPosition(), 0u);
    // After the caller has gone, a voice waits for the next call.
    line.Release();
    ASSERT_TRUE(line.LoadFarEnd(path, &error)) << error;
    EXPECT_FALSE(line.Audio().FarEndSpeaking());
    io.PutDown();
    // An outgoing call: heard from the far end's answer on, at once after it.
    ASSERT_EQ(io.PickUp(), 1);
    char number[] = "95566";
    ASSERT_EQ(io.DialNmb(number), 1);
    ASSERT_TRUE(line.LoadFarEnd(path, &error)) << error;
    EXPECT_FALSE(line.Audio().FarEndSpeaking());
    line.Answer();
    line.Audio().StopFarEnd();
    ASSERT_TRUE(line.LoadFarEnd(path, &error)) << error;
    EXPECT_TRUE(line.Audio().FarEndSpeaking());
    io.PutDown();
    std::remove(path.c_str());
}

}  // namespace
