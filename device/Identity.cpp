// Identity and version records.
#include <cstring>

#include "device/Cipher.h"
#include "transport/Channel.h"
#include "zPLR.h"

using namespace zplr::transport;
using zplr::device::AddSubSecret;

namespace {

constexpr char Version[] = "300 4 2014-03-24 16:15";
static_assert(sizeof Version == 23, "the version text is 22 characters");

// One text per slot for ReadstrCustomerID.
char CustomerIdText[SlotCount + 1][17];

// Asks for a record: the command alone, the short reply wait.
int Ask(DeviceSlot &s, uint8_t code) { return SendCommand(s, Packet(code), LimitShort); }

// Copies n reply bytes and a terminating zero.
int Give(const uint8_t *from, unsigned char *out, int n)
{
    std::memcpy(out, from, n);
    out[n] = 0;
    return 1;
}

// A record the box keeps under its own key, handed on under the client's.
int ReadTranscoded(int index, uint8_t code, unsigned char *out)
{
    if (!out)
        return -4;
    DeviceSlot &s = SlotFor(index);
    int r = Ask(s, code);
    if (r != 1)
        return r;
    uint8_t plain[16], client[16];
    AddSubSecret(s.InfoReply, plain, 16, s.CipherDecSubkeys);
    AddSubSecret(plain, client, 16, s.ClientEncSubkeys);
    return Give(client, out, 16);
}

// A record that comes as it is kept.
int ReadPlain(int index, uint8_t code, unsigned char *out, int n)
{
    if (!out)
        return -4;
    DeviceSlot &s = SlotFor(index);
    int r = Ask(s, code);
    return r == 1 ? Give(s.InfoReply, out, n) : r;
}

}  // namespace

int CZusb_IO::ReadCustomerID(unsigned char *out)
{
    if (!out)
        return -4;
    DeviceSlot &s = SlotFor(DeviceIndex);
    int r = Ask(s, 31);
    if (r != 1)
        return r;
    uint8_t plain[16];
    AddSubSecret(s.InfoReply, plain, 16, s.CipherDecSubkeys);
    return Give(plain, out, 16);
}

int CZusb_IO::ReadModuleNmb(unsigned char *out) { return ReadTranscoded(DeviceIndex, 30, out); }
int CZusb_IO::ReadManuSerial(unsigned char *out) { return ReadTranscoded(DeviceIndex, 29, out); }
int CZusb_IO::ReadAdaptChar(unsigned char *out) { return ReadTranscoded(DeviceIndex, 28, out); }
int CZusb_IO::ReadZL_Type(unsigned char *out) { return ReadPlain(DeviceIndex, 27, out, 1); }
int CZusb_IO::ReadWritingInfoCounter(unsigned char *out) { return ReadPlain(DeviceIndex, 38, out, 1); }
int CZusb_IO::ReadHSPInfo(unsigned char *out) { return ReadPlain(DeviceIndex, 36, out, 11); }
int CZusb_IO::ReadSTMDeviceID(unsigned char *out) { return ReadPlain(DeviceIndex, 54, out, 16); }

int CZusb_IO::ReadSP_Sum(unsigned char *out)
{
    if (!out)
        return -4;
    DeviceSlot &s = SlotFor(DeviceIndex);
    int r = Ask(s, 48);
    return r == 1 ? Give(s.SumReply, out, 5) : r;
}

int CZusb_IO::ReadSTM32Temp()
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    int r = Ask(s, 55);
    return r == 1 ? s.InfoReply[0] : r;
}

int CZusb_IO::ModKVer(unsigned char value) { return SendByte(SlotFor(DeviceIndex), 49, value, LimitShort); }

int CZusb_IO::SetZLDeviceNmb(unsigned char *record)
{
    if (!record)
        return -4;
    DeviceSlot &s = SlotFor(DeviceIndex);
    if (s.Has(Closed))
        return -1;
    Packet p(51);
    std::memcpy(p.Bytes + 1, record, 18);
    int r = SendCommand(s, p, LimitShort);
    return r == 1 ? s.FlashWriteResult.load() : r;
}

int CZusb_IO::ModifyCustomerID(unsigned char *id)
{
    if (!id)
        return -4;
    DeviceSlot &s = SlotFor(DeviceIndex);
    int r = Ask(s, 31);
    if (r != 1)
        return r;
    uint8_t record[16];
    AddSubSecret(s.InfoReply, record, 16, s.CipherDecSubkeys);
    // The head stays as the box supplied it; the ID proper is zero padded.
    std::memset(record + 7, 0, 9);
    for (int i = 0; i < 9 && id[i] != 0; ++i)
        record[7 + i] = id[i];
    Packet p(47);
    AddSubSecret(record, p.Bytes + 1, 16, s.CipherEncSubkeys);
    // A reply without a verdict must not pass for the previous one.
    s.ModifyIdResult.store(0);
    r = SendCommand(s, p, LimitShort);
    return r == 1 ? s.ModifyIdResult.load() : r;
}

char *CZusb_IO::ReadstrCustomerID()
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    char *text = CustomerIdText[s.Index >= 0 && s.Index <= SlotCount ? s.Index : SlotCount];
    unsigned char record[17];
    if (ReadCustomerID(record) == 1)
        std::memcpy(text, record, sizeof record);  // stops at its first zero as a C string
    else
        text[0] = 0;
    return text;
}

void CZusb_IO::ReadzPLRVersion(char *out)
{
    if (out)
        std::memcpy(out, Version, sizeof Version);
}
