#include "transport/Channel.h"

#include <cstring>

#include "zPLR.h"

namespace zplr::transport {

int HandOver(DeviceSlot &s, const uint8_t *packet, std::atomic<int> &ticks)
{
    if (s.CommandPipeCtx.Run.load(std::memory_order_acquire) != 1)
        return -2;
    // Once the report thread has ended (the session is ending), no reply
    // can come: waiting for one would only hold up the shut-down.
    if (!s.Gate.Wait(ticks, 100, LimitLong, [&] {
            return !s.Has(AwaitingReply) || s.ReportThreadAlive.load() == 0;
        }))
        return -3;
    const bool recording = s.SoundInPipeCtx.StartRecord.load() == 1;
    if (recording) {
        s.Put(s.SoundInPauseRequest, 1);
        if (!s.Gate.Wait(ticks, 100, LimitLong, [&] { return s.SoundInReading.load() != 1; })) {
            s.Put(s.SoundInPauseRequest, 0);
            return -3;
        }
    }
    s.DeviceStatus.fetch_or(AwaitingReply, std::memory_order_acq_rel);
    std::memcpy(s.CommandBuffer, packet, PacketSize);
    s.CommandPipeCtx.Data.store(s.CommandBuffer, std::memory_order_relaxed);
    s.CommandPipeCtx.Length.store(PacketSize, std::memory_order_relaxed);
    s.Put(s.CommandPipeCtx.WritePending, 1);
    if (recording)
        s.Put(s.SoundInPauseRequest, 0);
    return 1;
}

int AwaitReply(DeviceSlot &s, int limit)
{
    return s.Gate.Wait(s.WaitTicks, 100, limit, [&] { return !s.Has(AwaitingReply); }) ? 1 : -3;
}

int SendCommand(DeviceSlot &s, const Packet &packet, int limit)
{
    if (s.Has(Closed))
        return -1;
    int r = HandOver(s, packet.Bytes, s.WaitTicks);
    if (r < 1)
        return r;
    return AwaitReply(s, limit);
}

}  // namespace zplr::transport

int CZusb_IO::Write_Data_to_USB(unsigned char *packet)
{
    using namespace zplr::transport;
    DeviceSlot &s = SlotFor(DeviceIndex);
    if (!packet)
        return -4;
    return HandOver(s, packet, s.WaitTicks);
}
