#include "transport/Channel.h"

#include <cstring>

#include "zPLR.h"

namespace zplr::transport {

namespace {

uint32_t NumberOf(uint64_t outstanding) { return static_cast<uint32_t>(outstanding >> 32); }
uint32_t ConnectionOf(uint64_t outstanding) { return static_cast<uint32_t>(outstanding); }

// The reply to `outstanding` can no longer come.
bool Hopeless(DeviceSlot &s, uint64_t outstanding)
{
    const uint32_t n = NumberOf(outstanding);
    return n != 0 && (s.FailedPacket.load() == n || s.AbandonedPacket.load() == n ||
                      s.LossCount.load() != ConnectionOf(outstanding) ||
                      s.ReportThreadAlive.load() == 0);
}

}  // namespace

uint32_t NumberPacket(DeviceSlot &s)
{
    const uint32_t n = s.PacketCount.fetch_add(1, std::memory_order_relaxed) + 1;
    s.Outstanding.store(uint64_t{n} << 32 | s.LossCount.load(), std::memory_order_release);
    s.DeviceStatus.fetch_or(AwaitingReply, std::memory_order_acq_rel);
    return n;
}

void DropAck(DeviceSlot &s)
{
    const uint64_t o = s.Outstanding.load(std::memory_order_acquire);
    if (s.RepliedPacket.load() == NumberOf(o) || Hopeless(s, o))
        s.Clear(AwaitingReply);
}

void CreditReply(DeviceSlot &s)
{
    const uint64_t o = s.Outstanding.load(std::memory_order_acquire);
    const uint32_t n = NumberOf(o);
    // A report that came before the packet went out is not its reply.
    if (n != 0 && ConnectionOf(o) == s.LossCount.load() && s.FailedPacket.load() != n &&
        s.SendingPacket.load(std::memory_order_acquire) == n)
        s.RepliedPacket.store(n, std::memory_order_release);
    // Release: the payload is in place. The dispatcher notifies once for
    // the whole report.
    s.DeviceStatus.fetch_and(~AwaitingReply, std::memory_order_acq_rel);
}

int HandOver(DeviceSlot &s, const uint8_t *packet, std::atomic<int> &ticks)
{
    if (s.CommandPipeCtx.Run.load(std::memory_order_acquire) != 1)
        return -2;
    // A reply that can no longer come is not waited for; one that may still
    // come is waited for up to 101 polls, and then given up, so that the
    // command after this one goes out.
    const uint64_t before = s.Outstanding.load(std::memory_order_acquire);
    if (!s.Gate.Wait(ticks, 100, LimitLong,
                     [&] { return !s.Has(AwaitingReply) || Hopeless(s, s.Outstanding.load()); })) {
        s.AbandonedPacket.store(NumberOf(before));
        s.Gate.Notify();
        return -3;
    }
    const bool recording = s.SoundInPipeCtx.StartRecord.load() == 1;
    if (recording) {
        s.Put(s.SoundInPauseRequest, 1);
        if (!s.Gate.Wait(ticks, 100, LimitLong, [&] { return s.SoundInReading.load() != 1; })) {
            s.Put(s.SoundInPauseRequest, 0);
            return -3;
        }
    }
    s.OutstandingCode.store(packet[0], std::memory_order_relaxed);  // published by the number
    const uint32_t n = NumberPacket(s);
    {
        std::lock_guard<std::mutex> lock(s.CommandLock);
        std::memcpy(s.CommandBuffer, packet, PacketSize);
        s.WritingPacket.store(n, std::memory_order_relaxed);
        s.CommandPipeCtx.Data.store(s.CommandBuffer, std::memory_order_relaxed);
        s.CommandPipeCtx.Length.store(PacketSize, std::memory_order_relaxed);
    }
    s.Put(s.CommandPipeCtx.WritePending, 1);
    if (recording)
        s.Put(s.SoundInPauseRequest, 0);
    return 1;
}

int AwaitReply(DeviceSlot &s, int limit)
{
    const uint64_t o = s.Outstanding.load(std::memory_order_acquire);
    const uint32_t n = NumberOf(o);
    auto replied = [&] { return s.RepliedPacket.load(std::memory_order_acquire) == n; };
    const bool settled = s.Gate.Wait(s.WaitTicks, 100, limit, [&] { return replied() || Hopeless(s, o); });
    return settled && replied() ? 1 : -3;
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
