// Dialling: one code per character, all in one packet.
#include <cstring>

#include "line/Line.h"
#include "zPLR.h"

using namespace zplr::transport;

namespace zplr::line {

uint8_t DialCode(char c)
{
    // Compared as signed bytes: 0x80 and up fall below '0' and get no code.
    const signed char b = static_cast<signed char>(c);
    uint8_t code = 0;
    if (b >= 0x31)  // up to 0x7F
        code = static_cast<uint8_t>(b & 0x0F);
    if (b == '0')
        code = 10;
    else if (b == '*')
        code = 11;
    else if (b == '#')
        code = 12;
    else if (b >= 'A' && b <= 'L')
        code = static_cast<uint8_t>(13 + (b - 'A'));
    else if (b >= 'a' && b <= 'l')
        code = static_cast<uint8_t>(13 + (b - 'a'));
    return code;
}

}  // namespace zplr::line

namespace {

constexpr int MaxDigits = 41;
constexpr int MaxDigitsCStr = 40;

int Dial(DeviceSlot &s, const char *number)
{
    if (s.Has(Closed))
        return -1;
    if (!s.Has(OffHook))
        return -4;
    Packet p(6);
    int n = 0;
    while (number && n < MaxDigits && number[n] != 0) {
        p[22 + n] = zplr::line::DialCode(number[n]);
        ++n;
    }
    if (n == 0)
        return -2;
    p[1] = static_cast<uint8_t>(n);
    p[2] = zplr::line::Low(s.DialPara3.load());
    p[3] = zplr::line::Low(s.DialPara1.load());
    p[4] = zplr::line::Low(s.DialPara2.load());
    p[5] = 1;
    return SendCommand(s, p, LimitDial);
}

}  // namespace

int CZusb_IO::DialNmb(char *number) { return Dial(SlotFor(DeviceIndex), number); }

int CZusb_IO::DialNmbCStr(char *number)
{
    if (!number || number[0] == 0)
        return -2;
    char copy[MaxDigitsCStr + 1];
    size_t n = strnlen(number, MaxDigitsCStr);
    std::memcpy(copy, number, n);
    copy[n] = 0;
    return Dial(SlotFor(DeviceIndex), copy);
}

int CZusb_IO::SetDialPara(int p1, int p2, int p3)
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    s.DialPara1.store(p1);
    s.DialPara2.store(p2);
    s.DialPara3.store(p3);
    return 1;
}

int CZusb_IO::SetDialParaToZL(int a, int b, int c)
{
    Packet p(227);
    p[1] = zplr::line::Low(a);
    p[2] = zplr::line::Low(b);
    p[3] = zplr::line::Low(c);
    return SendCommand(SlotFor(DeviceIndex), p, LimitLong);
}
