// Caller number decoding, key codes and FSK data.
#include <cstring>
#include <mutex>
#include <string>

#include "SimFixture.h"
#include "sim/LineModel.h"

using namespace zplr;
using namespace zplr::test;
using transport::SlotFor;
using zlsim::CallerIdType;
using zlsim::LineModel;

namespace {

std::vector<uint8_t> Bytes(const std::string &s) { return {s.begin(), s.end()}; }

class LineCallerIdTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        StartOpen(io);
    }
    size_t Acks() { return PacketsOf(Driver.Box(0), 41).size(); }
    // Sends a caller-ID report and returns once it is stored (acknowledged).
    void Deliver(const zlsim::Bytes64 &report)
    {
        size_t before = Acks();
        Driver.Box(0).SendReport(report);
        ASSERT_TRUE(Eventually([&] { return Acks() > before; }));
    }
    void Deliver(CallerIdType type, const std::vector<uint8_t> &message, int length = -1)
    {
        Deliver(LineModel::CallerIdReport(static_cast<uint8_t>(type), message, length));
    }
    std::string Number(int expect = 1)
    {
        unsigned char buf[61];
        std::memset(buf, 0xAA, sizeof buf);
        EXPECT_EQ(io.Read_Call_Nmb(buf), expect);
        EXPECT_TRUE(std::memchr(buf, 0, sizeof buf));
        return reinterpret_cast<char *>(buf);
    }
    CZusb_IO io{0};
};

TEST_F(LineCallerIdTest, SingleMessageFormat)
{
    Deliver(CallerIdType::Sdmf, Bytes("031512300571234567"));  // L = 18
    EXPECT_EQ(Number(), "0571234567");
    Deliver(CallerIdType::Sdmf, Bytes("03151230"));  // L = 8
    EXPECT_EQ(Number(), "");
    // L = 70: the record keeps 60 message bytes; the number ends with them.
    Deliver(CallerIdType::Sdmf, Bytes("03151230" + std::string(52, '9')), 70);
    EXPECT_EQ(Number(), std::string(52, '9'));
}

TEST_F(LineCallerIdTest, MultipleParameterFormat)
{
    std::vector<uint8_t> m = Bytes("\x01\x08" "03151230\x02\x0A");
    for (char c : std::string("1391234567"))
        m.push_back(static_cast<uint8_t>(c | 0x80));  // top bits are cleared
    Deliver(CallerIdType::Mdmf, m);
    EXPECT_EQ(Number(), "1391234567");
    Deliver(CallerIdType::Mdmf, LineModel::CallerIdMessage(CallerIdType::Mdmf, "8877", "0315", true));
    EXPECT_EQ(Number(), "8877");
    Deliver(CallerIdType::Mdmf, LineModel::CallerIdMessage(CallerIdType::Mdmf, std::string(40, '3'), "0315"));
    EXPECT_EQ(Number(), std::string(30, '3'));
}

TEST_F(LineCallerIdTest, MultipleParameterWalkStaysInsideMessageAndRecord)
{
    Deliver(CallerIdType::Mdmf, Bytes("\x01\x02" "03\x02\x02" "12"), 4);  // number past L
    EXPECT_EQ(Number(), "");
    Deliver(CallerIdType::Mdmf, Bytes("\x02\x02" "12"), 0);
    EXPECT_EQ(Number(), "");
    Deliver(CallerIdType::Mdmf, Bytes("\x01\xFF\x02\x02" "12"), 0xFF);  // jumps past the record
    EXPECT_EQ(Number(), "");
    {
        // A number parameter at the record's end: only what lies within.
        std::lock_guard<std::mutex> lock(SlotFor(0).RingLock);
        uint8_t *r = SlotFor(0).CallerIdRecord;
        std::memset(r, 0, 129);
        const uint8_t head[] = {1, 0x80, 0xFF, 1, 120};
        std::memcpy(r, head, sizeof head);
        const uint8_t tail[] = {2, 30, '4', '2'};
        std::memcpy(r + 125, tail, sizeof tail);
    }
    EXPECT_EQ(Number(), "42");
}

TEST_F(LineCallerIdTest, DigitStringsAndStates)
{
    Deliver(CallerIdType::Digits, Bytes("\xFF" "555-1234567"), 12);  // 10 bytes examined
    EXPECT_EQ(Number(), "555123456");
    Deliver(CallerIdType::Digits, Bytes("12a3 4"));
    EXPECT_EQ(Number(), "1234");
    // A new call has no number until its own message comes, never the last one's.
    Driver.Box(0).SendReport({33});
    ASSERT_TRUE(Eventually([&] { return io.CheckCallStatus() == 1; }));
    EXPECT_EQ(Number(), "");
    Deliver(CallerIdType::Digits, Bytes("77"));
    Driver.Box(0).SendReport({22, 1, 2, 3, 4, 5});
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(SlotFor(0).RingLock);
        return SlotFor(0).CallerIdRecord[67] == 5;
    }));
    EXPECT_EQ(Number(), "");
    Deliver({4, 2});  // reception failed
    EXPECT_EQ(Number(-2), "");
    EXPECT_STREQ(io.ReadstrCallNmb(), "");
    EXPECT_EQ(io.Read_Call_Nmb(nullptr), -4);
}

TEST_F(LineCallerIdTest, NumberIsNeverHalfOldHalfNew)
{
    const std::string ones(40, '1'), twos(40, '2');
    Deliver(CallerIdType::Digits, Bytes(twos));
    std::atomic<bool> done{false};
    std::thread box([&] {
        for (int i = 0; i < 300; ++i)
            Deliver(CallerIdType::Digits, Bytes(i % 2 ? twos : ones));
        done = true;
    });
    int torn = 0;
    while (!done) {
        std::string n = io.ReadstrCallNmb();
        torn += n != ones && n != twos;
    }
    box.join();
    EXPECT_EQ(torn, 0);
}

TEST_F(LineCallerIdTest, KeyCodesInArrivalOrderAcrossTheWrap)
{
    LineModel line(Driver.Box(0), Scale);
    unsigned char code[2];
    // 25 keys, then 12 more: the second batch crosses from slot 29 to 0.
    for (std::string keys : {"1234567890*#ABCD123456789", "#*0987654321"}) {
        line.PressKeys(keys, keys.size() == 12);
        std::string got;
        ASSERT_TRUE(Eventually([&] {
            while (io.GetDTMFCode(code) == 1)
                got += LineModel::KeyChar(code[0]);
            return got.size() >= keys.size();
        }));
        EXPECT_EQ(got, keys);
    }
    EXPECT_EQ(io.GetDTMFCode(code), -4);

    unsigned char codes[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    Driver.Box(0).SendReport({7, 5});
    ASSERT_TRUE(Eventually([&] { return io.TestTool_GetDTMFCode(codes) == 1; }));
    EXPECT_EQ((std::vector<int>{codes[0], codes[1], codes[2], codes[3]}), (std::vector<int>{5, 0xBB, 0xCC, 0}));
}

TEST_F(LineCallerIdTest, FskDataBlock)
{
    Driver.Box(0).SetResponder(40, [](const zlsim::Bytes64 &p) {
        zlsim::Bytes64 r{};
        r[0] = 21;
        r[1] = p[1] == 7 ? 255 : 0;
        for (int i = 2; i < 64; ++i)
            r[i] = static_cast<uint8_t>(i);
        return std::vector<zlsim::Bytes64>{r};
    });
    unsigned char data[63];
    EXPECT_EQ(io.GetOEData(7, data), 256);
    EXPECT_EQ(data[0], 2);
    EXPECT_EQ(data[61], 63);
    EXPECT_EQ(data[62], 0);
    EXPECT_EQ(io.GetOEData(0, data), 1);
    EXPECT_EQ(io.GetOEData(0, nullptr), -4);
}

}  // namespace
