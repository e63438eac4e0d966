// Identity records against the virtual box's record model.
#include <cstring>
#include <string>

#include "SimFixture.h"
#include "device/Cipher.h"
#include "sim/RecordModel.h"

using namespace zplr;
using namespace zplr::test;
using zlsim::RecordModel;
using namespace std::string_literals;

namespace {

const std::string Head = std::string("ZL0\x01\x14\x03\x24", 7);

std::string Text(const unsigned char *b, size_t n) { return std::string(reinterpret_cast<const char *>(b), n); }

class DeviceRecordsTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        StartOpen(io);
    }
    // The 16 bytes of a record with its terminator checked.
    std::string Read(int (CZusb_IO::*op)(unsigned char *))
    {
        unsigned char out[18];
        std::memset(out, 0xAA, sizeof out);
        EXPECT_EQ((io.*op)(out), 1);
        EXPECT_EQ(out[16], 0);
        EXPECT_EQ(out[17], 0xAA);
        return Text(out, 16);
    }
    CZusb_IO io{0};
    RecordModel records{Driver.Box(0)};
};

TEST_F(DeviceRecordsTest, CustomerIdRewriteKeepsTheHead)
{
    EXPECT_EQ(Read(&CZusb_IO::ReadCustomerID), Head + "DEMO00001");

    unsigned char longId[] = "ABCDEFGHIJKL";
    ASSERT_EQ(io.ModifyCustomerID(longId), 1);
    EXPECT_EQ(Read(&CZusb_IO::ReadCustomerID), Head + "ABCDEFGHI");
    EXPECT_STREQ(io.ReadstrCustomerID(), (Head + "ABCDEFGHI").c_str());
    // The box stores what it was sent: enciphered.
    zlsim::Record16 kept = records.Kept(RecordModel::Record::CustomerId);
    EXPECT_EQ(Text(kept.data(), 16).find("ABCDEFGHI"), std::string::npos);

    unsigned char empty[] = "";
    ASSERT_EQ(io.ModifyCustomerID(empty), 1);
    EXPECT_EQ(Read(&CZusb_IO::ReadCustomerID), Head + std::string(9, '\0'));
    EXPECT_STREQ(io.ReadstrCustomerID(), Head.c_str());
}

TEST_F(DeviceRecordsTest, CustomerIdVerdicts)
{
    unsigned char id[] = "NEW";
    records.SetModifyOutcome(2);
    EXPECT_EQ(io.ModifyCustomerID(id), -2);
    records.SetModifyOutcome(0);
    EXPECT_EQ(io.ModifyCustomerID(id), -1);
    EXPECT_EQ(Read(&CZusb_IO::ReadCustomerID), Head + "DEMO00001");
    records.SetModifyOutcome(1);
    ASSERT_EQ(io.ModifyCustomerID(id), 1);
    // An outcome byte the library does not know gives no verdict, not the
    // previous one.
    records.SetModifyOutcome(7);
    EXPECT_EQ(io.ModifyCustomerID(id), 0);

    // No reply to the read: nothing is written to the box.
    Driver.Box(0).ClearPackets();
    Driver.Box(0).SetResponder(31, [](const zlsim::Bytes64 &) { return std::vector<zlsim::Bytes64>{}; });
    EXPECT_EQ(io.ModifyCustomerID(id), -3);
    for (const auto &p : Driver.Box(0).Packets())
        EXPECT_NE(p[0], 47);
    EXPECT_STREQ(io.ReadstrCustomerID(), "");  // the read fails too
    zplr::transport::SlotFor(0).Clear(zplr::transport::AwaitingReply);
}

TEST_F(DeviceRecordsTest, TranscodedRecordsComeUnderTheClientKey)
{
    struct {
        int (CZusb_IO::*Op)(unsigned char *);
        const char *Plain;
    } reads[] = {{&CZusb_IO::ReadModuleNmb, "ZLM3000400000017"},
                 {&CZusb_IO::ReadManuSerial, "SN20140324000042"},
                 {&CZusb_IO::ReadAdaptChar, "AD-600OHM-LINE01"}};
    auto decipher = [](const std::string &key, const std::string &c) {
        uint16_t enc[7][10], dec[7][10];
        device::GenerateKey(reinterpret_cast<const uint8_t *>(key.data()), enc, dec);
        uint8_t out[16];
        device::AddSubSecret(reinterpret_cast<const uint8_t *>(c.data()), out, 16, dec);
        return Text(out, 16);
    };
    // Before any SetKey: the all-zero key.
    for (const auto &r : reads)
        EXPECT_EQ(decipher(std::string(16, '\0'), Read(r.Op)), r.Plain);
    std::string key = "application key!";
    io.SetKey(reinterpret_cast<unsigned char *>(key.data()));
    for (const auto &r : reads) {
        std::string got = Read(r.Op);
        EXPECT_NE(got, r.Plain);
        EXPECT_EQ(decipher(key, got), r.Plain);
    }
    std::string zero(16, '\0');
    io.SetKey(reinterpret_cast<unsigned char *>(zero.data()));
}

TEST_F(DeviceRecordsTest, PlainRecordsAndSettings)
{
    EXPECT_EQ(Read(&CZusb_IO::ReadSTMDeviceID),
              Text(records.Kept(RecordModel::Record::StmDeviceId).data(), 16));

    unsigned char small[8];
    std::memset(small, 0xAA, sizeof small);
    records.SetType(0x81);
    ASSERT_EQ(io.ReadZL_Type(small), 1);
    EXPECT_EQ(Text(small, 3), "\x81\0\xAA"s);
    records.SetWritingCounter(9);
    ASSERT_EQ(io.ReadWritingInfoCounter(small), 1);
    EXPECT_EQ(Text(small, 2), "\x09\0"s);

    unsigned char hsp[13];
    std::memset(hsp, 0xAA, sizeof hsp);
    ASSERT_EQ(io.ReadHSPInfo(hsp), 1);
    EXPECT_EQ(Text(hsp, 13), "HSP-2.1-600\0\xAA"s);
    std::memset(small, 0xAA, sizeof small);
    ASSERT_EQ(io.ReadSP_Sum(small), 1);
    EXPECT_EQ(Text(small, 7), "\x12\x34\x56\x78\x9A\0\xAA"s);

    records.SetTemperature(200);  // a reading, never an error code
    EXPECT_EQ(io.ReadSTM32Temp(), 200);

    EXPECT_EQ(io.ModKVer(0x5C), 1);
    EXPECT_EQ(records.KVer(), 0x5C);
    unsigned char number[18];
    for (int i = 0; i < 18; ++i)
        number[i] = static_cast<unsigned char>(0xF0 + i);
    records.SetFlashStatus(0x42);
    EXPECT_EQ(io.SetZLDeviceNmb(number), 0x42);
    EXPECT_EQ(Text(records.DeviceNumber().data(), 18), Text(number, 18));
    EXPECT_EQ(Driver.Box(0).Packets().back()[19], 0);
}

TEST_F(DeviceRecordsTest, FailuresLeaveTheBufferAlone)
{
    unsigned char out[18];
    std::memset(out, 0xAA, sizeof out);
    const std::string untouched = Text(out, 18);

    // A reply that comes after the 31st poll has begun is not used.
    Driver.Box(0).SetReplyDelay(static_cast<int>(ScaledMs(3300)));
    EXPECT_EQ(io.ReadCustomerID(out), -3);
    EXPECT_EQ(Text(out, 18), untouched);
    ASSERT_TRUE(Eventually([&] { return !(Status(0) & transport::AwaitingReply); }));
    Driver.Box(0).SetReplyDelay(0);

    int (CZusb_IO::*ops[])(unsigned char *) = {
        &CZusb_IO::ReadCustomerID, &CZusb_IO::ReadModuleNmb, &CZusb_IO::ReadManuSerial,
        &CZusb_IO::ReadAdaptChar,  &CZusb_IO::ReadZL_Type,   &CZusb_IO::ReadWritingInfoCounter,
        &CZusb_IO::ReadHSPInfo,    &CZusb_IO::ReadSP_Sum,    &CZusb_IO::ReadSTMDeviceID,
        &CZusb_IO::SetZLDeviceNmb, &CZusb_IO::ModifyCustomerID};
    for (auto op : ops)
        EXPECT_EQ((io.*op)(nullptr), -4);
    EXPECT_EQ(Driver.Box(0).PacketCount(), 1u);  // only the late read above

    io.ExistUSB_IO();
    for (auto op : ops) {
        EXPECT_EQ((io.*op)(out), -1);
        EXPECT_EQ(Text(out, 18), untouched);
    }
    EXPECT_EQ(io.ReadSTM32Temp(), -1);
    EXPECT_EQ(io.ModKVer(1), -1);
    EXPECT_STREQ(io.ReadstrCustomerID(), "");

    // The version needs neither box nor session.
    char version[24];
    std::memset(version, 0xAA, sizeof version);
    CZusb_IO(3).ReadzPLRVersion(version);
    EXPECT_EQ(std::string(version, 24), "300 4 2014-03-24 16:15\0\xAA"s);
}

}  // namespace
