#include "transport/PipeThreads.h"
#include "transport/StartRequest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/Driver.h"
#include "platform/Message.h"
#include "transport/Channel.h"
#include "transport/Discovery.h"
#include "transport/Dispatcher.h"
#include "zPLR.h"

namespace zplr::transport {
namespace {

std::atomic<StreamWork> g_Record{nullptr};
std::atomic<StreamWork> g_Play{nullptr};

// The session a thread was started for; it leaves as soon as that session
// is over, whatever Run says later (a later session sets it again).
struct Session {
    DeviceSlot &Slot;
    PipeThreadCtx &Ctx;
    uint32_t Number;
    bool Current() const { return Slot.SessionNumber.load() == Number; }
    bool Running() const { return Ctx.Run.load() == 1 && Current(); }
};

Session Take(void *arg, PipeThreadCtx DeviceSlot::*ctx)
{
    ThreadStart start = *static_cast<ThreadStart *>(arg);
    delete static_cast<ThreadStart *>(arg);
    return {*start.Slot, (*start.Slot).*ctx, start.Session};
}

// Sleeps one interval, or less when the thread is to stop.
void Pause(const Session &me, int ms)
{
    std::atomic<int> ticks{0};
    me.Slot.Gate.Wait(ticks, ms, 0, [&] { return !me.Running(); });
}

template <class Pred>
void WaitFor(DeviceSlot &s, int ms, Pred done)
{
    std::atomic<int> ticks{0};
    s.Gate.Wait(ticks, ms, -1, done);
}

void CloseHandle(ZlHandle &h)
{
    if (h != ZL_INVALID_HANDLE)
        platform::Driver().Close(h);
    h = ZL_INVALID_HANDLE;
}

// Counts one opened pipe; the open that makes the count exactly 4 opens the
// slot.
int CountOpen(DeviceSlot &s)
{
    const int count = s.OpenPipeCount.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (count == 4)
        s.Clear(Closed | Reconnecting);
    return count;
}

enum class Kind { Command, SoundIn, SoundOut };

struct Secondary {
    Session Me;
    PipeThreadCtx &Ctx;
    std::atomic<uint8_t> &Alive;
    std::atomic<uint8_t> &Reopen;
    Kind Which;
};

bool LeaveCondition(DeviceSlot &s, const Secondary &t)
{
    switch (t.Which) {
    case Kind::Command:
        return t.Ctx.WritePending.load(std::memory_order_acquire) == 1 || s.AckPending.load() == 1;
    case Kind::SoundIn: return t.Ctx.StartRecord.load() == 1 && t.Reopen.load() != 1;
    case Kind::SoundOut: return t.Ctx.StartPlay.load() == 1 && t.Reopen.load() != 1;
    }
    return false;
}

// The pipe's work after it left its open cycle.
void Work(DeviceSlot &s, Secondary &t, ZlHandle &pipe, ZlHandle device, bool &writeFailed,
          uint32_t &lossesAtFailure)
{
    if (t.Which == Kind::Command) {
        static const Packet Ack(41);
        const uint8_t *data = Ack.Bytes;
        unsigned len = PacketSize;
        bool paused = false;
        uint32_t number;
        uint8_t packet[PacketSize];
        if (t.Ctx.WritePending.load(std::memory_order_acquire) == 1) {
            // Taken now, not at the next cycle: a reply may already be in and
            // the next packet handed over before this thread comes round again.
            std::lock_guard<std::mutex> lock(s.CommandLock);
            t.Ctx.WritePending.store(0, std::memory_order_relaxed);
            const uint8_t *from = t.Ctx.Data.load(std::memory_order_relaxed);
            len = std::min<unsigned>(t.Ctx.Length.load(std::memory_order_relaxed), PacketSize);
            data = from ? static_cast<const uint8_t *>(std::memcpy(packet, from, len)) : nullptr;
            number = s.WritingPacket.load(std::memory_order_relaxed);
        } else {
            s.AckPending.store(0);
            number = 0;
            // As for any command: no sound is read while the box answers.
            if (s.SoundInPipeCtx.StartRecord.load() == 1) {
                paused = true;
                s.Put(s.SoundInPauseRequest, 1);
                std::atomic<int> ticks{0};
                s.Gate.Wait(ticks, 100, LimitLong, [&] {
                    return s.SoundInReading.load() != 1 || !t.Me.Running();
                });
            }
        }
        unsigned done = 0;
        // Published before the write: the reply may come while it runs. An
        // ack leaves it: the packet before it may still be answered.
        if (number)
            s.SendingPacket.store(number, std::memory_order_release);
        const bool written = data && platform::Driver().Write(pipe, data, len, &done);
        if (!t.Me.Current())
            return;  // a later session owns the flags now
        if (paused)
            s.Put(s.SoundInPauseRequest, 0);
        if (!written) {
            ResetPipe(pipe);
            // Its reply cannot come.
            if (number)
                s.FailedPacket.store(number);
            else
                DropAck(s);
            s.Set(Closed);
            writeFailed = true;
            lossesAtFailure = s.LossCount.load();
            s.Put(t.Reopen, 1);
        }
        return;
    }
    StreamWork w = (t.Which == Kind::SoundIn ? g_Record : g_Play).load();
    if (t.Which == Kind::SoundIn) {
        // A recording keeps StartRecord up while it runs (commands pause
        // its reads on it) and lowers it itself just before it publishes
        // its end: lowering it here, after the work, could wipe out a start
        // made in between.
        if (!w)
            t.Ctx.StartRecord.store(0);
    } else if (!w) {
        t.Ctx.StartPlay.store(0);
        t.Ctx.PlayDone.store(1);
    }
    // The play work likewise keeps StartPlay up for its whole cycle and
    // lowers it itself, before PlayDone.
    if (w)
        w(s, pipe, device);
    s.Gate.Notify();
}

void RunSecondary(DeviceSlot &s, Secondary t)
{
    ZlHandle pipe = ZL_INVALID_HANDLE, device = ZL_INVALID_HANDLE;
    bool writeFailed = false;
    uint32_t lossesAtFailure = 0;
    const ZlGuid *cls = InterfaceClass(s);
    auto wake = [&] {
        return LeaveCondition(s, t) || !t.Me.Running() || t.Reopen.load() == 1;
    };
    for (;;) {
        // A pending packet or stream goes out only while the thread runs.
        if (!t.Me.Running())
            break;
        if (LeaveCondition(s, t)) {
            Work(s, t, pipe, device, writeFailed, lossesAtFailure);
            continue;
        }
        if (t.Reopen.load() != 1) {
            WaitFor(s, 10, wake);
            continue;
        }
        CloseHandle(device);
        CloseHandle(pipe);
        if (s.ReportPipeListening.load() != 1) {
            WaitFor(s, 10, [&] {
                return s.ReportPipeListening.load() == 1 || !t.Me.Running() ||
                       LeaveCondition(s, t);
            });
            continue;
        }
        char path[PathSize];
        ZlHandle found = FindDeviceInterface(cls, path);
        if (found == ZL_INVALID_HANDLE) {
            Pause(t.Me, 10);
            continue;
        }
        platform::Driver().Close(found);
        char pipePath[PathSize];
        if (PipePath(path, t.Ctx.PipeName, pipePath))
            pipe = platform::Driver().Open(pipePath);
        if (pipe == ZL_INVALID_HANDLE) {
            Pause(t.Me, 10);
            continue;
        }
        if (t.Which != Kind::Command) {
            device = FindDeviceInterface(cls, path);
            if (device == ZL_INVALID_HANDLE) {
                Pause(t.Me, 10);
                continue;
            }
        }
        if (!t.Me.Running())
            continue;  // leaves above, without counting for a later session
        s.Put(t.Reopen, 0);
        const int opened = CountOpen(s);
        if (writeFailed && opened > 4 && s.LossCount.load() == lossesAtFailure &&
            s.ReportPipeListening.load() == 1 && s.SoundInPipeReopen.load() != 1 &&
            s.SoundOutPipeReopen.load() != 1) {
            // Only pipe 1 failed, after all four had opened, and the other
            // three stayed open: the slot is whole again, unless a loss
            // has begun meanwhile.
            uint32_t st = s.DeviceStatus.load();
            while (!(st & Reconnecting) &&
                   !s.DeviceStatus.compare_exchange_weak(st, st & ~Closed, std::memory_order_acq_rel)) {
            }
            s.Gate.Notify();
        }
        writeFailed = false;
        WaitFor(s, 10, wake);
    }
    CloseHandle(device);
    CloseHandle(pipe);
    if (t.Me.Current())
        s.Put(t.Alive, 0);
}

}  // namespace

void SetRecordWork(StreamWork record) { g_Record.store(record); }
void SetPlayWork(StreamWork play) { g_Play.store(play); }

void ResetPipe(ZlHandle h)
{
    if (h == ZL_INVALID_HANDLE)
        return;
    unsigned done = 0;
    platform::Driver().Control(h, PipeResetRequest, nullptr, 0, nullptr, 0, &done);
}

void FormatAlarm(int deviceIndex, char (&out)[256])
{
    // The connection alarm, in code page 936.
    static const char Text[] =
        "          ZL(%d)\xC1\xAC\xBD\xD3\xB2\xBB\xD5\xFD\xB3\xA3!\n"
        "\xBB\xF2\xC7\xEB\xCF\xC8\xCD\xCB\xB3\xF6\xD3\xA6\xD3\xC3\xB3\xCC\xD0\xF2\xBA\xF3"
        "\xA3\xAC\xD4\xD9\xB0\xCE\xB3\xF6USB\xBD\xD3\xCD\xB7\xA1\xA3\n"
        "        \xBB\xF2USB\xC1\xB4\xBD\xD3\xCD\xB7\xBD\xD3\xB4\xA5\xB2\xBB\xC1\xBC\xA1\xA3";
    std::snprintf(out, sizeof out, Text, deviceIndex + 1);
}

namespace {
bool BrokenRecordingOver(DeviceSlot &s, uint32_t alarmFlags)
{
    return (alarmFlags & AlarmRecordingBroken) && s.SoundInPipeReopen.load() == 0 &&
           !s.Has(Reconnecting);
}
}  // namespace

void AlarmThread(void *arg)
{
    // A message that the user leaves open can outlast the session; the
    // thread must then not carry on as part of the next one.
    const Session me = Take(arg, &DeviceSlot::AlarmCtx);
    DeviceSlot &s = me.Slot;
    auto running = [&] { return me.Running(); };
    while (running()) {
        uint32_t flags = s.AlarmFlags.load();
        if (flags & AlarmRecordingOpen) {
            // A recording that broke keeps the alarm quiet until pipe 2 has
            // been opened again and no loss is under way: the loss behind
            // the break, if there was one, has then been raised and passes
            // here in silence.
            const bool over = BrokenRecordingOver(s, flags);
            if (flags & AlarmConnectionLost)
                s.AlarmFlags.fetch_and(~AlarmConnectionLost);
            if (over)
                s.AlarmFlags.fetch_and(~(AlarmRecordingOpen | AlarmRecordingBroken));
        } else if (flags & AlarmConnectionLost) {
            s.AlarmFlags.fetch_and(~AlarmConnectionLost);
            char text[256];
            FormatAlarm(s.Index, text);
            platform::ShowMessage(text, platform::MessageOkTopmost);
        }
        if (running())
            WaitFor(s, 500, [&] {
                const uint32_t f = s.AlarmFlags.load();
                return !running() || (f & AlarmConnectionLost) || BrokenRecordingOver(s, f);
            });
    }
    if (me.Current())
        s.Put(s.AlarmThreadAlive, 0);
}

void CancelReportRead(DeviceSlot &s)
{
    std::lock_guard<std::mutex> lock(s.HandleLock);
    if (s.ReportPipe != ZL_INVALID_HANDLE)
        platform::Driver().CancelIo(s.ReportPipe);
}

void ReportThread(void *arg)
{
    const Session me = Take(arg, &DeviceSlot::ReportPipeCtx);
    DeviceSlot &s = me.Slot;
    PipeThreadCtx &ctx = me.Ctx;
    ZlDriverBackend &driver = platform::Driver();
    const ZlGuid *cls = InterfaceClass(s);
    const unsigned length = ctx.Length.load() ? ctx.Length.load() : PacketSize;
    uint8_t *data = new (std::nothrow) uint8_t[length + 16 < PacketSize + 16 ? PacketSize + 16 : length + 16];
    ctx.Data.store(data);

    auto publish = [&](ZlHandle h) {
        std::lock_guard<std::mutex> lock(s.HandleLock);
        if (me.Current())
            s.ReportPipe = h;
    };

    while (data && me.Running()) {
        int attempts = 0;
        ZlHandle pipe = ZL_INVALID_HANDLE, device = ZL_INVALID_HANDLE;
        // Open: repeat until pipe 0 opens and the report start is accepted.
        bool opened = false;
        while (me.Running()) {
            char path[PathSize];
            ZlHandle found = FindDeviceInterface(cls, path);
            if (found != ZL_INVALID_HANDLE) {
                driver.Close(found);
                char pipePath[PathSize];
                if (PipePath(path, "ZLDrv0", pipePath))
                    pipe = driver.Open(pipePath);
                if (pipe != ZL_INVALID_HANDLE)
                    device = FindDeviceInterface(cls, path);
                if (pipe != ZL_INVALID_HANDLE && device == ZL_INVALID_HANDLE)
                    CloseHandle(pipe);
            }
            if (pipe != ZL_INVALID_HANDLE) {
                uint8_t out = 0;
                const StartInput in = MakeStartInput(1, &out, 0x472);
                unsigned done = 0;
                opened = driver.Control(device, ReportStartRequest, in.Bytes, in.Size, &out, 1,
                                        &done) != 0;
                break;
            }
            if (attempts == 4) {
                Pause(me, 100);
            } else {
                ++attempts;
                Pause(me, 10);
            }
            if (!me.Current())
                break;
            if (attempts != 1)
                s.Set(ConnectTried | LinkEvent);
        }
        if (opened && me.Running()) {
            CountOpen(s);
            s.Set(ConnectTried | LinkEvent);
            publish(pipe);
            while (me.Running()) {
                s.Put(s.ReportPipeListening, 1);
                std::memset(data, 0, PacketSize + 1);
                unsigned got = 0;
                const bool read = driver.Read(pipe, data, length, &got) != 0;
                if (!me.Current())
                    break;  // a later session's: nothing of this read is used
                if (!read) {
                    if (ctx.Run.load() != 1)
                        break;  // cancelled for shut-down: no loss
                    ResetPipe(pipe);
                    s.DeviceStatus.fetch_or(LinkEvent | Closed | Reconnecting);
                    s.Clear(ConnectTried);
                    s.Put(s.ReportPipeListening, 0);
                    s.AlarmFlags.fetch_or(AlarmConnectionLost);
                    s.LossCount.fetch_add(1);
                    s.Gate.Notify();
                    Pause(me, 500);
                    if (!me.Current())
                        break;
                    s.Put(s.CommandPipeReopen, 1);
                    s.Put(s.SoundInPipeReopen, 1);
                    s.Put(s.SoundOutPipeReopen, 1);
                    s.Put(s.OpenPipeCount, 0);
                    break;
                }
                data[PacketSize] = 0;
                if (got == 0)
                    continue;  // nothing delivered: nothing to decode
                uint8_t report[PacketSize];
                std::memcpy(report, data, PacketSize);
                Dispatch(s, report, nullptr);
            }
            publish(ZL_INVALID_HANDLE);
        }
        if (me.Current())
            s.Clear(ConnectTried);
        CloseHandle(device);
        CloseHandle(pipe);
        // A driver that keeps refusing the report start would otherwise
        // have this thread spin on it.
        if (!opened)
            Pause(me, 10);
    }
    if (!me.Current()) {
        delete[] data;  // the slot's fields are a later session's now
        return;
    }
    ctx.Data.store(nullptr);
    delete[] data;
    s.Put(s.ReportPipeListening, 0);
    s.Put(ctx.Run, 0);
    s.Put(s.ReportThreadAlive, 0);
}

void CommandThread(void *arg)
{
    const Session me = Take(arg, &DeviceSlot::CommandPipeCtx);
    DeviceSlot &s = me.Slot;
    RunSecondary(s, {me, s.CommandPipeCtx, s.CommandThreadAlive, s.CommandPipeReopen, Kind::Command});
}

void SoundInThread(void *arg)
{
    const Session me = Take(arg, &DeviceSlot::SoundInPipeCtx);
    DeviceSlot &s = me.Slot;
    RunSecondary(s, {me, s.SoundInPipeCtx, s.SoundInThreadAlive, s.SoundInPipeReopen, Kind::SoundIn});
}

void SoundOutThread(void *arg)
{
    const Session me = Take(arg, &DeviceSlot::SoundOutPipeCtx);
    DeviceSlot &s = me.Slot;
    RunSecondary(s, {me, s.SoundOutPipeCtx, s.SoundOutThreadAlive, s.SoundOutPipeReopen, Kind::SoundOut});
}

}  // namespace zplr::transport
