// Recording from the line: the sound-in thread's recording cycle, to a WAV
// file or into the two PC-side chunk buffers, and the calls that drive it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "device/Playback.h"
#include "platform/Clock.h"
#include "platform/Driver.h"
#include "platform/File.h"
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

// The recording file of each slot, from the start that opens it until it is
// completed: by its cycle, or at exit when the process ends first. Never
// destroyed, as a sound-in thread may still use it while the process exits.
struct RecordingFile {
    std::mutex Lock;
    std::FILE *File = nullptr;
};

RecordingFile &FileOf(const DeviceSlot &s)
{
    alignas(RecordingFile) static unsigned char storage[sizeof(RecordingFile) * (SlotCount + 1)];
    static RecordingFile *files = new (storage) RecordingFile[SlotCount + 1];
    return files[s.Index >= 0 && s.Index <= SlotCount ? s.Index : SlotCount];
}

// Completes the slot's file if it is still open; its size, 0 when none was.
uint32_t CompleteRecordingFile(DeviceSlot &s)
{
    RecordingFile &r = FileOf(s);
    std::lock_guard<std::mutex> lock(r.Lock);
    if (!r.File)
        return 0;
    const uint32_t size = CompleteFile(r.File);
    r.File = nullptr;
    return size;
}

// exit() and a return from main complete every recording still open, so
// that its header tells the audio in it.
void CompleteAllAtExit()
{
    for (int i = 0; i <= SlotCount; ++i) {
        RecordingFile &r = FileOf(SlotFor(i < SlotCount ? i : -1));
        // A thread ended in the middle of a write (Windows ends them before
        // this runs) keeps the lock for ever: its file stays as it is.
        std::unique_lock<std::mutex> lock(r.Lock, std::defer_lock);
        for (int tries = 0; !lock.try_lock() && tries < 200; ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (lock.owns_lock() && r.File) {
            CompleteFile(r.File);
            r.File = nullptr;
        }
    }
}

void CompleteRecordingsAtExit()
{
    static const bool registered = std::atexit(CompleteAllAtExit) == 0;
    (void)registered;
}

// The cycle's buffers live on the heap: the sound-in thread's stack is small.
// Data holds what is left of a frame from the previous read, then a read
// and its discard read.
struct Buffers {
    uint8_t Data[FrameSize + ReadSize + 3 * 64];
    uint8_t Block[3 * FrameAudio];
    uint8_t Read[ReadSize];
};

struct Cycle {
    DeviceSlot &S;
    ZlHandle Pipe;
    Buffers &B;
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

    // Bytes at the start of B.Data kept from the last read: a frame begun,
    // or what may be the first bytes of a marker.
    unsigned Carried = 0;

    bool Append(const void *p, size_t n)
    {
        RecordingFile &r = FileOf(S);
        std::lock_guard<std::mutex> lock(r.Lock);
        return r.File && WriteAll(r.File, p, n);
    }

    // One read of the file mode: two frames, 500 samples to the file, when
    // the stream is in step.
    void FileRead()
    {
        uint8_t *data = B.Data;
        unsigned got = 0;
        if (!zplr::platform::Driver().Read(Pipe, data + Carried, ReadSize, &got)) {
            ReadFailed();
            return;
        }
        unsigned have = Carried + (got < ReadSize ? got : ReadSize);
        if (Carried == 0 && got == ReadSize && !(MarkerAt(data) && MarkerAt(data + FrameSize))) {
            // Out of step by 64, 128 or 192: a discard read brings the next
            // read back to a frame boundary. Its bytes end the second frame.
            unsigned k = 0;
            while (k < 4 && !MarkerAt(data + 64 * k))
                ++k;
            if (k > 0 && k < 4) {
                unsigned extra = 0;
                if (!zplr::platform::Driver().Read(Pipe, data + have, 64 * k, &extra))
                    extra = 0;
                have += extra < 64 * k ? extra : 64 * k;
            }
        }
        TakeFrames(have);
    }

    // Every whole frame in the first `have` bytes of B.Data goes to the
    // file; bytes before a marker are dropped, a frame begun is kept for the
    // next read. A frame counts as whole when the next marker follows it
    // (or the bytes end with it).
    void TakeFrames(unsigned have)
    {
        uint8_t *data = B.Data;
        unsigned pos = 0, frames = 0, keep = have;
        while (pos < have) {
            const unsigned left = have - pos;
            if (std::memcmp(data + pos, Marker, left < 4 ? left : 4) != 0) {
                ++pos;
                continue;
            }
            if (left < FrameSize) {
                keep = pos;
                break;
            }
            const unsigned next = pos + FrameSize, after = have - next;
            if (std::memcmp(data + next, Marker, after < 4 ? after : 4) != 0) {
                ++pos;  // not whole: the next frame begins inside it
                continue;
            }
            ApplyFrame(S, data + pos);
            std::memcpy(B.Block + frames * FrameAudio, data + pos + 6, FrameAudio);
            ++frames;
            pos = next;
        }
        if (keep == have)
            keep = pos;
        Carried = have - keep;
        std::memmove(data, data + keep, Carried);
        if (frames == 0)
            return;
        if (!Append(B.Block, frames * FrameAudio)) {
            WriteFailed = true;
            return;
        }
        S.RecordedBytes.fetch_add(static_cast<int32_t>(frames * FrameAudio));
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
            // A read of 0 bytes asks for nothing: the next chunk waits for a
            // length, else it would hand the reader an empty chunk.
            S.Gate.Wait(ticks, 1, -1, [&] {
                return (S.RecordActive.load() != 0 && S.PcRecChunkRequest.load() != 0) ||
                       S.RecordStop.load() != 0 || !Run();
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
            if (got == 0) {
                // Nothing came: no empty chunk for the reader, and a poll's
                // pause before the next read.
                S.Gate.Wait(ticks, 1, 0, [&] { return !Wanted(); });
                GiveWay();
                if (!Wanted())
                    break;
                continue;
            }
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
        // A file not completed yet (the cycle ended before it recorded)
        // keeps the empty recording the start wrote.
        CompleteRecordingFile(s);
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
    } else {
        {
            // The placeholder sizes stand while the recording runs: a file
            // that keeps them did not complete.
            RecordingFile &r = FileOf(s);
            std::lock_guard<std::mutex> lock(r.Lock);
            uint8_t header[WavHeaderSize];
            zplr::sound::MakeWavHeader(header, zplr::sound::WavPlaceholderRiffSize,
                                       zplr::sound::WavPlaceholderDataSize);
            c.WriteFailed = !r.File || std::fseek(r.File, 0, SEEK_SET) != 0 ||
                            !WriteAll(r.File, header, sizeof header);
        }
        if (!c.WriteFailed)
            c.RunFile();
        // Completed in every case, also after a pipe failure: a header with
        // the placeholder sizes would hide all but a quarter second of the
        // audio.
        const uint32_t size = CompleteRecordingFile(s);
        if (!c.Broken())
            s.RecordedBytes.store(static_cast<int32_t>(size ? size : WavHeaderSize));
    }
    if (c.Broken()) {
        // Either mode: the alarm stays quiet until the loss behind the break
        // has passed, then is armed again.
        s.AlarmFlags.fetch_or(AlarmRecordingBroken);
        end(false);
        return;
    }
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

// Opens the file now, so that a path that cannot be written is refused
// before anything is sent, and hands it to the cycle. It holds an empty
// recording until the cycle records into it.
bool OpenForCycle(DeviceSlot &s, const char *path)
{
    bool created = false;
    std::FILE *f = zplr::platform::OpenRecordingFile(path, created);
    if (!f)
        return false;
    // Every block goes straight to the file: after a failed write, or when
    // the process is killed, the file holds exactly what was written.
    std::setvbuf(f, nullptr, _IONBF, 0);
    uint8_t header[WavHeaderSize];
    zplr::sound::MakeCompletedWavHeader(header, 0);
    if (!WriteAll(f, header, sizeof header)) {
        if (created)
            zplr::platform::CloseAndRemoveCreated(f, path);
        else
            std::fclose(f);
        return false;
    }
    CompleteRecordingsAtExit();
    // One left by a start whose cycle never ran is completed first.
    CompleteRecordingFile(s);
    RecordingFile &r = FileOf(s);
    std::lock_guard<std::mutex> lock(r.Lock);
    r.File = f;
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
    if (!OpenForCycle(s, path))
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
    s.Put(s.PcRecChunkRequest, length);  // wakes the thread waiting for a length
    const int chunks = length <= 0 ? 0 : length / 512 + (length % 512 != 0);
    if (s.Has(Closed))
        return -1;
    if (s.SoundInPipeCtx.Run.load() != 1)
        return -2;
    // Nothing to read from: no PC-side recording was opened, a file
    // recording runs, or the recording was closed (its chunks with it).
    if (!buffer || s.RecordToPC.load() != 1 || s.RecordStop.load() == 1)
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
    // A playback holds the thread back until StopPlaySound, which the
    // caller can only make once this read has returned.
    auto held = [&] { return s.PlayActive.load() != 0; };
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
        if (held()) {
            // The chunk the thread read before it gave way may still come:
            // up to a chunk's time for it, then back with what there is.
            if (!s.Gate.Wait(ticks, 2, 31, [&] { return full.load() == 1 || over() || !held(); }))
                break;
            continue;
        }
        s.Gate.Wait(ticks, 1, -1, [&] { return full.load() == 1 || over() || held(); });
    }
    buffer[copied] = 0;
    return copied;
}

int CZusb_IO::CloseReadSoundInPC() { return Stop(*this, CloseLimit); }
