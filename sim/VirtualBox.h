// The virtual box: a software model of up to four ZL boxes behind the driver
// interface, for tests, for the command-line tool and for applications that
// want to run without hardware.
//
//   zlsim::VirtualDriver driver;
//   ZlSetDriverBackend(&driver);
//   driver.Plug(0);
//   CZusb_IO io(0); io.InitialUSB_IOEx(0);   // talks to the model
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zPLR_host.h"

namespace zlsim {

using Bytes64 = std::array<uint8_t, 64>;

// Pipes of a box; Device is the interface opened without a pipe suffix.
enum class Pipe { Device = -1, Report = 0, Command = 1, SoundIn = 2, SoundOut = 3 };
enum class Op { Open, Read, Write, Control };

struct ControlCall {
    Pipe On;
    unsigned Code;
    std::vector<uint8_t> Input;
    unsigned OutputSize;
};

// An extra interface member listed before the box's own, for discovery tests.
struct FakeMember {
    int EnumResult = ZL_ENUM_OK;  // ZL_ENUM_OK or ZL_ENUM_FAILED
    std::string Path;
    bool Opens = false;
};

class VirtualDriver;

// What a box answers to one command: zero or more reports. The default
// answers command 14 with report 14 (16 data bytes) and every other command
// with a plain reply (code 0).
using Responder = std::function<std::vector<Bytes64>(const Bytes64 &packet)>;

class VirtualBox {
public:
    // Queues a report on pipe 0, after `delayMs` of real time.
    void SendReport(const Bytes64 &report, int delayMs = 0);
    void SendReport(std::initializer_list<uint8_t> bytes, int delayMs = 0);

    // Command packets received on pipe 1, in order.
    std::vector<Bytes64> Packets() const;
    size_t PacketCount() const;
    void ClearPackets();
    // Waits up to timeoutMs of real time for at least n packets.
    bool WaitPackets(size_t n, int timeoutMs) const;

    // Control requests received, in order.
    std::vector<ControlCall> Controls() const;

    // Taps for watchers (a tool showing the box live): each command packet
    // as pipe 1 takes it, each 256-byte block as the box takes it for
    // playing. They run under the driver's lock, like the frame hook; nullptr
    // removes one.
    using CommandTap = std::function<void(const Bytes64 &packet)>;
    void SetCommandTap(CommandTap tap);
    using SoundOutTap = std::function<void(const uint8_t *alaw, size_t count)>;
    void SetSoundOutTap(SoundOutTap tap);

    // Pipe opens, in order (Device included).
    std::vector<Pipe> Opens() const;

    // Replies: after the box's latency (see SetReplyLatency), after a fixed
    // delay (0: at once), or withheld until released.
    void SetReplyDelay(int ms);
    void WithholdReplies(bool on);
    void ReleaseWithheld();

    // Custom answers for one command code (nullptr: back to the default).
    void SetResponder(uint8_t code, Responder r);

    // Fails the next `count` operations of `op` on `pipe`.
    void FailNext(Pipe pipe, Op op, int count = 1);
    // Forgets every failure not yet taken.
    void ClearFailures();

    // The next read of pipe 0 delivers only `bytes` bytes of its report.
    void ShortReadNext(unsigned bytes);

    // While on, a write of pipe 1 blocks (until off, or the box goes away).
    void HoldWrites(bool on);

    // Device path of the box's interface, and extra members before it.
    void SetDevicePath(const std::string &path);
    std::string DevicePath() const;
    void SetFakeMembers(std::vector<FakeMember> members);
    unsigned EnumCalls() const;

    bool Plugged() const;

    // ---- sound-in stream (pipe 2) ----
    // While command 7 has switched recording on and a stream-start request
    // has come, pipe 2 delivers 256-byte frames: "stcq", status byte, key
    // byte, 250 A-law samples from the source (default: silence, 0xD5).
    using SampleSource = std::function<void(uint8_t *alaw, size_t count)>;
    void SetSoundInSource(SampleSource source);
    // Status and key byte of the next frames, one pair a frame, in order.
    void QueueFrameStatus(uint8_t status, uint8_t key);
    // Sees (and may change) every frame before it goes out; n counts frames
    // since the box was created. Source and hook run under the driver's
    // lock: they must not call into the driver or the box.
    using FrameHook = std::function<void(uint64_t n, uint8_t *frame)>;
    void SetFrameHook(FrameHook hook);
    // Puts `count` bytes without a marker into the stream: the frames behind
    // them are out of step by `count`.
    void ShiftSoundIn(unsigned count);
    // A stalled stream delivers nothing until it is let go again.
    void StallSoundIn(bool on);
    // The next read of pipe 2 delivers only `bytes` bytes of the stream.
    void ShortSoundInReadNext(unsigned bytes);
    // Lengths asked for by the reads of pipe 2, in order.
    std::vector<unsigned> SoundInReads() const;
    // Samples put into frames so far.
    uint64_t SoundInSamples() const;
    bool Streaming() const;
    // Sound-out (pipe 3). After the stream-start request on the sound-out
    // thread's device handle the box keeps every block written to pipe 3
    // (each write must be 256 bytes). While command 9 has switched playback
    // on, it asks for each 512-byte chunk with report 9: in real time, one
    // per 64 ms times the time scale; unpaced, as soon as the previous
    // chunk is in; or manually, only through RequestChunk. Command 9 off
    // ends the playback with report 9 sub-code 0xD0, status type 3 flag
    // 0x20. FailNext(Pipe::SoundOut, Op::Control) fails the next stream
    // start of the sound-out thread.
    enum class Pacing { RealTime, Unpaced, Manual };
    void SetPacing(Pacing pacing);
    void SetTimeScale(double scale);
    void RequestChunk();
    bool Playing() const;
    std::vector<uint8_t> SoundOut() const;
    size_t SoundOutSize() const;
    void ClearSoundOut();
    bool WaitSoundOut(size_t bytes, int timeoutMs) const;
    // Stream starts seen on the sound-out thread's device handle.
    unsigned SoundOutStarts() const;

    // ---- how strict the box is ----
    // Strict (the default) models a box's limits, each a setting below.
    // Kind is the box before those limits: every reply at once, the end of a
    // playback reported with the reply to its switch-off, a sound-in FIFO
    // without bound, pipe-3 writes that never wait, start requests taken on
    // any handle with any input, line status only where a test puts it. A
    // test asks for it by name where it tests something else and says why.
    enum class Mode { Strict, Kind };
    void SetMode(Mode mode);
    Mode GetMode() const;

    // Reply latency, drawn per command from [minMs, maxMs] (a USB round trip
    // is 1 to 2 ms; a box busy with its line takes longer). SetReplyDelay(ms)
    // is the fixed latency ms, 0 meaning at once.
    void SetReplyLatency(int minMs, int maxMs);
    // The end-of-playback report leaves this long after the box has played
    // what it held when playback was switched off; it may follow the reply
    // to a later command.
    void SetEndReportDelay(int minMs, int maxMs);
    // Seed of the box's random draws (latency, end delay), so that a run can
    // be repeated.
    void SetSeed(uint32_t seed);

    // Sound-in FIFO of the box, in bytes (at least two frames). When the PC
    // reads too slowly, frames the line produces while it is full are lost.
    void SetSoundInFifo(size_t bytes);
    // Bytes of line audio lost that way since the box was created (whole
    // 256-byte frames).
    uint64_t SoundInDropped() const;

    // Sound-out buffer of the box, in bytes: a pipe-3 write returns once its
    // block is in it and waits while it is full. It drains at 8000 bytes a
    // second times the time scale (not under Pacing::Unpaced).
    void SetSoundOutBuffer(size_t bytes);
    // Times the buffer ran empty while a playback was on.
    uint64_t SoundOutUnderruns() const;

    // In-band line status: while the stream runs, the box also puts hook
    // changes and busy tone into the status bytes of its frames (on by
    // default), and, with SetInBandKeys, each key into a key byte as well as
    // into report 7. Keys are off by default: the library pushes a key from
    // either path, so a box that sends both has every key counted twice. The
    // line model calls SendInBand; the box sends only what is switched on,
    // and only while the stream runs.
    void SetInBandLine(bool on);
    void SetInBandKeys(bool on);
    void SendInBand(uint8_t status, uint8_t key);

    // Stream-slip and short-read faults: every `every` frames, put `count`
    // bytes without a marker into the stream (0 stops it).
    void SlipSoundInEvery(uint64_t every, unsigned count);
    // Start requests the box refused (bad handle, size, words or block).
    unsigned RefusedStarts() const;
    // Reports queued on pipe 0, due or not (chunk requests included).
    size_t ReportsQueued() const;

private:
    friend class VirtualDriver;
    explicit VirtualBox(VirtualDriver &driver, int index);
    bool TakeFailure(Pipe pipe, Op op);   // needs the driver lock
    void QueueLocked(const Bytes64 &report, std::chrono::steady_clock::duration delay);
    void QueueAtLocked(const Bytes64 &report, std::chrono::steady_clock::time_point due);
    void QueueLocked(const Bytes64 &report, int delayMs);
    void AnswerLocked(const Bytes64 &packet);
    void PlayCommandLocked(const Bytes64 &packet, std::chrono::steady_clock::duration latency);
    void RecordCommandLocked(const Bytes64 &packet);
    void QueueRequestLocked(std::chrono::steady_clock::time_point due);
    void TakeSoundOutLocked(const uint8_t *block);
    std::chrono::steady_clock::duration DrawLocked(int minMs, int maxMs);
    std::chrono::steady_clock::duration ReplyLatencyLocked();
    bool Strict() const { return Mode_ == Mode::Strict; }
    void ApplyModeLocked(Mode mode);
    // Sound-out buffer: drains in real time unless unpaced.
    bool DrainsLocked() const { return Strict() && Pacing_ != Pacing::Unpaced; }
    double OutLevelLocked(std::chrono::steady_clock::time_point now);
    // Wakes the transfers and waits that look at `what`.
    enum Waiter { ReportWait, CommandWait, SoundInWait, SoundOutWait, LogWait, WaiterCount };
    void WakeLocked(Waiter w) { Wake_[w].notify_all(); }
    static Waiter WaiterOf(Pipe p)
    {
        switch (p) {
        case Pipe::Report: return ReportWait;
        case Pipe::SoundIn: return SoundInWait;
        case Pipe::SoundOut: return SoundOutWait;
        default: return CommandWait;
        }
    }
    void WakeAllLocked()
    {
        for (auto &c : Wake_)
            c.notify_all();
    }
    // Logs keep their last entries; counts are totals.
    static constexpr size_t LogEntries = 10000;
    static constexpr size_t LogSound = 1 << 20;
    template <class T> static void Keep(std::deque<T> &log, size_t cap)
    {
        while (log.size() > cap)
            log.pop_front();
    }

    VirtualDriver &Driver_;
    int Index_;
    bool Plugged_ = false;
    unsigned Generation_ = 1;
    std::string Path_;
    std::vector<FakeMember> Fake_;
    unsigned EnumCalls_ = 0;
    mutable std::condition_variable Wake_[WaiterCount];

    struct Queued {
        std::chrono::steady_clock::time_point Due;
        Bytes64 Report;
        unsigned Chain = 0;  // a chunk request of this playback; 0: none
    };
    std::deque<Queued> Reports_;
    std::deque<Bytes64> Packets_;
    uint64_t PacketTotal_ = 0;
    std::deque<ControlCall> Controls_;
    std::deque<Pipe> Opens_;
    std::vector<Bytes64> Withheld_;
    bool Withhold_ = false;
    std::chrono::steady_clock::time_point LastReplyDue_{};  // replies leave in command order
    Mode Mode_ = Mode::Strict;
    int LatencyMin_, LatencyMax_;
    int EndMin_, EndMax_;
    uint32_t Seed_;
    uint64_t Draws_ = 0;
    unsigned ShortRead_ = 0;
    bool HoldWrites_ = false;
    std::map<std::pair<int, int>, int> Failures_;
    std::map<uint8_t, Responder> Responders_;
    unsigned RefusedStarts_ = 0;

    // Sound-in stream. Paced at 8192 stream bytes a second of line time.
    bool Streaming_() const { return RecordOn_ && StreamStarted_ && !Stalled_; }
    bool Stalled_ = false;
    void StartStreamLocked();
    void FrameLocked(uint8_t *frame);
    void FillLocked(size_t needed);
    void CatchUpLocked();
    // Waits, up to timeoutMs, for `done` (called under the lock) on the log's wake-up.
    bool WaitLogged(int timeoutMs, const std::function<bool()> &done) const;
    void ProduceLocked(uint64_t lineBytes, size_t reading);
    bool RecordOn_ = false;
    bool StreamStarted_ = false;
    std::chrono::steady_clock::time_point StreamStart_;
    uint64_t LineBytes_ = 0;    // line time accounted since the stream started, in bytes
    std::deque<uint8_t> InQueue_;  // the FIFO
    size_t Fifo_;
    uint64_t Dropped_ = 0;
    std::array<uint8_t, 256> Frame_{};
    std::deque<std::pair<uint8_t, uint8_t>> FrameStatus_;
    bool InBand_ = true;
    bool InBandKeys_ = false;
    uint64_t SlipEvery_ = 0;
    unsigned SlipCount_ = 0;
    uint64_t Frames_ = 0;
    uint64_t Samples_ = 0;
    SampleSource Source_;
    FrameHook Hook_;
    CommandTap CommandTap_;
    SoundOutTap SoundOutTap_;
    unsigned ShortIn_ = 0;
    std::deque<unsigned> InReads_;
    Pacing Pacing_ = Pacing::RealTime;
    double Scale_ = 1.0;
    bool SoundOutStreaming_ = false;
    bool Playing_ = false;
    unsigned PlayChain_ = 0;
    unsigned SoundOutStarts_ = 0;
    size_t SinceRequest_ = 0;
    std::deque<uint8_t> SoundOut_;
    uint64_t SoundOutTotal_ = 0;
    size_t OutCapacity_;
    double OutLevel_ = 0;  // bytes in the sound-out buffer at OutAt_
    std::chrono::steady_clock::time_point OutAt_;
    uint64_t Underruns_ = 0;
    uint64_t PlayBlocks_ = 0;  // blocks taken since playback was switched on
};

class VirtualDriver final : public ZlDriverBackend {
public:
    VirtualDriver();
    ~VirtualDriver() override;

    // Plugging and pulling, at any time. Pulling makes every transfer
    // blocked on the box fail, as a real unplug does.
    void Plug(int index);
    void Unplug(int index);
    VirtualBox &Box(int index);

    // The driver interface.
    int EnumInterface(const ZlGuid &cls, unsigned index, char *path, size_t pathSize,
                      size_t *needed) override;
    ZlHandle Open(const char *path) override;
    int Read(ZlHandle h, void *buf, unsigned len, unsigned *done) override;
    int Write(ZlHandle h, const void *buf, unsigned len, unsigned *done) override;
    int Control(ZlHandle h, unsigned code, const void *in, unsigned inLen, void *out,
                unsigned outLen, unsigned *done) override;
    void CancelIo(ZlHandle h) override;
    void Close(ZlHandle h) override;

    // A control request of a client in another process: its addresses mean
    // nothing here, so the client sends the bytes of the block the start
    // requests point to, and its pointer width (4 or 8), beside the input.
    int ControlRemote(ZlHandle h, unsigned code, const void *in, unsigned inLen,
                      const uint8_t *block, unsigned blockSize, unsigned pointerWidth, void *out,
                      unsigned outLen, unsigned *done);

    // Handles open now, for leak tests.
    size_t OpenHandles() const;
    // Transfers in progress on `h` now, for cancel tests.
    unsigned Transfers(ZlHandle h) const;

    // Pace of the sound-in streams: 1 is real time, below 1 faster (as the
    // library's time scale), 0 unpaced (as fast as they are read).
    void SetSoundPace(double scale);

private:
    friend class VirtualBox;
    struct HandleInfo {
        int Box;
        Pipe On;
        unsigned Generation;
        Pipe Stream = Pipe::Device;  // device handles: the pipe its thread opened
        // CancelIo ends every transfer blocked on the handle; one that finds
        // none blocked fails the next transfer instead, as it would have
        // raced with the cancel.
        uint64_t Cancels = 0;
        unsigned Blocked = 0;
        bool CancelPending = false;
    };
    // One transfer on a handle: what it needs to tell that it must end.
    struct Transfer {
        VirtualDriver &D;
        ZlHandle H;
        uint64_t Cancels = 0;
        bool Counted = false;
        Transfer(VirtualDriver &d, ZlHandle h);
        ~Transfer();
        // The handle closed, went stale or was cancelled; `takePending`: a
        // cancel that found nothing blocked counts too.
        bool Ended(bool takePending);
    };
    HandleInfo *Find(ZlHandle h);  // needs Mutex_
    HandleInfo *TransferOn(ZlHandle h, const void *buf, unsigned *done);  // needs Mutex_
    int ReadSoundIn(std::unique_lock<std::mutex> &lock, Transfer &t, VirtualBox &b, uint8_t *buf,
                    unsigned len, unsigned *done);
    int ReadReport(std::unique_lock<std::mutex> &lock, Transfer &t, VirtualBox &b, uint8_t *buf,
                   unsigned len, unsigned *done);
    bool StartRequestLocked(const HandleInfo &info, unsigned code, const void *in, unsigned inLen,
                            void *out, unsigned outLen, const uint8_t *remoteBlock,
                            unsigned remoteSize, unsigned pointerWidth);
    bool WaitSoundOutRoom(std::unique_lock<std::mutex> &lock, Transfer &t, VirtualBox &b);
    bool Live(const HandleInfo &h) const;

    mutable std::mutex Mutex_;
    VirtualBox *Boxes_[4];
    std::map<ZlHandle, HandleInfo> Handles_;
    // The pipe each thread opened last, per box: a sound thread opens its
    // device handle right after its pipe.
    std::map<std::pair<std::thread::id, int>, Pipe> LastPipe_;
    ZlHandle Next_ = 0x100;
    double Pace_ = 1.0;
};

// Index of the box whose interface class is `cls`, or -1.
int BoxIndexOfClass(const ZlGuid &cls);

}  // namespace zlsim
