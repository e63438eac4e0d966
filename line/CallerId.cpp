// Caller number, key codes and FSK data.
#include <cstring>
#include <mutex>

#include "line/Line.h"
#include "transport/Dispatcher.h"
#include "zPLR.h"

using namespace zplr::transport;
using zplr::line::Low;
using zplr::line::OnOff;
using zplr::line::SendByte;

namespace zplr::line {

namespace {

constexpr int RecordSize = 129;

// Single-message format: 8 bytes of date and time, then the number.
void Sdmf(const uint8_t (&r)[RecordSize], unsigned char *number)
{
    int n = static_cast<int>(r[2]) - 8;
    int i = 0;
    for (; i < n && i < 57; ++i)
        number[i] = r[11 + i];
    number[i] = 0;
}

// Multiple-parameter format: the first parameter of type 2 that starts
// within the message is the number. Walks never leave the record.
void Mdmf(const uint8_t (&r)[RecordSize], unsigned char *number)
{
    const int end = r[2] + 3;
    int pos = 3;
    while (pos < end && pos + 1 < RecordSize && r[pos] != 2)
        pos += r[pos + 1] + 2;
    if (pos >= end || pos + 1 >= RecordSize)
        return;  // no number in the message: empty
    const int m = r[pos + 1];
    int i = 0;
    for (; i < m && i < 30 && pos + 2 + i < RecordSize; ++i)
        number[i] = r[pos + 2 + i] & 0x7F;
    number[i] = 0;
}

// Digit string, optionally behind a 0xFF marker: only the digits count.
void Digits(const uint8_t (&r)[RecordSize], unsigned char *number)
{
    int m = r[2];
    int start = 3;
    if (r[3] == 0xFF) {
        start = 4;
        m -= 2;
    }
    if (m > 60)
        m = 60;
    int out = 0;
    for (int i = 0; i < m; ++i) {
        uint8_t b = r[start + i];
        if (b >= '0' && b <= '9')
            number[out++] = b;
    }
    number[out] = 0;
}

}  // namespace

int DecodeCallerId(const uint8_t (&r)[RecordSize], unsigned char *number)
{
    number[0] = 0;
    if (r[0] == 1) {
        switch (r[1]) {
        case 0x04: Sdmf(r, number); return 1;
        case 0x80: Mdmf(r, number); return 1;
        case 0x05: Digits(r, number); return 1;
        default: break;
        }
    }
    return r[0] == 2 ? -2 : 1;
}

}  // namespace zplr::line

namespace {
// One text per slot for ReadstrCallNmb.
char CallNumberText[SlotCount + 1][61];
}  // namespace

int CZusb_IO::Read_Call_Nmb(unsigned char *number)
{
    if (!number)
        return -4;
    DeviceSlot &s = SlotFor(DeviceIndex);
    if (s.Has(Closed))
        return -1;
    s.Clear(IncomingCall);  // reading the number acknowledges the call
    uint8_t record[sizeof s.CallerIdRecord];
    {
        // The report thread stores under the same lock: never half a number.
        std::lock_guard<std::mutex> lock(s.RingLock);
        std::memcpy(record, s.CallerIdRecord, sizeof record);
    }
    return zplr::line::DecodeCallerId(record, number);
}

char *CZusb_IO::ReadstrCallNmb()
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    char *text = CallNumberText[s.Index >= 0 && s.Index <= SlotCount ? s.Index : SlotCount];
    unsigned char number[61];
    if (Read_Call_Nmb(number) == 1)
        std::memcpy(text, number, std::strlen(reinterpret_cast<char *>(number)) + 1);
    else
        text[0] = 0;
    return text;
}

namespace {
// Takes the oldest key code and up to max - 1 more while there are any.
int TakeKeys(int index, unsigned char *out, int max)
{
    if (!out)
        return -4;
    DeviceSlot &s = SlotFor(index);
    if (s.Has(Closed))
        return -1;
    uint8_t key = 0;
    if (!PopKey(s, key))
        return -4;
    out[0] = key;
    for (int i = 1; i < max; ++i)
        if (PopKey(s, key))
            out[i] = key;
    return 1;
}
}  // namespace

int CZusb_IO::GetDTMFCode(unsigned char *code)
{
    int r = TakeKeys(DeviceIndex, code, 1);
    if (r == 1)
        code[1] = 0;
    return r;
}

int CZusb_IO::TestTool_GetDTMFCode(unsigned char *codes)
{
    // A position the ring had no code for keeps what the caller put there.
    int r = TakeKeys(DeviceIndex, codes, 3);
    if (r == 1)
        codes[3] = 0;
    return r;
}

int CZusb_IO::SetCheckDTMFCall(int on) { return SendByte(SlotFor(DeviceIndex), 22, OnOff(on), LimitLong); }

int CZusb_IO::SetFSKParam(int p1, int p2)
{
    Packet p(50);
    p[1] = Low(p1);
    p[2] = Low(p2);
    return SendCommand(SlotFor(DeviceIndex), p, LimitShort);
}

int CZusb_IO::SetGetFSKOEData(int mode) { return SendByte(SlotFor(DeviceIndex), 43, Low(mode), LimitShort); }

int CZusb_IO::GetOEData(unsigned char select, unsigned char *data)
{
    if (!data)
        return -4;
    DeviceSlot &s = SlotFor(DeviceIndex);
    int r = SendByte(s, 40, select, LimitShort);
    if (r != 1)
        return r;
    std::memcpy(data, s.FskOeData + 1, 62);
    data[62] = 0;
    return s.FskOeData[0] + 1;
}
