// Hook control, call state bits and the box's flags word.
#include "line/Line.h"
#include "platform/Clock.h"
#include "zPLR.h"

using namespace zplr::transport;
using zplr::line::Low;
using zplr::line::SendByte;
using zplr::line::TestAndClear;

namespace {

// The hook bit changes before the packet goes out and stays changed when
// the command fails: the line may well have moved anyway.
int Hook(DeviceSlot &s, bool up, const Packet &p, uint32_t alsoClear = 0)
{
    if (s.Has(Closed))
        return -1;
    if (s.Has(OffHook) == up)
        return 1;
    if (up)
        s.Set(OffHook);
    else
        s.Clear(OffHook | alsoClear);
    return SendCommand(s, p, LimitShort);
}

}  // namespace

int CZusb_IO::PickUp()
{
    Packet p(4);
    return Hook(SlotFor(DeviceIndex), true, p);
}

int CZusb_IO::PickUpEst(int param)
{
    Packet p(4);
    p[1] = 1;
    p[2] = Low(param);
    return Hook(SlotFor(DeviceIndex), true, p);
}

int CZusb_IO::PutDown()
{
    Packet p(3);
    return Hook(SlotFor(DeviceIndex), false, p);
}

int CZusb_IO::PutDownEst(int param)
{
    Packet p(3);
    p[1] = Low(param);
    return Hook(SlotFor(DeviceIndex), false, p, PhoneOffHook);
}

int CZusb_IO::SetEstimateStatus(int status)
{
    return SendByte(SlotFor(DeviceIndex), 42, Low(status), LimitShort);
}

int CZusb_IO::SetNextCallDelay(int delay)
{
    return SendByte(SlotFor(DeviceIndex), 23, Low(delay), LimitLong);
}

int CZusb_IO::DetectRing() { return SendCommand(SlotFor(DeviceIndex), Packet(26), LimitLong); }

int CZusb_IO::CheckCallStatus() { return TestAndClear(SlotFor(DeviceIndex), IncomingCall) ? 1 : 0; }

void CZusb_IO::ClearCallBit() { SlotFor(DeviceIndex).Clear(IncomingCall | LinkEvent); }

int CZusb_IO::GetCalledPickUpStatus()
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    if (s.Has(Closed))
        return -1;
    return TestAndClear(s, CalledPickedUp) ? 1 : 0;
}

int CZusb_IO::CheckPutDown() { return SlotFor(DeviceIndex).Has(OffHook) ? 1 : 0; }

int CZusb_IO::ReadPhoneStatus() { return SlotFor(DeviceIndex).Has(PhoneOffHook) ? 1 : 0; }
int CZusb_IO::CheckPhone_PutDown() { return ReadPhoneStatus(); }
int CZusb_IO::CheckPutDownInEstimate() { return ReadPhoneStatus(); }

int CZusb_IO::LinePickUpMode()
{
    uint32_t st = SlotFor(DeviceIndex).DeviceStatus.load(std::memory_order_acquire);
    if (!(st & OffHook))
        return 0;
    return (st & PickUpMode1) ? 1 : 2;
}

int CZusb_IO::ReaddiFlagsValue()
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    if (s.Has(Closed))
        return -1;
    // During a playback the box's play acknowledgements keep the word fresh.
    if (s.SoundOutPipeCtx.StartPlay.load(std::memory_order_acquire) == 0) {
        int r = SendCommand(s, Packet(24), LimitLong);
        if (r != 1)
            return r;
    }
    return static_cast<int>(s.DiFlags.load(std::memory_order_acquire));
}

int CZusb_IO::CheckCanNextCallIn()
{
    // A failed read is negative, so bit 26 is set and the answer is no.
    return (static_cast<uint32_t>(ReaddiFlagsValue()) >> 26 & 1) == 0 ? 1 : 0;
}

void CZusb_IO::SetTelStatus(int value)
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    const uint32_t v = static_cast<uint32_t>(value) & ~static_cast<uint32_t>(Closed);
    uint32_t old = s.DeviceStatus.load(std::memory_order_relaxed);
    while (!s.DeviceStatus.compare_exchange_weak(old, v | (old & Closed), std::memory_order_acq_rel)) {
    }
    s.Gate.Notify();
}

void CZusb_IO::TelSleep(int ms)
{
    // A negative count would be an endless sleep to the system's Sleep.
    if (ms > 0)
        zplr::platform::SleepMs(ms);
}
