// 450 Hz measurement pairs and the busy indication.
#include "SimFixture.h"
#include "transport/Dispatcher.h"

using namespace zplr;
using namespace zplr::test;
using transport::SlotFor;

namespace {

class LineToneTest : public SimTest {
protected:
    bool Next(unsigned short (&pair)[2]) { return Eventually([&] { return io.Get450HzRecd(pair) == 1; }); }
    CZusb_IO io{0};
};

TEST_F(LineToneTest, PairsAndTheBusyWindow)
{
    StartOpen(io);
    Driver.Box(0).SendReport({5, 9, 9, 0});
    ASSERT_TRUE(Eventually([&] { return SlotFor(0).Tone450WriteIndex.load() == 2; }));
    ASSERT_EQ(io.SetContinueReturn450Hz(1), 1);
    unsigned short pair[2];
    EXPECT_EQ(io.Get450HzRecd(pair), -2);  // unread measurements dropped

    Driver.Box(0).SendReport({5, 3, 0x2C, 0x01});
    ASSERT_TRUE(Next(pair));
    EXPECT_EQ(pair[0], 3);
    EXPECT_EQ(pair[1], 300);
    EXPECT_EQ(io.ReadBusyBit(), 0);
    // Across the wrap of the ring, pairs stay in step.
    for (int i = 0; i < 20; ++i) {
        Driver.Box(0).SendReport({5, static_cast<uint8_t>(i), 35, 0});
        ASSERT_TRUE(Next(pair));
        ASSERT_EQ(pair[0], i);
        ASSERT_EQ(pair[1], 35);
    }
    EXPECT_EQ(io.ReadBusyBit(), 1);
    EXPECT_EQ(io.ReadBusyBit(), 0);
}

TEST_F(LineToneTest, HalfAPairIsNotReadYet)
{
    // A reader between the two pushes of a report must not take a stale
    // second value.
    StartOpen(io);
    ASSERT_EQ(io.SetContinueReturn450Hz(1), 1);
    transport::PushTone(SlotFor(0), 4);
    unsigned short pair[2] = {0, 0};
    EXPECT_EQ(io.Get450HzRecd(pair), -2);
    transport::PushTone(SlotFor(0), 500);
    EXPECT_EQ(io.Get450HzRecd(pair), 1);
    EXPECT_EQ(pair[1], 500);
    EXPECT_EQ(io.Get450HzRecd(nullptr), -4);
}

}  // namespace
