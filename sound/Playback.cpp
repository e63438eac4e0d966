// Playback to the line: WAV files and PC-side chunks, paced by the box.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "device/Playback.h"
#include "platform/Clock.h"
#include "platform/Driver.h"
#include "platform/File.h"
#include "sound/WavLayout.h"
#include "transport/Channel.h"
#include "transport/PipeThreads.h"
#include "transport/StartRequest.h"
#include "zPLR.h"

using namespace zplr::transport;

namespace zplr::sound {
namespace {

// A play mode with this in its upper bits may start with the line on hook.
constexpr uint32_t PlayModeTag = 0x2C6B19F0;
constexpr unsigned ChunkSize = 512;
constexpr unsigned BlockSize = 256;
constexpr uint8_t ALawSilence = 0xD5;
constexpr size_t PathMax = 1023;
constexpr uint64_t UnknownLength = 0xFFFFFFFF;

// Position of a start or seek in thousandths. Small files multiply first
// for precision; large ones divide first so that the product stays in range.
uint64_t PositionFor(int32_t permille, uint64_t length)
{
    const uint64_t p = static_cast<uint64_t>(static_cast<int64_t>(permille));
    return length < 4000000 ? p * length / 1000 : p * (length / 1000);
}

void SeekTo(DeviceSlot &s, std::FILE *file)
{
    const uint64_t length = s.PlayFileLength.load();
    const uint64_t pos = PositionFor(s.PlayStartPermille.load(), length);
    s.PlayPosition.store(pos);
    const uint64_t offset = pos + WavHeaderSize;
    // Before the start (a negative permille) or past the end: nothing
    // left to read, so the next chunk is the last.
    platform::SeekFile(file, offset < pos || offset > length ? length : offset);
}

// Command 9 from the sound-out thread: its own poll counter, as the slot's
// belongs to the application, and no waiting once the thread must end.
bool SendPlayStatusFromThread(DeviceSlot &s, uint8_t start, uint8_t mode, uint8_t option,
                              uint8_t flag)
{
    if (s.Has(Closed))
        return false;
    Packet p(9);
    p[1] = start;
    p[2] = mode;
    p[3] = option;
    p[4] = flag;
    std::atomic<int> ticks{0};
    if (HandOver(s, p.Bytes, ticks) != 1)
        return false;
    return s.Gate.Wait(ticks, 100, LimitLong, [&] {
        return !s.Has(AwaitingReply) || s.SoundOutPipeCtx.Run.load() != 1;
    });
}

// After the switch-off the box reports the end of its playback. That report
// would also pass for the reply to the application's next command, so the
// cycle lets it arrive first (one poll at most).
void AwaitEndReport(DeviceSlot &s)
{
    std::atomic<int> ticks{0};
    s.Gate.Wait(ticks, 100, 0, [&] { return s.Has(PlayEnded) || s.SoundOutPipeCtx.Run.load() != 1; });
}

// Switches the box's playback off; the box then owes this playback its end
// report.
void SwitchOff(DeviceSlot &s)
{
    s.EndOwedEpoch.store(s.PlayEpoch.load());
    if (SendPlayStatusFromThread(s, 0, s.PlayStatusArg2.load(), 1, 0))
        AwaitEndReport(s);
}

bool StreamStart(ZlHandle device) { return transport::SendStreamStart(device); }

void PlayCycle(DeviceSlot &s, ZlHandle pipe, ZlHandle device)
{
    PipeThreadCtx &ctx = s.SoundOutPipeCtx;
    auto finish = [&] {
        std::lock_guard<std::mutex> lock(s.PlayLock);
        ctx.StartPlay.store(0);
        s.Put(ctx.PlayDone, 1);
    };
    if (ctx.Run.load() != 1) {
        finish();
        return;
    }
    const bool fromFile = s.PlayFromFile.load() == 1;
    std::FILE *file = nullptr;
    if (fromFile) {
        char path[sizeof ctx.FilePath];
        {
            std::lock_guard<std::mutex> lock(s.PlayLock);
            std::memcpy(path, ctx.FilePath, sizeof path);
        }
        path[sizeof path - 1] = 0;
        // Only a regular file, opened without waiting: a path that became
        // a FIFO since the start would hold the thread for ever.
        uint64_t length = 0;
        file = platform::OpenFileForReading(path, length);
        if (!file) {
            // Gone since the start accepted it: no sound, but the box's
            // playback, switched on by the start, goes off again.
            if (s.CommandPipeReopen.load() == 0)
                SwitchOff(s);
            finish();
            return;
        }
        s.PlayFileLength.store(length);
        SeekTo(s, file);
    }
    if (!StreamStart(device)) {
        if (file)
            std::fclose(file);
        s.Put(s.SoundOutPipeReopen, 1);
        finish();
        return;
    }

    // Stop, shut-down and a lost pipe all end the wait for the box.
    auto ended = [&] {
        return ctx.PlayStop.load() != 0 || ctx.Run.load() != 1 || s.SoundOutPipeReopen.load() == 1;
    };
    uint8_t chunk[ChunkSize];
    std::atomic<int> ticks{0};
    for (;;) {
        unsigned blocks = 0;
        bool last = false;
        if (fromFile) {
            if (s.PlaySeekRequest.load() == 1) {
                s.PlaySeekRequest.store(0);
                SeekTo(s, file);
            }
            const unsigned n = static_cast<unsigned>(std::fread(chunk, 1, ChunkSize, file));
            if (n != ChunkSize) {
                std::memset(chunk + n, ALawSilence, ChunkSize - n);
                s.PlayPosition.store(s.PlayFileLength.load());
                last = true;
            }
            s.PlayPosition.fetch_add(n);
            blocks = n / BlockSize;
            s.Gate.Wait(ticks, 2, -1, [&] { return s.SoundOutAck.load() == 1 || ended(); });
            s.SoundOutAck.store(0);
        } else {
            s.Gate.Wait(ticks, 2, -1, [&] {
                return s.PcPlayDataReady.load(std::memory_order_acquire) == 1 || ended();
            });
            if (ended())
                break;  // a chunk in hand stays for the next opening
            const unsigned c = static_cast<unsigned>(
                std::clamp<int32_t>(s.PcPlayChunkLength.load(), 0, static_cast<int32_t>(ChunkSize)));
            std::memcpy(chunk, s.PcPlayBuf, c);
            blocks = c / BlockSize;
            if (ended())
                break;
            s.PlayPosition.fetch_add(c);  // a chunk counts once taken for the pipe
        }
        if (ended())
            break;
        for (unsigned b = 0; b < blocks; ++b) {
            unsigned done = 0;
            if (!platform::Driver().Write(pipe, chunk + b * BlockSize, BlockSize, &done)) {
                ResetPipe(pipe);
                s.Put(s.SoundOutPipeReopen, 1);
                break;
            }
        }
        if (!fromFile)
            s.Put(s.PcPlayDataReady, 0);
        if (ctx.PlayStop.load() != 0 || last || s.SoundOutPipeReopen.load() == 1)
            break;
    }
    if (file)
        std::fclose(file);
    if (s.SoundOutPipeReopen.load() == 0 && s.CommandPipeReopen.load() == 0 && ctx.Run.load() == 1)
        SwitchOff(s);
    finish();
}

// The settle sleep of a stop, then up to 101 polls for the cycle's end.
bool AwaitPlayDone(DeviceSlot &s)
{
    auto done = [&] { return s.SoundOutPipeCtx.PlayDone.load() == 1; };
    if (platform::PurePolling()) {
        platform::SleepMs(100);
    } else {
        std::atomic<int> settle{0};
        s.Gate.Wait(settle, 100, 0, done);
    }
    return s.Gate.Wait(s.WaitTicks, 100, LimitLong, done);
}

// Asks the slot's playback cycle, if one runs, to end and awaits its end:
// 1 ended (or none ran), -3 it did not end, -1 closed, -2 no thread.
int EndCycle(DeviceSlot &s)
{
    PipeThreadCtx &ctx = s.SoundOutPipeCtx;
    if (s.Has(Closed))
        return -1;
    if (ctx.Run.load() != 1)
        return -2;
    if (ctx.StartPlay.load() != 1)
        return 1;
    s.Put(ctx.PlayStop, 1);
    return AwaitPlayDone(s) ? 1 : -3;
}

void StopFor(CZusb_IO &io) { io.StopPlaySound(); }

// Whether a cycle is started or running. When not, its end is complete:
// no late PlayDone of it can fall on the next start.
bool CycleStarted(DeviceSlot &s)
{
    std::lock_guard<std::mutex> lock(s.PlayLock);
    return s.SoundOutPipeCtx.StartPlay.load() == 1;
}

// From the calls that raise StartPlay, so that it is in place whenever a
// cycle can begin, however the library is linked.
void Install()
{
    SetPlayWork(&PlayCycle);
    device::SetPlaybackStopper(&StopFor);
}

// A regular file that can be read; a directory, FIFO or device is not.
bool PathUsable(const char *path)
{
    if (!path)
        return false;
    const size_t n = strnlen(path, PathMax + 1);
    if (n == 0 || n > PathMax)
        return false;
    uint64_t length = 0;
    std::FILE *probe = platform::OpenFileForReading(path, length);
    if (!probe)
        return false;
    std::fclose(probe);
    return true;
}

}  // namespace
}  // namespace zplr::sound

using namespace zplr::sound;

int CZusb_IO::StartPlaySound(const char *fileName, int startPermille, int playMode, int playOption,
                             int playFlag)
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    PipeThreadCtx &ctx = s.SoundOutPipeCtx;
    if (s.Has(Closed))
        return -1;
    const bool tagged = (static_cast<uint32_t>(playMode) & ~0xFu) == PlayModeTag;
    if (playMode != 1 && playMode != 2 && !tagged && !s.Has(OffHook))
        return -4;
    if (ctx.Run.load() != 1)
        return -2;
    if (!PathUsable(fileName))
        return -4;
    if (tagged)
        playMode &= 0xF;
    Install();
    // A cycle still running would lower StartPlay at its end and so drop
    // this start: it ends first.
    if (CycleStarted(s)) {
        const int r = StopPlaySound();
        if (r != 1)
            return r;
    }

    s.Put(s.PlayActive, 1);
    s.PlaySeekRequest.store(0);
    s.PlayFileLength.store(UnknownLength);
    s.PlayPosition.store(0);
    s.PlayStartPermille.store(startPermille);
    s.PlayFromFile.store(1);
    s.SoundOutAck.store(0);
    {
        std::lock_guard<std::mutex> lock(s.PlayLock);
        std::memset(ctx.FilePath, 0, sizeof ctx.FilePath);
        std::strncpy(ctx.FilePath, fileName, PathMax);
    }
    ctx.PlayDone.store(0);
    ctx.PlayStop.store(0);
    s.PlayError.store(0);

    if (!s.Gate.Wait(s.WaitTicks, 100, LimitShort, [&] { return s.SoundInReading.load() != 1; })) {
        s.Put(s.PlayActive, 0);
        return -3;
    }
    s.PlayStatusArg2.store(zplr::transport::Low(playMode));
    s.PlayStatusArg3.store(zplr::transport::Low(playOption));
    // From here an end report still owed to an earlier playback is known
    // as its own, however late it comes.
    s.PlayEpoch.fetch_add(1);
    SetPlayStatus(1, s.PlayStatusArg2.load(), s.PlayStatusArg3.load(), playFlag == 1 ? 1 : 0);
    // An end that an earlier playback left unread is not this one's.
    s.Clear(PlayEnded);
    s.Put(ctx.StartPlay, 1);
    return 1;
}

int CZusb_IO::StartPlaySoundCStr(char *fileName, int startPermille, int playMode, int playOption,
                                 int playFlag)
{
    if (!fileName || strnlen(fileName, PathMax + 1) > PathMax)
        return -4;
    char copy[PathMax + 1];
    std::strcpy(copy, fileName);
    return StartPlaySound(copy, startPermille, playMode, playOption, playFlag);
}

int CZusb_IO::StopPlaySound()
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    const int r = EndCycle(s);
    // Ended or not, the call no longer plays.
    if (r == 1 || r == -3)
        s.Put(s.PlayActive, 0);
    return r;
}

int CZusb_IO::SetPlayStatus(unsigned char start, unsigned char mode, unsigned char option,
                            unsigned char flag)
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    Packet p(9);
    p[1] = start;
    p[2] = mode;
    p[3] = option;
    p[4] = flag;
    return SendCommand(s, p, LimitLong);
}

int CZusb_IO::CheckWavFileExist(char *fileName)
{
    if (!fileName || !*fileName)
        return 0;
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::path(fileName), ec) ? 1 : 0;
}

int CZusb_IO::GetWriteSoundRate()
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    const uint64_t length = s.PlayFileLength.load();
    if (length == 0)
        return 0;
    const int32_t error = s.PlayError.load();
    if (error < 0)
        return error;
    if (s.DeviceStatus.fetch_and(~PlayEnded) & PlayEnded)
        return 1000;
    return static_cast<int>(static_cast<uint32_t>(s.PlayPosition.load() * 1000 / length));
}

unsigned long long CZusb_IO::GetWriteSoundBytes()
{
    return SlotFor(DeviceIndex).PlayPosition.load();
}

void CZusb_IO::SeekFilePointForTelInfo(int permille)
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    s.PlayStartPermille.store(permille);
    s.Put(s.PlaySeekRequest, 1);
}

int CZusb_IO::OpenWriteSoundToBuff()
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    PipeThreadCtx &ctx = s.SoundOutPipeCtx;
    if (s.Has(Closed))
        return -1;
    if (s.SoundInPipeCtx.Run.load() != 1)
        return -2;
    Install();
    if (CycleStarted(s)) {
        if (s.PlayFromFile.load() == 0)
            return 1;  // already open
        const int r = StopPlaySound();
        if (r != 1)
            return r;
    }
    s.PlayFromFile.store(0);
    ctx.PlayStop.store(0);
    // Else a close would take the end of an earlier cycle for this one's.
    ctx.PlayDone.store(0);
    s.Put(ctx.StartPlay, 1);
    return 1;
}

int CZusb_IO::WriteSoundFromPCToBuffer(unsigned char *buffer, int length)
{
    DeviceSlot &s = SlotFor(DeviceIndex);
    s.PcPlayLength.store(length);
    const int chunk = static_cast<int>(ChunkSize);
    const int chunks = length <= 0 ? 0 : length / chunk + (length % chunk != 0);
    if (s.Has(Closed))
        return -1;
    if (s.SoundInPipeCtx.Run.load() != 1)
        return -2;
    if (chunks < 1)
        return static_cast<int>(ChunkSize);
    if (!buffer)
        return -4;
    auto taken = [&] { return s.PcPlayDataReady.load(std::memory_order_acquire) != 1; };
    for (int k = 0; k < chunks; ++k) {
        // A chunk left by an earlier call that timed out goes first; it is
        // never overwritten while the thread may be copying it.
        if (!s.Gate.Wait(s.WaitTicks, 2, LimitLong, taken))
            return -3;
        const int offset = k * static_cast<int>(ChunkSize);
        const int c = std::min(length - offset, static_cast<int>(ChunkSize));
        std::memcpy(s.PcPlayBuf, buffer + offset, static_cast<size_t>(c));
        s.PcPlayChunkLength.store(c);
        s.Put(s.PcPlayDataReady, 1);
        if (!s.Gate.Wait(s.WaitTicks, 2, LimitLong, taken))
            return -3;
    }
    return static_cast<int>(ChunkSize);
}

int CZusb_IO::CloseWriteSoundToBuff() { return EndCycle(SlotFor(DeviceIndex)); }
