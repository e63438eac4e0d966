// Call-progress tone measurements, sound detection level and audio path.
#include "line/Line.h"
#include "transport/Dispatcher.h"
#include "zPLR.h"

using namespace zplr::transport;
using zplr::line::Low;
using zplr::line::OnOff;
using zplr::line::SendByte;

int CZusb_IO::SetContinueReturn450Hz(int mode)
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    if (s.Has(Closed))
        return -1;
    s.Clear(CalledPickedUp);
    s.Tone450ReadIndex.store(0, std::memory_order_relaxed);
    s.Tone450WriteIndex.store(0, std::memory_order_release);
    return SendByte(s, 13, Low(mode), LimitLong);
}

int CZusb_IO::Get450HzRecd(unsigned short *pair)
{
    if (!pair)
        return -4;
    DeviceSlot &s = SlotFor(DeviceIndex);
    if (s.Has(Closed))
        return -1;
    // The report thread pushes a pair as two entries; a pair whose second
    // value is not in yet counts as not there, rather than reading a stale
    // entry and losing step with the writer.
    const unsigned r = s.Tone450ReadIndex.load(std::memory_order_relaxed) % RingSize;
    const unsigned w = s.Tone450WriteIndex.load(std::memory_order_acquire) % RingSize;
    if ((w + RingSize - r) % RingSize < 2)
        return -2;
    uint16_t first = 0, second = 0;
    PopTone(s, first);
    PopTone(s, second);
    pair[0] = first;
    pair[1] = second;
    return 1;
}

int CZusb_IO::ReadBusyBit() { return zplr::line::TestAndClear(SlotFor(DeviceIndex), BusyTone) ? 1 : 0; }

void CZusb_IO::ClearBusyCheckBit() { SlotFor(DeviceIndex).Clear(BusyTone); }

int CZusb_IO::SetDetectSoundValue(int level)
{
    uint8_t v = level == 0 ? 1 : level > 112 ? 112 : Low(level);
    return SendByte(SlotFor(DeviceIndex), 46, v, LimitShort);
}

int CZusb_IO::IfMicOut(int on) { return SendByte(SlotFor(DeviceIndex), 18, OnOff(on), LimitLong); }
int CZusb_IO::IfMute(int on) { return SendByte(SlotFor(DeviceIndex), 17, OnOff(on), LimitLong); }
int CZusb_IO::GetLine_Mic(int line) { return SendByte(SlotFor(DeviceIndex), 21, OnOff(line), LimitLong); }
int CZusb_IO::SetAmp(int value) { return SendByte(SlotFor(DeviceIndex), 39, Low(value), LimitShort); }
