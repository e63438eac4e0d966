#include <cstring>

#include "transport/Channel.h"
#include "transport/PipeThreads.h"
#include "zPLR.h"

using namespace zplr::transport;
using zplr::platform::ThreadPriority;

namespace zplr {
CObject::~CObject() = default;
}

namespace {

constexpr std::size_t SoundInStack = 10000;

// Sets Run and the alive flag before the thread exists, so that a stop that
// follows at once is never undone by the thread's own start.
bool StartThread(DeviceSlot &s, PipeThreadCtx &ctx, std::atomic<uint8_t> &alive,
                 void (*entry)(void *), ThreadPriority priority, std::size_t stack)
{
    ctx.Run.store(1);
    alive.store(1);
    auto *start = new ThreadStart{&s, s.SessionNumber.load()};
    if (ctx.Thread.Start(entry, start, priority, stack))
        return true;
    delete start;
    ctx.Run.store(0);
    alive.store(0);
    return false;
}

void InitContext(DeviceSlot &s, PipeThreadCtx &ctx, CZusb_IO *owner, const char *pipe,
                 uint32_t length)
{
    ctx.Run.store(0);
    {
        std::lock_guard<std::mutex> lock(s.EchoLock);
        ctx.Owner = owner;
    }
    ctx.Data.store(nullptr);
    ctx.Length.store(length);
    std::memset(ctx.PipeName, 0, sizeof ctx.PipeName);
    std::strncpy(ctx.PipeName, pipe, sizeof ctx.PipeName - 1);
    ctx.StartRecord.store(0);
    ctx.WritePending.store(0);
    ctx.StartPlay.store(0);
    ctx.PlayDone.store(0);
    ctx.PlayStop.store(0);
}

void ResetSlot(DeviceSlot &s)
{
    s.DeviceStatus.store(Closed);
    s.AlarmThreadAlive.store(0);
    s.ReportThreadAlive.store(0);
    s.CommandThreadAlive.store(0);
    s.SoundInThreadAlive.store(0);
    s.SoundOutThreadAlive.store(0);
    s.AlarmFlags.store(0);
    s.OpenPipeCount.store(0);
    s.ReportPipeListening.store(0);
    s.CommandPipeReopen.store(1);
    s.SoundInPipeReopen.store(1);
    s.SoundOutPipeReopen.store(1);
    s.SoundInPauseRequest.store(0);
    s.SoundInReading.store(0);
    s.SoundOutAck.store(0);
    s.AckPending.store(0);
    s.RecordedBytes.store(0);
    s.RecordToPC.store(0);
    s.RecordFinished.store(1);
    s.RecordActive.store(0);
    s.RecordBroken.store(0);
    s.RecordStop.store(0);
    s.PlayActive.store(0);
    s.PcRecBufAFull.store(0);
    s.PcRecBufBFull.store(0);
    s.PlayFromFile.store(0);
    s.PlaySeekRequest.store(0);
    s.PcPlayDataReady.store(0);
    s.PlayStatusArg2.store(0);
    s.PlayStatusArg3.store(1);
    s.DtmfReadIndex.store(0);
    s.DtmfWriteIndex.store(0);
    s.Tone450ReadIndex.store(0);
    s.Tone450WriteIndex.store(0);
    s.DialPara1.store(5);
    s.DialPara2.store(5);
    s.DialPara3.store(6);
    s.ModifyIdResult.store(0);
}

bool SessionRunning(DeviceSlot &s)
{
    return s.AlarmCtx.Thread.Started() || s.ReportPipeCtx.Thread.Started() ||
           s.CommandPipeCtx.Thread.Started() || s.SoundInPipeCtx.Thread.Started() ||
           s.SoundOutPipeCtx.Thread.Started();
}

// A bounded stop wait: up to 101 polls of `ms` for the alive flag to drop.
void AwaitStop(DeviceSlot &s, std::atomic<uint8_t> &alive, int ms)
{
    s.Gate.Wait(s.WaitTicks, ms, 100, [&] { return alive.load() == 0; });
}

// Threads that ended are joined; one that is still running is let go and
// ends by itself at its next look at Run.
void Reap(PipeThreadCtx &ctx, std::atomic<uint8_t> &alive)
{
    if (alive.load() == 0)
        ctx.Thread.Join();
    else
        ctx.Thread.Detach();
}

int EndSession(CZusb_IO &io, DeviceSlot &s, int (CZusb_IO::*requestSpaceCode)())
{
    s.Put(s.AlarmCtx.Run, 0);
    AwaitStop(s, s.AlarmThreadAlive, 10);

    s.Put(s.ReportPipeCtx.Run, 0);
    if ((io.*requestSpaceCode)() != 1)
        CancelReportRead(s);  // no reply will end the blocked read
    AwaitStop(s, s.ReportThreadAlive, 20);
    if (s.ReportThreadAlive.load() != 0) {
        CancelReportRead(s);
        AwaitStop(s, s.ReportThreadAlive, 20);
    }

    s.Put(s.SoundInPipeCtx.Run, 0);
    AwaitStop(s, s.SoundInThreadAlive, 20);
    s.Put(s.SoundOutPipeCtx.Run, 0);
    AwaitStop(s, s.SoundOutThreadAlive, 20);
    s.Put(s.CommandPipeCtx.Run, 0);
    AwaitStop(s, s.CommandThreadAlive, 20);

    Reap(s.AlarmCtx, s.AlarmThreadAlive);
    Reap(s.ReportPipeCtx, s.ReportThreadAlive);
    Reap(s.SoundInPipeCtx, s.SoundInThreadAlive);
    Reap(s.SoundOutPipeCtx, s.SoundOutThreadAlive);
    Reap(s.CommandPipeCtx, s.CommandThreadAlive);

    s.SessionNumber.fetch_add(1);
    zplr::platform::SleepMs(10);
    s.DeviceStatus.store(Closed);
    s.Gate.Notify();
    return 1;
}

}  // namespace

CZusb_IO::CZusb_IO() : CZusb_IO(0) {}

CZusb_IO::CZusb_IO(int deviceIndex) : DeviceIndex(deviceIndex)
{
    std::memset(EchoReply, 0, sizeof EchoReply);
}

CZusb_IO::~CZusb_IO()
{
    // Nothing may reach this object after its end: the report thread, or
    // another object's echo test, would otherwise write or read freed memory.
    DeviceSlot &s = SlotFor(DeviceIndex);
    {
        std::lock_guard<std::mutex> lock(s.EchoLock);
        for (PipeThreadCtx *ctx : {&s.AlarmCtx, &s.ReportPipeCtx, &s.CommandPipeCtx,
                                   &s.SoundInPipeCtx, &s.SoundOutPipeCtx})
            if (ctx->Owner == this)
                ctx->Owner = nullptr;
    }
    ExistUSB_IO();
}

int CZusb_IO::InitialUSB_IO() { return InitialUSB_IOEx(0); }

int CZusb_IO::InitialUSB_IOEx(int)
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    std::lock_guard<std::mutex> lock(s.SessionLock);
    if (SessionRunning(s))
        EndSession(*this, s, &CZusb_IO::RequestSpaceCode);

    ResetSlot(s);
    InitContext(s, s.AlarmCtx, this, "", 0);
    InitContext(s, s.ReportPipeCtx, this, "ZLDrv0", PacketSize);
    InitContext(s, s.CommandPipeCtx, this, "ZLDrv1", PacketSize);
    InitContext(s, s.SoundInPipeCtx, this, "ZLDrv2", 0);
    InitContext(s, s.SoundOutPipeCtx, this, "ZLDrv3", 0);
    s.Gate.Notify();

    StartThread(s, s.AlarmCtx, s.AlarmThreadAlive, AlarmThread, ThreadPriority::Normal, 0);
    StartThread(s, s.ReportPipeCtx, s.ReportThreadAlive, ReportThread, ThreadPriority::Normal, 0);

    unsigned char key[16];
    std::memcpy(key, BoxKey, 16);
    Generate_Key(key, s.CipherEncSubkeys, s.CipherDecSubkeys);

    if (Create_WRWThd() == 1)
        s.Gate.Wait(s.WaitTicks, 10, -1, [&] {
            return s.ReportThreadAlive.load() != 0 && s.CommandThreadAlive.load() != 0;
        });
    s.Set(InitDone);
    return 1;
}

int CZusb_IO::Create_WRWThd()
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    StartThread(s, s.CommandPipeCtx, s.CommandThreadAlive, CommandThread, ThreadPriority::Normal, 0);
    StartThread(s, s.SoundInPipeCtx, s.SoundInThreadAlive, SoundInThread, ThreadPriority::Highest,
                SoundInStack);
    StartThread(s, s.SoundOutPipeCtx, s.SoundOutThreadAlive, SoundOutThread, ThreadPriority::Normal, 0);
    bool open = s.Gate.Wait(s.WaitTicks, 35, 12, [&] { return s.OpenPipeCount.load() >= 4; });
    return open ? 1 : -1;
}

int CZusb_IO::ExistUSB_IO()
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    std::lock_guard<std::mutex> lock(s.SessionLock);
    return EndSession(*this, s, &CZusb_IO::RequestSpaceCode);
}

int CZusb_IO::RequestSpaceCode()
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    if (s.Has(Closed))
        return -1;
    int r = HandOver(s, Packet(14).Bytes, s.WaitTicks);
    if (r < 1)
        return r;
    // The report thread may have seen its Run cleared right after the
    // previous reply and ended: then the wait gives up at once.
    return AwaitReply(s, LimitLong);
}

int CZusb_IO::IfConnectUSB()
{
    return (SlotFor(DeviceIndex).DeviceStatus.load() & Closed) ? 1 : 0;
}

void CZusb_IO::IfNotCompleteInitUSB()
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    s.Gate.Wait(s.WaitTicks, 10, -1, [&] {
        return s.Has(ConnectTried) || s.ReportThreadAlive.load() == 0;
    });
}

int CZusb_IO::GetTelStatus() { return static_cast<int>(SlotFor(DeviceIndex).DeviceStatus.load()); }
