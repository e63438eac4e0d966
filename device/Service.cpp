// Flash, converter values, test commands and the date texts.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "device/Playback.h"
#include "platform/Clock.h"
#include "platform/Message.h"
#include "platform/Time.h"
#include "transport/Channel.h"
#include "zPLR.h"

using namespace zplr::transport;

namespace zplr::device {
namespace {
std::atomic<PlaybackStopper> Stopper{nullptr};
}
void SetPlaybackStopper(PlaybackStopper stop) { Stopper.store(stop); }
PlaybackStopper RegisteredPlaybackStopper() { return Stopper.load(); }
}  // namespace zplr::device

namespace {

constexpr int FlashChunk = 60;
constexpr int FlashChunks = 4;
constexpr int EchoAttempts = 3;

// One field of the local time, as `digits` decimal digits and a zero.
int DateField(char *out, int std::tm::*field, int add, int digits)
{
    if (!out)
        return -4;
    std::tm now = zplr::platform::LocalNow();
    char text[16];
    std::snprintf(text, sizeof text, digits == 4 ? "%04d" : "%02d", now.*field + add);
    std::memcpy(out, text, digits);
    out[digits] = 0;
    return 1;
}

}  // namespace

int CZusb_IO::WriteDataToFlash(unsigned char *data)
{
    if (!data)
        return -4;
    DeviceSlot &s = SlotFor(DeviceIndex);
    if (s.Has(Closed))
        return -1;
    for (int n = 0; n < FlashChunks; ++n) {
        Packet p(25);
        p[1] = static_cast<uint8_t>(n);
        std::memcpy(p.Bytes + 4, data + n * FlashChunk, FlashChunk);
        // Any failure of a chunk is a time-out to the caller; later chunks
        // are not sent.
        if (SendCommand(s, p, LimitLong) != 1)
            return -3;
    }
    return s.FlashWriteResult.load();
}

int CZusb_IO::FS_Open() { return SendByte(SlotFor(DeviceIndex), 18, 0, LimitShort); }

int CZusb_IO::FS_Close()
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    if (s.SoundOutPipeCtx.StartPlay.load() == 1) {
        if (zplr::device::PlaybackStopper stop = zplr::device::Stopper.load())
            stop(*this);
    }
    return SendByte(s, 18, 1, LimitShort);
}

int CZusb_IO::Read_ADC01_Modified(unsigned char *out)
{
    if (!out)
        return -4;
    DeviceSlot &s = SlotFor(DeviceIndex);
    int r = SendCommand(s, Packet(44), LimitShort);
    if (r != 1)
        return r;
    const uint16_t v = s.Adc01Value.load();
    out[0] = static_cast<uint8_t>(v & 0xFF);
    out[1] = static_cast<uint8_t>(v >> 8);
    return 1;
}

int CZusb_IO::ReadADCModValue(unsigned short *out)
{
    if (!out)
        return -4;
    DeviceSlot &s = SlotFor(DeviceIndex);
    int r = SendCommand(s, Packet(53), LimitShort);
    if (r != 1)
        return r;
    for (int k = 0; k < 3; ++k)
        out[k] = static_cast<unsigned short>(s.InfoReply[2 * k] | s.InfoReply[2 * k + 1] << 8);
    out[3] = 0;
    return 1;
}

int CZusb_IO::Test_End0_WR(unsigned char code, unsigned char *buf)
{
    if (!buf)
        return -4;
    DeviceSlot &s = SlotFor(DeviceIndex);
    if (s.Has(Closed))
        return -1;
    Packet p(code);
    std::memcpy(p.Bytes + 4, buf, 60);
    int failed = 0;
    while (failed < EchoAttempts) {
        if (HandOver(s, p.Bytes, s.WaitTicks) != 1)
            break;
        // A reply first seen at the 100th poll counts as missing.
        const bool in = AwaitReply(s, LimitLong) == 1;
        if (in && s.WaitTicks.load() < LimitLong)
            break;
        ++failed;
    }
    if (failed == EchoAttempts)
        zplr::platform::ShowMessage("Receive Error!", zplr::platform::MessageOk);
    // The slot keeps the last echo for every object of the box; the object
    // that started the session may be gone by now.
    std::lock_guard<std::mutex> lock(s.EchoLock);
    std::memcpy(buf + 4, s.EchoBuffer, 60);
    return 1;
}

int CZusb_IO::Test_U2(unsigned char value) { return SendByte(SlotFor(DeviceIndex), 224, value, LimitLong); }
int CZusb_IO::Test_Status(unsigned char value) { return SendByte(SlotFor(DeviceIndex), 225, value, LimitLong); }

int CZusb_IO::Test_CtrlOut(int a, int b)
{
    Packet p(226);
    p[1] = Low(a);
    p[2] = Low(b);
    return SendCommand(SlotFor(DeviceIndex), p, LimitLong);
}

int CZusb_IO::Test_Flash(int a, int *values)
{
    if (!values)
        return -4;
    Packet p(228);
    p[1] = Low(a);
    for (int i = 0; i < 5; ++i)
        p[2 + i] = Low(values[i]);
    return SendCommand(SlotFor(DeviceIndex), p, LimitLong);
}

int CZusb_IO::GetYear(char *out) { return DateField(out, &std::tm::tm_year, 1900, 4); }
int CZusb_IO::GetMoth(char *out) { return DateField(out, &std::tm::tm_mon, 1, 2); }
int CZusb_IO::GetDay(char *out) { return DateField(out, &std::tm::tm_mday, 0, 2); }
int CZusb_IO::GetHour(char *out) { return DateField(out, &std::tm::tm_hour, 0, 2); }
int CZusb_IO::GetMin(char *out) { return DateField(out, &std::tm::tm_min, 0, 2); }
int CZusb_IO::GetSec(char *out) { return DateField(out, &std::tm::tm_sec, 0, 2); }
