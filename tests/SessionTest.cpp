// Starting and ending sessions, against the virtual box.
#include <atomic>
#include <chrono>
#include <thread>

#include "SimFixture.h"
#include "transport/Channel.h"
#include "transport/PipeThreads.h"

using namespace zplr;
using namespace zplr::test;
using transport::SlotFor;
using zlsim::Pipe;

namespace {

using Ms = std::chrono::duration<double, std::milli>;

int Send(int index, uint8_t code, int limit = transport::LimitShort)
{
    return transport::SendCommand(SlotFor(index), transport::Packet(code), limit);
}

class SessionTest : public SimTest {};

TEST_F(SessionTest, CommandsBeforeStartAndWithoutBox)
{
    SlotFor(1).DeviceStatus.store(0);  // as the library finds it when loaded
    CZusb_IO io(1);
    unsigned char packet[64] = {24};
    EXPECT_EQ(io.Write_Data_to_USB(packet), -2);
    EXPECT_EQ(Send(1, 24), -2);

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(io.InitialUSB_IOEx(0), 1);
    double took = Ms(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(SlotFor(1).WaitTicks.load(), 13);
    EXPECT_GE(took, ScaledMs(13 * 35) * 0.99);
    EXPECT_EQ(Status(1) & (transport::InitDone | transport::Closed),
              transport::InitDone | transport::Closed);
    EXPECT_EQ(io.IfConnectUSB(), 1);
    EXPECT_EQ(Send(1, 24), -1);

    io.IfNotCompleteInitUSB();  // ConnectTried comes after the second failed attempt
    EXPECT_TRUE(Status(1) & transport::ConnectTried);

    Driver.Plug(1);  // opens by itself
    EXPECT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }));
    EXPECT_EQ(Send(1, 24), 1);
}

TEST_F(SessionTest, StartWithBoxOpensPipeZeroFirst)
{
    CZusb_IO io(0);
    Driver.Plug(0);
    ASSERT_EQ(io.InitialUSB_IOEx(7), 1);
    EXPECT_EQ(Status(0) & (transport::InitDone | transport::Closed), transport::InitDone);
    EXPECT_EQ(io.IfConnectUSB(), 0);

    // The other pipes open on their threads, maybe after the start returned.
    std::vector<Pipe> opens;
    ASSERT_TRUE(Eventually(
        [&] {
            opens.clear();
            for (Pipe p : Driver.Box(0).Opens())
                if (p != Pipe::Device)
                    opens.push_back(p);
            return opens.size() >= 4;
        },
        10000));
    EXPECT_EQ(opens.size(), 4u);
    EXPECT_EQ(opens[0], Pipe::Report);

    // One report start per open cycle of pipe 0, with its input block.
    auto controls = Driver.Box(0).Controls();
    ASSERT_EQ(controls.size(), 1u);
    EXPECT_EQ(controls[0].Code, 0x8000200Cu);
    EXPECT_EQ(controls[0].On, Pipe::Device);
    EXPECT_EQ(StartWords(controls[0]), (std::vector<uint32_t>{0, 1, 0x472}));
    EXPECT_EQ(controls[0].OutputSize, 1u);
}

TEST_F(SessionTest, EndLeavesExactlyClosedAndNoThread)
{
    CZusb_IO io(2);
    StartOpen(io);
    SlotFor(2).DeviceStatus.fetch_or(transport::IncomingCall | transport::BusyTone | transport::OffHook);
    EXPECT_EQ(io.ExistUSB_IO(), 1);
    EXPECT_EQ(Status(2), 0x200u);
    EXPECT_EQ(Driver.OpenHandles(), 0u);
    auto packets = Driver.Box(2).Packets();
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets.back()[0], 14);  // the shut-down request
    EXPECT_EQ(Send(2, 24), -1);
    EXPECT_EQ(io.ExistUSB_IO(), 1);  // a second end is harmless
    EXPECT_EQ(Status(2), 0x200u);
}

TEST_F(SessionTest, NeverStartedSlotEndsAtOnceAndBecomesClosed)
{
    SlotFor(3).DeviceStatus.store(0);
    CZusb_IO io(3);
    EXPECT_EQ(Send(3, 24), -2);
    EXPECT_EQ(io.ExistUSB_IO(), 1);
    EXPECT_EQ(Status(3), 0x200u);
    EXPECT_EQ(Send(3, 24), -1);
    io.IfNotCompleteInitUSB();  // no report thread: returns instead of waiting for ever
}

TEST_F(SessionTest, TwoObjectsShareASlotAndEitherEndsIt)
{
    CZusb_IO a(0);
    StartOpen(a);
    {
        CZusb_IO b(0);
        EXPECT_EQ(b.IfConnectUSB(), 0);
        EXPECT_EQ(b.GetTelStatus(), a.GetTelStatus());
    }  // b's destructor ends the slot's session
    EXPECT_EQ(Status(0), 0x200u);
    EXPECT_EQ(SlotFor(0).ReportThreadAlive.load(), 0);
    EXPECT_EQ(a.IfConnectUSB(), 1);

    CZusb_IO c;
    EXPECT_EQ(c.DeviceIndex, 0);
}

TEST_F(SessionTest, RestartOnRunningSlotKeepsOneSetOfThreads)
{
    CZusb_IO io(0);
    StartOpen(io);
    ASSERT_EQ(io.InitialUSB_IOEx(0), 1);
    EXPECT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }));
    // The first session was ended (command 14) before the second started.
    auto packets = Driver.Box(0).Packets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0][0], 14);
    // Exactly four pipes and two device handles (sound threads) plus the
    // report thread's device handle are open.
    EXPECT_EQ(Driver.OpenHandles(), 7u);
    EXPECT_EQ(Send(0, 24), 1);
}

TEST_F(SessionTest, IndexOutsideTheFourSlotsNeverOpensAPipe)
{
    for (int index : {4, -1, 1000}) {
        SlotFor(index).DeviceStatus.store(0);
        CZusb_IO io(index);
        EXPECT_EQ(Send(index, 24), -2);
        Driver.Plug(0);
        EXPECT_EQ(io.InitialUSB_IOEx(0), 1);
        EXPECT_EQ(io.IfConnectUSB(), 1);
        EXPECT_EQ(Send(index, 24), -1);
        io.IfNotCompleteInitUSB();
        EXPECT_EQ(io.ExistUSB_IO(), 1);
    }
    EXPECT_TRUE(Driver.Box(0).Opens().empty());
}

TEST_F(SessionTest, SilentBoxAtShutdownLeavesNoThread)
{
    CZusb_IO io(0);
    StartOpen(io);
    Driver.Box(0).WithholdReplies(true);
    EXPECT_EQ(io.ExistUSB_IO(), 1);  // command 14 unanswered: the read is cancelled
    EXPECT_EQ(SlotFor(0).ReportThreadAlive.load(), 0);
    EXPECT_EQ(Status(0), 0x200u);
}

TEST_F(SessionTest, UnplugRaisesOneAlarmAndReplugRecovers)
{
    static std::atomic<int> messages;
    static char last[256];
    messages = 0;
    ZlSetMessageHandler([](const char *text, unsigned style) {
        EXPECT_EQ(style, 0x40000u);
        std::snprintf(last, sizeof last, "%s", text);
        ++messages;
    });
    CZusb_IO io(1);
    StartOpen(io);
    ASSERT_TRUE(Eventually([&] { return (Status(1) & transport::ConnectTried) != 0; }));

    Driver.Unplug(1);
    ASSERT_TRUE(Eventually([&] { return (Status(1) & 0x8300u) == 0x8300u; }));
    EXPECT_EQ(Status(1) & transport::ConnectTried, 0u);
    EXPECT_TRUE(Eventually([&] { return messages.load() == 1; }));
    EXPECT_EQ(Send(1, 24), -1);
    EXPECT_NE(std::string(last).find("ZL(2)"), std::string::npos);

    Driver.Plug(1);
    ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }));
    EXPECT_EQ(Status(1) & (transport::Closed | transport::Reconnecting), 0u);
    EXPECT_EQ(SlotFor(1).OpenPipeCount.load(), 4);
    EXPECT_EQ(Send(1, 24), 1);
    EXPECT_EQ(messages.load(), 1);
}

TEST_F(SessionTest, FailedReportReadResetsThePipeAndReconnects)
{
    ZlSetMessageHandler([](const char *, unsigned) {});
    CZusb_IO io(0);
    StartOpen(io);
    Driver.Box(0).FailNext(Pipe::Report, zlsim::Op::Read);
    Driver.Box(0).SendReport({0});  // wakes the blocked read, which now fails
    ASSERT_TRUE(Eventually([&] { return (Status(0) & transport::Reconnecting) != 0; }));
    ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }));
    EXPECT_GE(ControlCount(Driver.Box(0), 0x220008, Pipe::Report), 1);
    EXPECT_EQ(ControlCount(Driver.Box(0), 0x8000200C, Pipe::Device), 2);  // one per open cycle of pipe 0
    EXPECT_EQ(Send(0, 24), 1);
}

TEST_F(SessionTest, FailedWriteClosesUntilPipeOneReopens)
{
    CZusb_IO io(0);
    StartOpen(io);
    transport::DeviceSlot &s = SlotFor(0);
    Driver.Box(0).FailNext(Pipe::Command, zlsim::Op::Write);
    Driver.Box(0).FailNext(Pipe::Command, zlsim::Op::Open);  // the first reopen fails too
    EXPECT_EQ(Send(0, 24), -3);
    // Closed without Reconnecting; the reset went to pipe 1.
    EXPECT_GE(ControlCount(Driver.Box(0), 0x220008, Pipe::Command), 1);
    // The writer reopens pipe 1 by itself, and with the other three pipes
    // still open the slot carries commands again.
    ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }));
    EXPECT_EQ(Status(0) & transport::Reconnecting, 0u);
    EXPECT_EQ(s.OpenPipeCount.load(), 5);  // the reopen counts like any open
    // The dropped packet's reply cannot come: the next command goes out at
    // once.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(0, 24), 1);
    EXPECT_LT(Ms(std::chrono::steady_clock::now() - t0).count(), ScaledMs(50 * 100));  // not 101 polls
    EXPECT_EQ(Driver.Box(0).Packets().back()[0], 24);
}

TEST_F(SessionTest, FailedWriteAfterALossCountsTheReopenAsAnyOther)
{
    ZlSetMessageHandler([](const char *, unsigned) {});
    CZusb_IO io(0);
    StartOpen(io);
    Driver.Box(0).FailNext(Pipe::Command, zlsim::Op::Write);
    Driver.Box(0).FailNext(Pipe::Command, zlsim::Op::Open, 1000000);
    EXPECT_EQ(Send(0, 24), -3);
    Driver.Unplug(0);
    ASSERT_TRUE(Eventually([&] { return (Status(0) & transport::Reconnecting) != 0; }));
    Driver.Box(0).FailNext(Pipe::Command, zlsim::Op::Open, -1000000);
    Driver.Plug(0);
    ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }));
    EXPECT_EQ(SlotFor(0).OpenPipeCount.load(), 4);
    EXPECT_EQ(Send(0, 24), 1);
}

TEST_F(SessionTest, RefusedReportStartIsRetried)
{
    CZusb_IO io(0);
    Driver.Box(0).FailNext(Pipe::Device, zlsim::Op::Control, 3);
    StartOpen(io);
    EXPECT_EQ(ControlCount(Driver.Box(0), 0x8000200C, Pipe::Device), 4);
    EXPECT_EQ(Send(0, 24), 1);
}

TEST_F(SessionTest, AlarmLeftOpenDoesNotJoinTheNextSession)
{
    static std::atomic<bool> release{false};
    static std::atomic<int> shown{0};
    release = false;
    shown = 0;
    ZlSetMessageHandler([](const char *, unsigned) {
        ++shown;
        while (!release.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    CZusb_IO io(2);
    StartOpen(io);
    Driver.Unplug(2);
    ASSERT_TRUE(Eventually([&] { return shown.load() == 1; }));
    io.ExistUSB_IO();  // gives up on the alarm thread, which stays in its message
    Driver.Plug(2);
    StartOpen(io);
    release = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // The new session's alarm thread is the only one, and still alive.
    EXPECT_EQ(transport::SlotFor(2).AlarmThreadAlive.load(), 1);
    Driver.Unplug(2);
    ASSERT_TRUE(Eventually([&] { return shown.load() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(shown.load(), 2);
    ZlSetMessageHandler([](const char *, unsigned) {});
}

}  // namespace
