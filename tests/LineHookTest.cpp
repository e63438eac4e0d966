// Hook control, call-state bits, the flags word and one-byte commands.
#include "SimFixture.h"
#include "sim/LineModel.h"

using namespace zplr;
using namespace zplr::test;
using transport::SlotFor;

namespace {

class LineHookTest : public SimTest {
protected:
    zlsim::Bytes64 Last() { return Driver.Box(0).Packets().back(); }
    size_t Count() { return Driver.Box(0).PacketCount(); }
    CZusb_IO io{0};
};

TEST_F(LineHookTest, HookCommandsSendOnlyWhenTheHookChanges)
{
    zlsim::LineModel line(Driver.Box(0), Scale);
    StartOpen(io);
    EXPECT_EQ(io.PutDown(), 1);  // already on hook
    EXPECT_EQ(io.PickUp(), 1);
    EXPECT_EQ(io.PickUp(), 1);
    ASSERT_EQ(Count(), 1u);
    EXPECT_EQ(Last()[0], 4);
    ASSERT_TRUE(Eventually([&] { return io.LinePickUpMode() == 1; }));  // the box's status
    EXPECT_EQ(io.PutDown(), 1);
    EXPECT_EQ(Last()[0], 3);
    EXPECT_EQ(io.LinePickUpMode(), 0);  // on hook, whatever the mode bits hold

    EXPECT_EQ(io.PickUpEst(300), 1);
    EXPECT_EQ(Last()[1], 1);
    EXPECT_EQ(Last()[2], 44);
    SlotFor(0).Set(transport::PhoneOffHook);
    EXPECT_EQ(io.PutDownEst(0x1FF), 1);
    EXPECT_EQ(Last()[1], 0xFF);
    EXPECT_EQ(io.ReadPhoneStatus(), 0);
}

TEST_F(LineHookTest, HookChangeSurvivesAFailedHandOver)
{
    StartOpen(io);
    SlotFor(0).Set(transport::AwaitingReply);  // an earlier reply never came
    EXPECT_EQ(io.PickUp(), -3);
    EXPECT_EQ(io.CheckPutDown(), 1);
    EXPECT_EQ(io.PickUp(), 1);  // believed off hook: nothing sent
    EXPECT_EQ(Count(), 0u);
    SlotFor(0).Clear(transport::AwaitingReply);
}

TEST_F(LineHookTest, SetTelStatusKeepsClosed)
{
    ASSERT_EQ(io.InitialUSB_IOEx(0), 1);  // no box: stays closed
    SlotFor(0).Set(transport::IncomingCall);
    io.SetTelStatus(transport::OffHook);
    // The report thread's connect attempts may add their own bits meanwhile.
    const uint32_t mine = transport::Closed | transport::OffHook | transport::IncomingCall;
    EXPECT_EQ(static_cast<uint32_t>(io.GetTelStatus()) & mine, transport::Closed | transport::OffHook);
    EXPECT_EQ(io.CheckCanNextCallIn(), 0);  // the flags read fails with -1
    StartOpen(io);
    io.SetTelStatus(-1);
    EXPECT_EQ(static_cast<uint32_t>(io.GetTelStatus()), ~static_cast<uint32_t>(transport::Closed));
}

TEST_F(LineHookTest, TestAndClearNeverLosesAnEventSetMeanwhile)
{
    StartOpen(io);
    // Every raise from clear by the other thread is answered exactly once.
    std::atomic<bool> done{false};
    int raised = 0, seen = 0;
    std::thread other([&] {
        for (int i = 0; i < 20000; ++i)
            raised += !(SlotFor(0).DeviceStatus.fetch_or(transport::IncomingCall) & transport::IncomingCall);
        done = true;
    });
    while (!done)
        seen += io.CheckCallStatus();
    other.join();
    seen += io.CheckCallStatus();
    EXPECT_EQ(seen, raised);
}

TEST_F(LineHookTest, FlagsWordAndNextCallPermission)
{
    zlsim::LineModel line(Driver.Box(0), Scale);
    StartOpen(io);
    line.SetFlags(0x12345678);
    EXPECT_EQ(io.ReaddiFlagsValue(), 0x12345678);
    EXPECT_EQ(io.CheckCanNextCallIn(), 1);
    line.SetFlags(1u << 26);
    EXPECT_EQ(io.CheckCanNextCallIn(), 0);
    // During a playback the stored word answers without a command.
    size_t before = Count();
    SlotFor(0).SoundOutPipeCtx.StartPlay.store(1);
    EXPECT_EQ(io.ReaddiFlagsValue(), 1 << 26);
    SlotFor(0).SoundOutPipeCtx.StartPlay.store(0);
    EXPECT_EQ(Count(), before);
}

TEST_F(LineHookTest, OneByteArguments)
{
    StartOpen(io);
    struct {
        int (CZusb_IO::*op)(int);
        int arg;
        uint8_t code, byte1;
    } cases[] = {
        {&CZusb_IO::IfMicOut, 1, 18, 1},          {&CZusb_IO::IfMicOut, 2, 18, 0},
        {&CZusb_IO::IfMute, -1, 17, 0},           {&CZusb_IO::IfMute, 257, 17, 0},
        {&CZusb_IO::GetLine_Mic, 1, 21, 1},       {&CZusb_IO::SetCheckDTMFCall, 3, 22, 0},
        {&CZusb_IO::SetAmp, 258, 39, 2},          {&CZusb_IO::SetNextCallDelay, -2, 23, 0xFE},
        {&CZusb_IO::SetDetectSoundValue, 0, 46, 1}, {&CZusb_IO::SetDetectSoundValue, 200, 46, 112},
        {&CZusb_IO::SetDetectSoundValue, 112, 46, 112}, {&CZusb_IO::SetDetectSoundValue, -1, 46, 255},
    };
    for (const auto &c : cases) {
        ASSERT_EQ((io.*c.op)(c.arg), 1);
        EXPECT_EQ(Last()[0], c.code);
        EXPECT_EQ(Last()[1], c.byte1) << "code " << int(c.code) << " arg " << c.arg;
    }
    EXPECT_EQ(io.SetFSKParam(0x101, 0x2FF), 1);
    EXPECT_EQ(Last()[2], 0xFF);
}

TEST_F(LineHookTest, TelSleepIgnoresNegativeCounts)
{
    auto t0 = std::chrono::steady_clock::now();
    io.TelSleep(-1);  // would be an endless Sleep
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

}  // namespace
