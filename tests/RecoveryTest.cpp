// A box that always works again: failed writes, lost connections, replies
// that never come, late replies and threads of an ended session.
#include <atomic>
#include <chrono>
#include <thread>

#include "SimFixture.h"
#include "transport/Channel.h"
#include "transport/PipeThreads.h"

using namespace zplr;
using namespace zplr::test;
using transport::SlotFor;
using zlsim::Op;
using zlsim::Pipe;

namespace {

using Ms = std::chrono::duration<double, std::milli>;

void SleepScaled(double ms)
{
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(ScaledMs(ms) * 1000)));
}

int HandOver(CZusb_IO &io, uint8_t code)
{
    unsigned char packet[64] = {code};
    return io.Write_Data_to_USB(packet);
}

class RecoveryTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        ZlSetMessageHandler([](const char *, unsigned) {});
    }
    // Open again, and the next command goes through.
    void ExpectWorksAgain(CZusb_IO &io)
    {
        ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; })) << std::hex << Status(io.DeviceIndex);
        EXPECT_EQ(io.ReaddiFlagsValue() >= 0, true);
        EXPECT_EQ(transport::SendCommand(SlotFor(io.DeviceIndex), transport::Packet(24), 30), 1);
    }
};

// ---- a failed write of pipe 1 ---------------------------------------------

TEST_F(RecoveryTest, WriteDuringStartWithoutABoxThenPlug)
{
    CZusb_IO io(0);
    ASSERT_EQ(io.InitialUSB_IOEx(0), 1);
    EXPECT_EQ(HandOver(io, 24), 1);  // pipe 1 is not open: the write fails
    ASSERT_TRUE(Eventually([&] { return SlotFor(0).FailedPacket.load() != 0; }));
    Driver.Plug(0);
    ExpectWorksAgain(io);
    EXPECT_EQ(SlotFor(0).OpenPipeCount.load(), 4);
}

TEST_F(RecoveryTest, WriteSoonAndLateAfterAnUnplugThenReplug)
{
    for (int after : {100, 700}) {
        SCOPED_TRACE(after);
        CZusb_IO io(1);
        StartOpen(io);
        Driver.Unplug(1);
        SleepScaled(after);
        EXPECT_EQ(HandOver(io, 24), 1);
        SleepScaled(600);
        Driver.Plug(1);
        ExpectWorksAgain(io);
        io.ExistUSB_IO();
    }
}


// ---- replies that can no longer come --------------------------------------

double Since(std::chrono::steady_clock::time_point t0)
{
    return Ms(std::chrono::steady_clock::now() - t0).count();
}

TEST_F(RecoveryTest, ConnectionLostAfterTheHandOver)
{
    CZusb_IO io(0);
    StartOpen(io);
    Driver.Box(0).WithholdReplies(true);
    std::atomic<int> result{0};
    std::thread caller([&] { result = io.PickUp(); });
    ASSERT_TRUE(Driver.Box(0).WaitPackets(1, 2000));
    Driver.Unplug(0);
    ASSERT_TRUE(Eventually([&] { return (Status(0) & 0x100u) != 0; }));
    Driver.Plug(0);
    // The withheld reply comes in on the next connection, well within
    // PickUp's 31 polls: it ends no wait of the lost connection.
    ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }));
    Driver.Box(0).WithholdReplies(false);
    Driver.Box(0).ReleaseWithheld();
    caller.join();
    EXPECT_EQ(result.load(), -3);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(io.PutDown(), 1);
    EXPECT_LT(Since(t0), ScaledMs(50 * 100));  // sent without the 101 polls for the lost reply
}

TEST_F(RecoveryTest, FailedWriteNeverReportsSuccess)
{
    CZusb_IO io(1);
    StartOpen(io);
    Driver.Box(1).FailNext(Pipe::Command, Op::Write);
    // A report that is no reply to it comes in while it waits.
    Driver.Box(1).SendReport({3}, 2);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(io.PickUp(), -3);
    EXPECT_LT(Since(t0), ScaledMs(31 * 100));
    ExpectWorksAgain(io);
    EXPECT_EQ(io.PutDown(), 1);
}

// A reply report that comes while a command is handed over but not yet
// written (the command thread still busy with the packet before it) cannot be
// that command's reply, and neither can the earlier packet's own reply.
TEST_F(RecoveryTest, AReportBeforeTheWriteIsNoReplyToIt)
{
    CZusb_IO io(3);
    StartOpen(io);
    transport::DeviceSlot &s = SlotFor(3);
    auto outstanding = [&] { return static_cast<uint32_t>(s.Outstanding.load() >> 32); };
    Driver.Box(3).HoldWrites(true);
    ASSERT_EQ(HandOver(io, 24), 1);  // its write now blocks in the box
    ASSERT_TRUE(Eventually([&] { return s.CommandPipeCtx.WritePending.load() == 0; }));
    Driver.Box(3).SendReport({3});
    ASSERT_TRUE(Eventually([&] { return (s.DeviceStatus.load() & transport::AwaitingReply) == 0; }));

    std::atomic<int> picked{2};
    std::thread caller([&] { picked = io.PickUp(); });
    ASSERT_TRUE(Eventually([&] { return s.CommandPipeCtx.WritePending.load() == 1; }));
    const uint32_t pickUp = outstanding();
    Driver.Box(3).SendReport({3});
    ASSERT_TRUE(Eventually([&] { return (s.DeviceStatus.load() & transport::AwaitingReply) == 0; }));
    EXPECT_NE(s.RepliedPacket.load(), pickUp) << "a report before the write was taken as its reply";
    EXPECT_EQ(picked.load(), 2) << "PickUp returned before its packet went out";

    // Out it goes, and its own reply ends the wait.
    Driver.Box(3).HoldWrites(false);
    caller.join();
    EXPECT_EQ(picked.load(), 1);
    EXPECT_EQ(Driver.Box(3).Packets().back()[0], 4);
    EXPECT_EQ(io.PutDown(), 1);
}

TEST_F(RecoveryTest, AReplyThatNeverComesCostsOneMoreCommand)
{
    CZusb_IO io(2);
    StartOpen(io);
    Driver.Box(2).WithholdReplies(true);
    EXPECT_EQ(io.PickUp(), -3);
    EXPECT_EQ(Driver.Box(2).PacketCount(), 1u);
    Driver.Box(2).WithholdReplies(false);
    // The next command waits up to 101 polls for the missing reply and
    // fails without being sent ...
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(transport::SendCommand(SlotFor(2), transport::Packet(24), 30), -3);
    EXPECT_GE(Since(t0), ScaledMs(101 * 100) * 0.99);
    EXPECT_EQ(Driver.Box(2).PacketCount(), 1u);
    // ... and the one after it goes out.
    EXPECT_EQ(transport::SendCommand(SlotFor(2), transport::Packet(24), 30), 1);
    EXPECT_EQ(Driver.Box(2).PacketCount(), 2u);
    EXPECT_EQ(Driver.Box(2).Packets().back()[0], 24);
}

// ---- the time-out boundary -------------------------------------------------

// The channel's limits as poll counts. Where a reply must be in time it comes
// far inside the limit, where it must be too late it never comes, so that no
// load can turn one into the other; the exact boundary within a poll is the
// wait primitive's own (WaitGateTest).
class BoundaryTest : public RecoveryTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        RecoveryTest::SetUp();
        platform::SetPurePolling(GetParam());
    }
};

// PickUp waits 30 polls of 100 ms: a reply that never comes costs all 31,
// and one that comes only during the 31st poll is too late.
TEST_P(BoundaryTest, ReplyDuringTheLastPollIsTooLate)
{
    CZusb_IO io(0);
    StartOpen(io);
    Driver.Box(0).WithholdReplies(true);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(io.PickUp(), -3);
    EXPECT_GE(Since(t0), ScaledMs(31 * 100) * 0.99);
    EXPECT_EQ(SlotFor(0).WaitTicks.load(), 31);
    Driver.Box(0).WithholdReplies(false);
    Driver.Box(0).ReleaseWithheld();

    Driver.Box(0).SetReplyDelay(static_cast<int>(ScaledMs(3060)));
    EXPECT_EQ(io.PutDown(), -3);

    // Five polls in: in time, with 25 polls to spare.
    Driver.Box(0).SetReplyDelay(static_cast<int>(ScaledMs(500)));
    ASSERT_EQ(io.PickUp(), 1);  // the late reply above ends this one's wait first
    EXPECT_EQ(io.PutDown(), 1);
    EXPECT_LE(SlotFor(0).WaitTicks.load(), 30);
}

// A hand-over waits up to 101 polls for the previous reply.
TEST_P(BoundaryTest, HandOverWaitHasTheSameBoundary)
{
    CZusb_IO io(1);
    StartOpen(io);
    Driver.Box(1).WithholdReplies(true);
    const size_t before = Driver.Box(1).PacketCount();
    ASSERT_EQ(transport::SendCommand(SlotFor(1), transport::Packet(24), 0), -3);
    ASSERT_TRUE(Driver.Box(1).WaitPackets(before + 1, 2000));
    const size_t sent = before + 1;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(HandOver(io, 24), -3);
    EXPECT_GE(Since(t0), ScaledMs(101 * 100) * 0.99);
    EXPECT_EQ(SlotFor(1).WaitTicks.load(), 101);
    EXPECT_EQ(Driver.Box(1).PacketCount(), sent);

    // The reply comes half-way: the packet goes out.
    Driver.Box(1).WithholdReplies(false);
    std::thread release([&] {
        SleepScaled(50 * 100);
        Driver.Box(1).ReleaseWithheld();
    });
    EXPECT_EQ(HandOver(io, 24), 1);
    release.join();
    EXPECT_EQ(transport::AwaitReply(SlotFor(1), 30), 1);
    EXPECT_EQ(Driver.Box(1).PacketCount(), sent + 1);
}

INSTANTIATE_TEST_SUITE_P(WaitModes, BoundaryTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return i.param ? "PurePolling" : "EarlyWakeUp";
                         });


// ---- threads of an ended session --------------------------------------------

TEST_F(RecoveryTest, AThreadLetGoByTheStopNeverJoinsTheNextSession)
{
    CZusb_IO io(3);
    StartOpen(io);
    transport::DeviceSlot &s = SlotFor(3);
    const size_t handles = Driver.OpenHandles();
    Driver.Box(3).HoldWrites(true);
    EXPECT_EQ(HandOver(io, 24), 1);  // the writer now blocks in its write
    ASSERT_TRUE(Driver.Box(3).WaitPackets(0, 10));
    EXPECT_EQ(io.ExistUSB_IO(), 1);  // gives up waiting for the writer
    EXPECT_EQ(s.CommandThreadAlive.load(), 1);

    ASSERT_EQ(io.InitialUSB_IOEx(0), 1);
    ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }));
    Driver.Box(3).HoldWrites(false);  // the old writer's write returns
    // It leaves, closing its pipe, and leaves the new writer's flags alone.
    EXPECT_TRUE(Eventually([&] { return Driver.OpenHandles() == handles; }));
    SleepScaled(200);
    EXPECT_EQ(Driver.OpenHandles(), handles);
    EXPECT_EQ(s.CommandThreadAlive.load(), 1);
    EXPECT_EQ(s.OpenPipeCount.load(), 4);
    EXPECT_EQ(transport::SendCommand(s, transport::Packet(24), 30), 1);
}


// ---- objects that end while another object of the box works -----------------

// Run under AddressSanitizer this catches any read of the ended object.
TEST_F(RecoveryTest, EchoTestOutlivesTheObjectThatStartedTheSession)
{
    auto *starter = new CZusb_IO(0);
    StartOpen(*starter);
    Driver.Box(0).WithholdReplies(true);
    CZusb_IO other(0);
    std::atomic<int> result{0};
    unsigned char buf[64] = {};
    std::thread echo([&] { result = other.Test_End0_WR(0xF8, buf); });
    ASSERT_TRUE(Driver.Box(0).WaitPackets(1, 2000));
    delete starter;  // ends the session while the echo test waits
    echo.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(SlotFor(0).ReportPipeCtx.Owner, nullptr);

    // A session's echo still reaches the starting object's own buffer.
    Driver.Box(0).WithholdReplies(false);
    Driver.Box(0).SetResponder(0xF8, [](const zlsim::Bytes64 &p) {
        zlsim::Bytes64 r = p;
        r[0] = 248;
        return std::vector<zlsim::Bytes64>{r};
    });
    CZusb_IO io(0);
    ASSERT_EQ(io.InitialUSB_IOEx(0), 1);
    ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }));
    unsigned char out[64] = {};
    out[0] = 0x5A;  // goes out as byte 4 of the packet
    EXPECT_EQ(io.Test_End0_WR(0xF8, out), 1);
    EXPECT_EQ(io.EchoReply[0], 248);
    EXPECT_EQ(io.EchoReply[4], 0x5A);
    EXPECT_EQ(out[4], 248);  // the echo from its code on
    EXPECT_EQ(out[8], 0x5A);
}


TEST_F(RecoveryTest, WriterSendsNothingOnceItsRunDrops)
{
    CZusb_IO io(1);
    StartOpen(io);
    transport::DeviceSlot &s = SlotFor(1);
    const size_t sent = Driver.Box(1).PacketCount();
    s.CommandPipeCtx.Run.store(0);  // as ExistUSB_IO does, just before a packet is pending
    s.CommandBuffer[0] = 24;
    s.CommandPipeCtx.Data.store(s.CommandBuffer);
    s.Put(s.CommandPipeCtx.WritePending, 1);
    ASSERT_TRUE(Eventually([&] { return s.CommandThreadAlive.load() == 0; }));
    EXPECT_EQ(Driver.Box(1).PacketCount(), sent);
}

}  // namespace
