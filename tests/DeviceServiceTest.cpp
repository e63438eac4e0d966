// Flash, FS switches, converter values, test commands and date texts.
#include <atomic>
#include <cstring>
#include <ctime>
#include <string>

#include "SimFixture.h"
#include "platform/Time.h"
#include "sim/RecordModel.h"

using namespace zplr;
using namespace zplr::test;
using transport::SlotFor;
using zlsim::RecordModel;

namespace {

std::atomic<int> Messages{0};
std::string LastMessage;
void CountMessage(const char *text, unsigned)
{
    LastMessage = text;
    ++Messages;
}

class DeviceServiceTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        Messages = 0;
        ZlSetMessageHandler(CountMessage);
        StartOpen(io);
    }
    std::vector<zlsim::Bytes64> Sent(uint8_t code) { return PacketsOf(Driver.Box(0), code); }
    CZusb_IO io{0};
    RecordModel records{Driver.Box(0)};
};

TEST_F(DeviceServiceTest, FlashBlockGoesInFourChunks)
{
    unsigned char data[240];
    for (int i = 0; i < 240; ++i)
        data[i] = static_cast<unsigned char>(i * 7 + 1);
    records.SetFlashStatus(0x5A);
    ASSERT_EQ(io.WriteDataToFlash(data), 0x5A);
    auto chunks = Sent(25);
    ASSERT_EQ(chunks.size(), 4u);
    for (int n = 0; n < 4; ++n) {
        EXPECT_EQ(chunks[n][1], n);
        EXPECT_EQ(chunks[n][2] | chunks[n][3], 0);
    }
    auto flash = records.Flash();
    EXPECT_EQ(std::memcmp(flash.data(), data, 240), 0);

    // Chunk 1 gets no reply: chunks 2 and 3 are never sent.
    Driver.Box(0).ClearPackets();
    Driver.Box(0).SetResponder(25, [](const zlsim::Bytes64 &p) {
        return p[1] == 1 ? std::vector<zlsim::Bytes64>{} : std::vector<zlsim::Bytes64>{{10, 1}};
    });
    EXPECT_EQ(io.WriteDataToFlash(data), -3);
    EXPECT_EQ(Sent(25).size(), 2u);
    SlotFor(0).Clear(transport::AwaitingReply);

    // Without a writer the hand-over fails; the caller sees a time-out.
    SlotFor(0).Put(SlotFor(0).CommandPipeCtx.Run, 0);
    EXPECT_EQ(io.WriteDataToFlash(data), -3);
    EXPECT_EQ(io.WriteDataToFlash(nullptr), -4);
}

TEST_F(DeviceServiceTest, ConverterValues)
{
    records.SetAdc01(0xBEEF);
    unsigned char adc[3] = {0, 0, 0xAA};
    ASSERT_EQ(io.Read_ADC01_Modified(adc), 1);
    EXPECT_EQ((std::vector<int>{adc[0], adc[1], adc[2]}), (std::vector<int>{0xEF, 0xBE, 0xAA}));

    records.SetAdcValues({0x1234, 0xFFFF, 7});
    unsigned short values[5] = {1, 1, 1, 1, 0xAAAA};
    ASSERT_EQ(io.ReadADCModValue(values), 1);
    EXPECT_EQ((std::vector<int>(values, values + 5)), (std::vector<int>{0x1234, 0xFFFF, 7, 0, 0xAAAA}));
    EXPECT_EQ(io.Read_ADC01_Modified(nullptr), -4);
    EXPECT_EQ(io.ReadADCModValue(nullptr), -4);
}

TEST_F(DeviceServiceTest, EchoTest)
{
    unsigned char buf[64];
    for (int i = 0; i < 64; ++i)
        buf[i] = static_cast<unsigned char>(100 + i);
    ASSERT_EQ(io.Test_End0_WR(248, buf), 1);
    EXPECT_EQ(Sent(248).size(), 1u);
    EXPECT_EQ(Messages.load(), 0);
    EXPECT_EQ(buf[0], 100);  // buf[0..3] are not written
    EXPECT_EQ(buf[4], 248);  // the echo's code
    EXPECT_EQ(buf[5] | buf[6] | buf[7], 0);
    EXPECT_EQ(buf[8], 100);  // the packet carried buf[0] in its byte 4
    EXPECT_EQ(buf[63], 155);

    // Each answer comes after the 100th poll but soon enough for the next
    // hand-over: three packets, one message, still 1.
    Driver.Box(0).SetReplyDelay(static_cast<int>(ScaledMs(10500)));
    ASSERT_EQ(io.Test_End0_WR(251, buf), 1);
    // The third echo comes in after the copy; nothing may tear it.
    ASSERT_TRUE(Eventually([&] { return !(Status(0) & transport::AwaitingReply); }));
    EXPECT_EQ(Sent(251).size(), 3u);
    EXPECT_EQ(Messages.load(), 1);
    EXPECT_EQ(LastMessage, "Receive Error!");
    Driver.Box(0).SetReplyDelay(0);

    // A box that never answers: the second hand-over fails, no message.
    Driver.Box(0).WithholdReplies(true);
    ASSERT_EQ(io.Test_End0_WR(248, buf), 1);
    EXPECT_EQ(Sent(248).size(), 2u);
    EXPECT_EQ(Messages.load(), 1);
    Driver.Box(0).WithholdReplies(false);
    Driver.Box(0).ReleaseWithheld();
    EXPECT_EQ(io.Test_End0_WR(248, nullptr), -4);
}

TEST_F(DeviceServiceTest, TestCommandsSendLowBytes)
{
    EXPECT_EQ(io.Test_U2(0x81), 1);
    EXPECT_EQ(Sent(224).back()[1], 0x81);
    EXPECT_EQ(io.Test_Status(3), 1);
    EXPECT_EQ(Sent(225).back()[1], 3);
    EXPECT_EQ(io.Test_CtrlOut(0x1FF, -2), 1);
    auto ctrl = Sent(226).back();
    EXPECT_EQ((std::vector<int>{ctrl[1], ctrl[2], ctrl[3]}), (std::vector<int>{0xFF, 0xFE, 0}));
    int values[5] = {1, 256 + 2, -1, 4, 0x105};
    EXPECT_EQ(io.Test_Flash(300, values), 1);
    auto flash = Sent(228).back();
    EXPECT_EQ((std::vector<int>(flash.begin() + 1, flash.begin() + 8)),
              (std::vector<int>{44, 1, 2, 0xFF, 4, 5, 0}));
    EXPECT_EQ(io.Test_Flash(1, nullptr), -4);
}

std::time_t NineInJanuary()
{
    std::tm t{};
    t.tm_year = 2014 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 5;
    t.tm_hour = 9;
    t.tm_min = 7;
    t.tm_sec = 3;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

TEST(DeviceDateTest, LocalDateAndTimeTexts)
{
    platform::SetCalendarSource(NineInJanuary);
    CZusb_IO io(2);  // never started: the texts need no box
    char year[6], two[4];
    std::memset(year, 0xAA, sizeof year);
    ASSERT_EQ(io.GetYear(year), 1);
    EXPECT_EQ(std::string(year, 6), std::string("2014\0\xAA", 6));
    std::string got;
    for (auto op : {&CZusb_IO::GetMoth, &CZusb_IO::GetDay, &CZusb_IO::GetHour, &CZusb_IO::GetMin,
                    &CZusb_IO::GetSec}) {
        std::memset(two, 0xAA, sizeof two);
        ASSERT_EQ((io.*op)(two), 1);
        EXPECT_EQ(two[2], 0);
        EXPECT_EQ(static_cast<unsigned char>(two[3]), 0xAA);
        got += std::string(two, 2) + " ";
    }
    EXPECT_EQ(got, "01 05 09 07 03 ");
    EXPECT_EQ(io.GetSec(nullptr), -4);
    platform::SetCalendarSource(nullptr);
    ASSERT_EQ(io.GetYear(year), 1);
    EXPECT_GE(std::stoi(year), 2024);
}

}  // namespace
