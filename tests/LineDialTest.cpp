// Dial codes and the dial packet.
#include <string>

#include "SimFixture.h"
#include "sim/LineModel.h"

using namespace zplr;
using namespace zplr::test;

namespace {

class LineDialTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        StartOpen(io);
        ASSERT_EQ(io.PickUp(), 1);
    }
    zlsim::Bytes64 Dial(std::string number, bool cstr = false)
    {
        EXPECT_EQ(cstr ? io.DialNmbCStr(number.data()) : io.DialNmb(number.data()), 1);
        return Driver.Box(0).Packets().back();
    }
    static std::vector<int> Codes(const zlsim::Bytes64 &p) { return {p.begin() + 22, p.begin() + 22 + p[1]}; }
    CZusb_IO io{0};
};

TEST_F(LineDialTest, DialCodes)
{
    zlsim::Bytes64 p = Dial("0123456789*#");
    EXPECT_EQ(Codes(p), (std::vector<int>{10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12}));
    EXPECT_EQ(p[5], 1);
    EXPECT_EQ(p[22 + 12], 0);
    EXPECT_EQ(Codes(Dial("abcdABCDlL")), (std::vector<int>{13, 14, 15, 16, 13, 14, 15, 16, 24, 24}));
    // Past "L" the low four bits; bytes from 0x80 up and others keep a zero.
    EXPECT_EQ(Codes(Dial("mP:,- \x80\xFF")), (std::vector<int>{13, 0, 10, 0, 0, 0, 0, 0}));
}

TEST_F(LineDialTest, LongNumbersAndParameters)
{
    std::string fifty(50, '7');
    EXPECT_EQ(Dial(fifty)[1], 41);
    EXPECT_EQ(Dial(fifty, true)[1], 40);

    io.SetDialPara(7, 8, 9);
    zlsim::Bytes64 p = Dial("1");
    EXPECT_EQ((std::vector<int>{p[2], p[3], p[4]}), (std::vector<int>{9, 7, 8}));
    io.SetDialPara(300, 5, 6);
    EXPECT_EQ(Dial("1")[3], 44);
}

// Bytes 2, 3 and 4 carry the third, first and second parameter: 6, 5 and 5
// at every start, whatever the session before set.
TEST_F(LineDialTest, ParametersStartAtSixFiveFive)
{
    zlsim::Bytes64 p = Dial("1");
    EXPECT_EQ((std::vector<int>{p[2], p[3], p[4]}), (std::vector<int>{6, 5, 5}));
    io.SetDialPara(7, 8, 9);
    io.ExistUSB_IO();
    ASSERT_EQ(io.InitialUSB_IOEx(0), 1);
    ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }));
    ASSERT_EQ(io.PickUp(), 1);
    p = Dial("1");
    EXPECT_EQ((std::vector<int>{p[2], p[3], p[4]}), (std::vector<int>{6, 5, 5}));
}

TEST_F(LineDialTest, RefusalsSendNothing)
{
    char empty[] = "", number[] = "123";
    EXPECT_EQ(io.DialNmb(empty), -2);
    EXPECT_EQ(io.DialNmb(nullptr), -2);
    EXPECT_EQ(io.DialNmbCStr(nullptr), -2);
    ASSERT_EQ(io.PutDown(), 1);
    size_t before = Driver.Box(0).PacketCount();
    EXPECT_EQ(io.DialNmb(number), -4);
    EXPECT_EQ(Driver.Box(0).PacketCount(), before);
    io.ExistUSB_IO();
    EXPECT_EQ(io.DialNmb(empty), -1);
    EXPECT_EQ(io.DialNmbCStr(empty), -2);  // the empty test comes first here
}

}  // namespace
