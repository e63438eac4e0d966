// The command channel and the wait primitive under it.
#include <chrono>
#include <cstring>
#include <thread>

#include "SimFixture.h"
#include "transport/Channel.h"
#include "transport/Discovery.h"
#include "transport/Dispatcher.h"

using namespace zplr;
using namespace zplr::test;
using transport::SlotFor;

namespace {

using Ms = std::chrono::duration<double, std::milli>;
using Steady = std::chrono::steady_clock;

// Returns once every report sent before it has been decoded: the key push
// of the marker publishes them.
void Drain(zlsim::VirtualDriver &driver)
{
    driver.Box(0).SendReport({7, 0xEE});
    uint8_t k = 0;
    ASSERT_TRUE(Eventually([&] { return transport::PopKey(SlotFor(0), k) && k == 0xEE; }));
}

int Send(uint8_t code, int limit = transport::LimitShort)
{
    return transport::SendCommand(SlotFor(0), transport::Packet(code), limit);
}

class ChannelTest : public SimTest {};

TEST_F(ChannelTest, PacketGoesOutWithUndefinedBytesZero)
{
    CZusb_IO io(0);
    StartOpen(io);
    transport::Packet p(39);
    p[1] = 0x7F;
    EXPECT_EQ(transport::SendCommand(SlotFor(0), p, transport::LimitShort), 1);
    auto packets = Driver.Box(0).Packets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0][0], 39);
    EXPECT_EQ(packets[0][1], 0x7F);
    for (int i = 2; i < 64; ++i)
        ASSERT_EQ(packets[0][i], 0) << i;

    unsigned char raw[64];
    std::memset(raw, 0xC3, sizeof raw);
    raw[0] = 48;
    EXPECT_EQ(io.Write_Data_to_USB(raw), 1);  // hands over all 64 bytes as given
    ASSERT_TRUE(Driver.Box(0).WaitPackets(2, 2000));
    EXPECT_EQ(Driver.Box(0).Packets()[1][63], 0xC3);
    EXPECT_EQ(io.Write_Data_to_USB(nullptr), -4);
}

TEST_F(ChannelTest, BackToBackCommandsWaitForTheFirstReply)
{
    CZusb_IO io(0);
    StartOpen(io);
    Driver.Box(0).WithholdReplies(true);
    unsigned char a[64] = {30}, b[64] = {29};
    EXPECT_EQ(io.Write_Data_to_USB(a), 1);
    std::atomic<int> second{0};
    std::thread t([&] { second = io.Write_Data_to_USB(b); });
    ASSERT_TRUE(Driver.Box(0).WaitPackets(1, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(second.load(), 0);  // still waiting
    EXPECT_EQ(Driver.Box(0).PacketCount(), 1u);
    Driver.Box(0).ReleaseWithheld();
    t.join();
    EXPECT_EQ(second.load(), 1);
    ASSERT_TRUE(Driver.Box(0).WaitPackets(2, 2000));
    EXPECT_EQ(Driver.Box(0).Packets()[1][0], 29);
    Driver.Box(0).WithholdReplies(false);
    Driver.Box(0).ReleaseWithheld();
}

TEST_F(ChannelTest, EventReportsDoNotEndAWaitButRepliesDo)
{
    CZusb_IO io(0);
    StartOpen(io);
    Driver.Box(0).WithholdReplies(true);
    std::atomic<int> result{0};
    std::thread t([&] { result = Send(24, transport::LimitLong); });
    ASSERT_TRUE(Driver.Box(0).WaitPackets(1, 2000));
    for (auto r : {std::initializer_list<uint8_t>{5, 1, 30}, {7, '1'}, {25}, {33}, {208, 1, 0}, {209, 1, 2, 3}})
        Driver.Box(0).SendReport(r);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(result.load(), 0);
    Driver.Box(0).SendReport({8, 1, 0, 0, 0});
    t.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(SlotFor(0).DiFlags.load(), 1u);
    Driver.Box(0).WithholdReplies(false);
}

TEST_F(ChannelTest, ReplyIsSeenWithoutWaitingAWholePoll)
{
    CZusb_IO io(0);
    StartOpen(io);
    platform::SetTimeScale(10.0);  // polls of a second: no load passes for a reaction
    Driver.Box(0).SetReplyDelay(2);  // the wait has begun before the reply comes
    auto t0 = Steady::now();
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(Send(24), 1);
    EXPECT_LT(Ms(Steady::now() - t0).count(), 5 * 1000.0);
    EXPECT_EQ(SlotFor(0).WaitTicks.load(), 1);
}

TEST_F(ChannelTest, PurePollingWaitsWholeIntervals)
{
    CZusb_IO io(0);
    StartOpen(io);
    platform::SetPurePolling(true);
    Driver.Box(0).SetReplyDelay(1);
    auto t0 = Steady::now();
    EXPECT_EQ(Send(24), 1);
    EXPECT_GE(Ms(Steady::now() - t0).count(), ScaledMs(100) * 0.99);
    EXPECT_EQ(SlotFor(0).WaitTicks.load(), 1);
}

TEST_F(ChannelTest, ShortReadsReadAsZeroAndEmptyReadsAreDropped)
{
    CZusb_IO io(0);
    StartOpen(io);
    transport::DeviceSlot &s = SlotFor(0);
    // A full report with the pattern, then a short one of the same code.
    Driver.Box(0).SendReport({12, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0x77});
    Drain(Driver);
    ASSERT_EQ(s.InfoReply[15], 0x77);
    Driver.Box(0).ShortReadNext(3);
    Driver.Box(0).SendReport({12, 0x21, 0x22, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    Drain(Driver);
    EXPECT_EQ(s.InfoReply[0], 0x21);
    EXPECT_EQ(s.InfoReply[1], 0x22);
    for (int i = 2; i < 16; ++i)
        EXPECT_EQ(s.InfoReply[i], 0) << i;

    // Nothing delivered: nothing decoded, not even the clear of the bit.
    s.DeviceStatus.fetch_or(transport::AwaitingReply);
    Driver.Box(0).ShortReadNext(0);
    Driver.Box(0).SendReport({0});
    Drain(Driver);
    EXPECT_TRUE(s.Has(transport::AwaitingReply));
    Driver.Box(0).SendReport({0});
}

TEST_F(ChannelTest, DiscoverySkipsBadMembersAndLongPaths)
{
    using zlsim::FakeMember;
    Driver.Plug(0);
    std::string tooLong(250, 'x');  // with "\ZLDrv0" it passes 255 characters
    Driver.Box(0).SetFakeMembers({
        {ZL_ENUM_FAILED, "", false},
        {ZL_ENUM_OK, tooLong, true},
        {ZL_ENUM_OK, "\\\\?\\other#device", false},
    });
    char path[transport::PathSize];
    ZlHandle h = transport::FindDeviceInterface(transport::InterfaceClass(SlotFor(0)), path);
    ASSERT_NE(h, ZL_INVALID_HANDLE);
    EXPECT_EQ(std::string(path), Driver.Box(0).DevicePath());
    Driver.Close(h);

    // Enumeration that fails for ever stops after 64 members.
    std::vector<FakeMember> failing(200, FakeMember{ZL_ENUM_FAILED, "", false});
    Driver.Box(0).SetFakeMembers(failing);
    unsigned before = Driver.Box(0).EnumCalls();
    EXPECT_EQ(transport::FindDeviceInterface(transport::InterfaceClass(SlotFor(0)), path),
              ZL_INVALID_HANDLE);
    EXPECT_EQ(Driver.Box(0).EnumCalls() - before, transport::MaxInterfaceMembers);
    EXPECT_EQ(transport::FindDeviceInterface(nullptr, path), ZL_INVALID_HANDLE);
}

TEST(PipePathTest, FitsOrRefuses)
{
    char out[transport::PathSize];
    EXPECT_TRUE(transport::PipePath("\\\\?\\a", "ZLDrv3", out));
    EXPECT_STREQ(out, "\\\\?\\a\\ZLDrv3");
    std::string max(255 - 7, 'p');
    EXPECT_TRUE(transport::PipePath(max.c_str(), "ZLDrv0", out));
    EXPECT_EQ(std::strlen(out), 255u);
    std::string over(255 - 6, 'p');
    EXPECT_FALSE(transport::PipePath(over.c_str(), "ZLDrv0", out));
}

TEST(WaitGateTest, TimesOutInWallTimeHoweverOftenItIsWoken)
{
    platform::SetTimeScale(0.1);
    platform::WaitGate gate;
    std::atomic<int> ticks{0};
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        while (!stop) {
            gate.Notify();
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    auto t0 = Steady::now();
    EXPECT_FALSE(gate.Wait(ticks, 100, 4, [] { return false; }));
    double took = Ms(Steady::now() - t0).count();
    stop = true;
    noise.join();
    EXPECT_GE(took, 5 * 10.0 * 0.99);
    EXPECT_EQ(ticks.load(), 5);

    EXPECT_EQ(gate.Wait(ticks, 100, 0, [] { return true; }), true);
    EXPECT_EQ(ticks.load(), 0);  // held at once: no poll
    platform::SetTimeScale(1.0);
}

}  // namespace
