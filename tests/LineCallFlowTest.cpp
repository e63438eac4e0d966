// Whole calls, as an application drives them, against the line model.
#include <cstring>
#include <string>

#include "SimFixture.h"
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

}  // namespace
