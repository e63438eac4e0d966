// Recording from the line: the sound-in thread's recording cycle, to a WAV
// file or into the two PC-side chunk buffers, and the calls that drive it.
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "device/Playback.h"
#include "platform/Clock.h"
#include "platform/Driver.h"
#include "platform/Message.h"
#include "sound/WavLayout.h"
#include "transport/Channel.h"
#include "transport/Dispatcher.h"
#include "transport/PipeThreads.h"
#include "transport/StartRequest.h"
#include "zPLR.h"

using namespace zplr::transport;
using zplr::sound::WavHeaderSize;

namespace {

constexpr unsigned ReadSize = 512;   // two frames
constexpr unsigned FrameSize = 256;
constexpr unsigned FrameAudio = 250;
constexpr unsigned BlockSize = 2 * FrameAudio;
constexpr int BurstReads = 32;
constexpr int PauseLimit = 300;      // gives up after the 301st poll
constexpr int StopLimit = 120;
constexpr int CloseLimit = 60;
constexpr size_t PathLimit = 1023;   // what the path field holds
constexpr size_t StrippedLimit = 263;
constexpr size_t PcChunk = 512;

const uint8_t Marker[4] = {0x73, 0x74, 0x63, 0x71};  // "stcq"
const char StopError[] = "In StopReadSound Error!";

bool MarkerAt(const uint8_t *p) { return std::memcmp(p, Marker, 4) == 0; }

// The in-band status bits of one frame, then its key.
void ApplyFrame(DeviceSlot &s, const uint8_t *frame)
{
    const uint8_t status = frame[4];
    if (status & 0x80)
        return;
    if (status & 0x02)
        s.Set(BusyTone);
    if (status & 0x04)
        s.Clear(OffHook | PhoneOffHook);
    if (status & 0x08)
        s.Set(PhoneOffHook | PhonePickedUp);
    if (status & 0x10)
        s.Clear(PhoneOffHook);
    if (frame[5] != 0) {
        PushKey(s, frame[5]);
        s.Gate.Notify();
    }
}

// Writes all of `n` bytes; false on a short or failed write.
bool WriteAll(std::FILE *f, const void *p, size_t n) { return std::fwrite(p, 1, n, f) == n; }

// Rewrites the header for the audio actually in the file and closes it;
// returns the file's size.
uint32_t CompleteFile(std::FILE *f)
{
    uint32_t size = WavHeaderSize;
    if (std::fseek(f, 0, SEEK_END) == 0) {
        long end = std::ftell(f);
        if (end > static_cast<long>(WavHeaderSize))
            size = static_cast<uint32_t>(end);
    }
    uint8_t header[WavHeaderSize];
    zplr::sound::MakeCompletedWavHeader(header, size - WavHeaderSize);
    if (std::fseek(f, 0, SEEK_SET) == 0)
        WriteAll(f, header, sizeof header);
    std::fclose(f);
    return size;
}

// Out of step: the whole read is dropped, and a discard read brings the
// next one back to a frame boundary.
void Resynchronise(ZlHandle pipe, uint8_t *buf, unsigned got)
{
    unsigned discard = 0;
    if (got == ReadSize) {
        unsigned k = 0;
        while (k < 4 && !MarkerAt(buf + 64 * k))
            ++k;
        discard = 64 * k;
    } else {
        // A short read: the next boundary lies one frame behind the first
        // marker it holds.
        for (unsigned m = 0; m + 4 <= got; ++m)
            if (MarkerAt(buf + m)) {
                discard = (m + FrameSize - got % FrameSize) % FrameSize;
                break;
            }
    }
    if (discard) {
        // The read buffer's content is spent: it takes the discarded bytes.
        unsigned done = 0;
        zplr::platform::Driver().Read(pipe, buf, discard, &done);
    }
}

// The cycle's buffers live on the heap: the sound-in thread's stack is small.
struct Buffers {
    uint8_t Read[ReadSize];
    uint8_t Block[BlockSize];
};

struct Cycle {
    DeviceSlot &S;
    ZlHandle Pipe;
    Buffers &B;
    std::FILE *File = nullptr;
    bool WriteFailed = false;

    bool Run() const { return S.SoundInPipeCtx.Run.load() == 1; }
    bool Wanted() const { return S.RecordActive.load() == 1 && Run(); }
    bool Broken() const { return S.SoundInPipeReopen.load() != 0; }

    void ReadFailed()
    {
        ResetPipe(Pipe);
        S.Put(S.SoundInReading, 0);
        S.Put(S.SoundInPipeReopen, 1);
    }

    // One read of the file mode: two frames, 500 samples to the file.
    void FileRead()
    {
        uint8_t *buf = B.Read;
        unsigned got = 0;
        std::memset(buf, 0, ReadSize);
        if (!zplr::platform::Driver().Read(Pipe, buf, ReadSize, &got)) {
            ReadFailed();
            return;
        }
        if (got != ReadSize || !MarkerAt(buf) || !MarkerAt(buf + FrameSize)) {
            Resynchronise(Pipe, buf, got);
            return;
        }
        ApplyFrame(S, buf);
        ApplyFrame(S, buf + FrameSize);
        uint8_t *block = B.Block;
        std::memcpy(block, buf + 6, FrameAudio);
        std::memcpy(block + FrameAudio, buf + FrameSize + 6, FrameAudio);
        if (!WriteAll(File, block, BlockSize)) {
            WriteFailed = true;
            return;
        }
        S.RecordedBytes.fetch_add(BlockSize);
    }

    bool StopBurst() const
    {
        return S.SoundInPauseRequest.load() != 0 || !Wanted() || S.PlayActive.load() != 0;
    }

    // Between bursts: give way to playback, then to a command until its
    // reply is in. False when the pause outlasted its limit.
    void GiveWay()
    {
        S.Put(S.SoundInReading, 0);
        std::atomic<int> ticks{0};
        S.Gate.Wait(ticks, 10, -1, [&] { return S.PlayActive.load() != 1 || !Wanted(); });
        const bool resumed = S.Gate.Wait(ticks, 100, PauseLimit, [&] {
            return (S.SoundInPauseRequest.load() != 1 && !S.Has(AwaitingReply)) || !Wanted();
        });
        if (!resumed)
            S.Put(S.RecordActive, 0);
    }

    void RunFile()
    {
        while (Wanted() && !Broken() && !WriteFailed) {
            S.Put(S.SoundInReading, 1);
            for (int i = 0; i < BurstReads && !StopBurst() && !Broken() && !WriteFailed; ++i)
                FileRead();
            if (Broken())
                break;
            GiveWay();
        }
    }

    // PC mode: one chunk a pass, as long as the reader asked for, into the
    // chunk buffers in turn.
    void RunPc()
    {
        bool nextA = S.PcRecNextBufA.load() == 1;
        uint8_t *buf = B.Read;
        for (;;) {
            S.Put(S.SoundInReading, 1);
            std::atomic<int> ticks{0};
            S.Gate.Wait(ticks, 1, -1, [&] {
                return S.RecordActive.load() != 0 || S.RecordStop.load() != 0 || !Run();
            });
            if (!Wanted())
                break;
            const uint32_t asked = static_cast<uint32_t>(S.PcRecChunkRequest.load());
            const unsigned size = asked > PcChunk ? PcChunk : asked;
            unsigned got = 0;
            if (!zplr::platform::Driver().Read(Pipe, buf, size, &got)) {
                ReadFailed();
                break;
            }
            if (got > size)
                got = size;
            S.RecordedBytes.fetch_add(static_cast<int32_t>(got));
            std::atomic<uint8_t> &full = nextA ? S.PcRecBufAFull : S.PcRecBufBFull;
            S.Gate.Wait(ticks, 2, -1, [&] { return full.load() != 1 || !Wanted(); });
            uint8_t *chunk = nextA ? S.PcRecBufA : S.PcRecBufB;
            std::memcpy(chunk, buf, got);
            chunk[got] = 0;
            (nextA ? S.PcRecBufALength : S.PcRecBufBLength).store(static_cast<uint16_t>(got));
            S.Put(full, 1);
            nextA = !nextA;
            GiveWay();
            if (!Wanted())
                break;
        }
    }
};

// The recording cycle, run by the sound-in thread when it leaves its open
// cycle with StartRecord up.
void PublishPipe(DeviceSlot &s, ZlHandle pipe)
{
    std::lock_guard<std::mutex> lock(s.HandleLock);
    s.SoundInPipe = pipe;
}

void RecordCycle(DeviceSlot &s, ZlHandle pipe, ZlHandle device)
{
    PipeThreadCtx &ctx = s.SoundInPipeCtx;
    s.Clear(BusyTone);
    PublishPipe(s, pipe);
    auto end = [&](bool normal) {
        PublishPipe(s, ZL_INVALID_HANDLE);
        s.Put(s.SoundInReading, 0);
        // StartRecord falls before the end is published: a start made as
        // soon as the stop returns must find it down, and its own raise
        // must not be undone by this cycle.
        s.Put(ctx.StartRecord, 0);
        if (normal) {
            // Lowered first: a loss right after the stop returned is told.
            s.AlarmFlags.fetch_and(~AlarmRecordingOpen);
            s.Put(s.RecordFinished, 1);
        } else {
            s.Put(s.RecordBroken, 1);
        }
        s.Gate.Notify();
    };
    if (ctx.Run.load() != 1) {
        end(true);
        return;
    }
    if (!SendStreamStart(device)) {
        // The file keeps the empty recording the start left in it.
        s.Put(s.SoundInPipeReopen, 1);
        end(false);
        return;
    }
    s.RecordedBytes.store(0);
    s.AlarmFlags.fetch_and(~AlarmRecordingBroken);
    s.AlarmFlags.fetch_or(AlarmRecordingOpen);

    std::unique_ptr<Buffers> buffers(new (std::nothrow) Buffers);
    if (!buffers) {
        // Nothing can be read: the recording ends as a failed write would.
        s.RecordedBytes.store(WavHeaderSize);
        end(true);
        return;
    }
    Cycle c{s, pipe, *buffers};
    const bool toPc = s.RecordToPC.load() == 1;
    if (toPc) {
        c.RunPc();
        end(!c.Broken());
        return;
    }
    c.File = std::fopen(ctx.FilePath, "wb");
    if (c.File) {
        // Every block goes straight to the file: after a failed write the
        // file holds exactly what was written.
        std::setvbuf(c.File, nullptr, _IONBF, 0);
        uint8_t header[WavHeaderSize];
        zplr::sound::MakeWavHeader(header, zplr::sound::WavPlaceholderRiffSize,
                                   zplr::sound::WavPlaceholderDataSize);
        c.WriteFailed = !WriteAll(c.File, header, sizeof header);
    } else {
        c.WriteFailed = true;
    }
    if (!c.WriteFailed)
        c.RunFile();
    // Completed in every case, also after a pipe failure: a header with the
    // placeholder sizes would hide all but a quarter second of the audio.
    const uint32_t size = c.File ? CompleteFile(c.File) : 0;
    if (c.Broken()) {
        s.AlarmFlags.fetch_or(AlarmRecordingBroken);
        end(false);
        return;
    }
    s.RecordedBytes.store(static_cast<int32_t>(size));
    end(true);
}

void InstallRecordCycle() { SetRecordWork(&RecordCycle); }

// Leaves out '*' and '#'; false when the path does not fit.
bool StripPath(const char *in, char (&out)[StrippedLimit + 1])
{
    if (!in || std::strlen(in) > PathLimit)
        return false;
    size_t n = 0;
    for (const char *p = in; *p; ++p) {
        if (*p == '*' || *p == '#')
            continue;
        if (n == StrippedLimit)
            return false;
        out[n++] = *p;
    }
    out[n] = 0;
    return n > 0;
}

// Creates the file now, so that a path that cannot be written is refused
// before anything is sent. It holds an empty recording until the cycle
// writes it anew.
bool CreateEmpty(const char *path)
{
    std::FILE *f = std::fopen(path, "wb");
    if (!f)
        return false;
    uint8_t header[WavHeaderSize];
    zplr::sound::MakeCompletedWavHeader(header, 0);
    const bool ok = WriteAll(f, header, sizeof header);
    if (std::fclose(f) != 0 || !ok) {
        std::remove(path);
        return false;
    }
    return true;
}

// A recording of the slot is requested or its cycle still runs.
bool Recording(DeviceSlot &s) { return s.SoundInPipeCtx.StartRecord.load() == 1; }

// Starts the record cycle from zero counts, into the file or for the reader.
void BeginCycle(DeviceSlot &s, bool toPc)
{
    InstallRecordCycle();
    s.RecordedBytes.store(0);
    s.RecordBroken.store(0);
    s.RecordStop.store(0);
    s.Put(s.RecordFinished, 0);
    s.RecordToPC.store(toPc ? 1 : 0);
    if (toPc) {
        s.Put(s.PcRecBufAFull, 0);
        s.Put(s.PcRecBufBFull, 0);
        s.PcRecNextBufA.store(1);
    } else {
        // The reader marks its own recording active when it first reads.
        s.Put(s.RecordActive, 1);
    }
    s.Put(s.SoundInPauseRequest, 0);
    s.Put(s.SoundInPipeCtx.StartRecord, 1);
}

int StartFile(CZusb_IO &io, const char *fileName, int recordMode, bool needOffHook)
{
    DeviceSlot &s = SlotFor(io.DeviceIndex);
    if (s.Has(Closed))
        return -1;
    char path[StrippedLimit + 1];
    if (!StripPath(fileName, path))
        return -4;
    if ((needOffHook || recordMode < 1) && !s.Has(OffHook))
        return -4;
    if (s.SoundInPipeCtx.Run.load() != 1)
        return -2;
    // A second start would reset the counters under the running file.
    if (Recording(s))
        return -4;
    if (!CreateEmpty(path))
        return -4;
    s.Clear(PlayEnded);
    io.SetRecordStatus(true, needOffHook ? 0 : recordMode);
    std::memset(s.SoundInPipeCtx.FilePath, 0, sizeof s.SoundInPipeCtx.FilePath);
    std::memcpy(s.SoundInPipeCtx.FilePath, path, std::strlen(path));
    BeginCycle(s, false);
    return 1;
}

// The end of a recording in either mode: the cycle is asked to end and
// awaited for limit + 1 polls, then the box is told to stop streaming.
int Stop(CZusb_IO &io, int limit)
{
    DeviceSlot &s = SlotFor(io.DeviceIndex);
    if (s.Has(Closed))
        return -1;
    if (s.SoundInPipeCtx.Run.load() != 1)
        return -2;
    // The recording is told to end before a playback is stopped: the
    // playback's switch-off command waits for the recording to pause, and a
    // PC-side recording that waits for its reader never would.
    s.Put(s.RecordStop, 1);
    s.Put(s.RecordActive, 0);
    if (s.SoundOutPipeCtx.StartPlay.load() == 1) {
        // Playback hook: the sound-out side registers how to stop it.
        if (zplr::device::PlaybackStopper stop = zplr::device::RegisteredPlaybackStopper())
            stop(io);
        s.Put(s.PlayActive, 0);
    }
    // A cycle that broke has ended already: no reason to wait for it.
    bool ended = true;
    if (s.RecordFinished.load() != 1 && s.RecordBroken.load() != 1)
        ended = s.Gate.Wait(s.WaitTicks, 100, limit, [&] {
            return s.RecordFinished.load() == 1 || s.RecordBroken.load() == 1;
        });
    if (!ended) {
        // The thread is held in a read the box never completes (its stream
        // stalled): end that read, so that the cycle ends and completes the
        // file with what it has.
        {
            std::lock_guard<std::mutex> lock(s.HandleLock);
            if (s.SoundInPipe != ZL_INVALID_HANDLE)
                zplr::platform::Driver().CancelIo(s.SoundInPipe);
        }
        std::atomic<int> ticks{0};
        s.Gate.Wait(ticks, 100, 10, [&] {
            return s.RecordFinished.load() == 1 || s.RecordBroken.load() == 1;
        });
    }
    if (!ended || s.RecordFinished.load() != 1) {
        zplr::platform::ShowMessage(StopError, zplr::platform::MessageOk);
        s.RecordedBytes.store(-3);
    }
    if (io.SetRecordStatus(false, 0) < 0)
        return -1;
    return s.RecordedBytes.load();
}

// Takes the reader's next chunk if it is there; adds to copied.
bool TakeChunk(DeviceSlot &s, unsigned char *buffer, int length, int &copied)
{
    const bool a = s.PcRecNextBufA.load() == 1;
    std::atomic<uint8_t> &full = a ? s.PcRecBufAFull : s.PcRecBufBFull;
    if (full.load(std::memory_order_acquire) != 1)
        return false;
    const uint8_t *chunk = a ? s.PcRecBufA : s.PcRecBufB;
    int n = (a ? s.PcRecBufALength : s.PcRecBufBLength).load();
    if (n > length - copied)
        n = length - copied;
    std::memcpy(buffer + copied, chunk, static_cast<size_t>(n));
    copied += n;
    s.Put(full, 0);
    s.Put(s.PcRecNextBufA, a ? 0 : 1);
    return true;
}

}  // namespace

int CZusb_IO::SetRecordStatus(bool on, int mode)
{
    Packet p(7);
    p[1] = on ? 1 : 0;
    p[2] = Low(mode);
    return SendCommand(SlotFor(DeviceIndex), p, LimitShort);
}

int CZusb_IO::StartReadSound(const char *fileName, int recordMode)
{
    return StartFile(*this, fileName, recordMode, false);
}

int CZusb_IO::StartReadSoundCStrF(const char *fileName)
{
    return StartFile(*this, fileName, 0, true);
}

int CZusb_IO::StopReadSound() { return Stop(*this, StopLimit); }

unsigned int CZusb_IO::ReadRecLength()
{
    return static_cast<unsigned int>(SlotFor(DeviceIndex).RecordedBytes.load());
}

int CZusb_IO::OpenReadSoundInPC(int recordMode)
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    if (s.Has(Closed))
        return -1;
    if (s.SoundInPipeCtx.Run.load() != 1)
        return -2;
    if (Recording(s))
        return -4;
    SetRecordStatus(true, recordMode);
    BeginCycle(s, true);
    return 1;
}

int CZusb_IO::ReadSoundFromBufferToPC(unsigned char *buffer, int length)
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    s.PcRecChunkRequest.store(length);
    const int chunks = length <= 0 ? 0 : (length + 511) / 512;
    if (s.Has(Closed))
        return -1;
    if (s.SoundInPipeCtx.Run.load() != 1)
        return -2;
    if (!buffer)
        return -4;
    s.Put(s.RecordActive, 1);
    int copied = 0;
    // Bounded by the recording: it returns what it has when the recording
    // is stopped or breaks, the slot closes or the thread ends.
    auto over = [&] {
        return s.RecordActive.load() != 1 || s.RecordStop.load() == 1 ||
               s.RecordFinished.load() == 1 || s.RecordBroken.load() == 1 || s.Has(Closed) ||
               s.SoundInPipeCtx.Run.load() != 1;
    };
    for (int taken = 0; taken < chunks && copied < length;) {
        if (TakeChunk(s, buffer, length, copied)) {
            ++taken;
            continue;
        }
        if (over()) {
            // What the thread stored before it ended still counts.
            if (TakeChunk(s, buffer, length, copied))
                ++taken;
            else
                break;
            continue;
        }
        std::atomic<int> ticks{0};
        const bool a = s.PcRecNextBufA.load() == 1;
        std::atomic<uint8_t> &full = a ? s.PcRecBufAFull : s.PcRecBufBFull;
        s.Gate.Wait(ticks, 1, -1, [&] { return full.load() == 1 || over(); });
    }
    buffer[copied] = 0;
    return copied;
}

int CZusb_IO::CloseReadSoundInPC() { return Stop(*this, CloseLimit); }
