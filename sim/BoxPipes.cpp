// The report pipe (0), the command pipe (1) and the driver's control
// requests: which command packets the box takes, what it answers and when
// its reports leave, how it checks the two start requests, and the logs a
// test may look at.
#include "sim/BoxInternals.h"

#include <algorithm>
#include <cstring>

namespace zlsim {
using namespace internal;

namespace {
uint32_t Le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint64_t Le64(const uint8_t *p) { return Le32(p) | uint64_t(Le32(p + 4)) << 32; }
}  // namespace

void VirtualBox::QueueLocked(const Bytes64 &report, Clock::duration delay)
{
    QueueAtLocked(report, Clock::now() + delay);
}

void VirtualBox::QueueAtLocked(const Bytes64 &report, Clock::time_point due)
{
    Queued q{due, report};
    // Reports leave in the order of their due times; equal times keep order.
    auto at = std::upper_bound(Reports_.begin(), Reports_.end(), q,
                               [](const Queued &a, const Queued &b) { return a.Due < b.Due; });
    // A reader waits for the first report only: a later one changes nothing
    // for it.
    const bool first = at == Reports_.begin();
    Reports_.insert(at, q);
    if (first)
        WakeLocked(ReportWait);
}

void VirtualBox::QueueLocked(const Bytes64 &report, int delayMs)
{
    QueueLocked(report, std::chrono::milliseconds(delayMs));
}

void VirtualBox::SendReport(const Bytes64 &report, int delayMs)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    QueueLocked(report, delayMs);
}

void VirtualBox::SendReport(std::initializer_list<uint8_t> bytes, int delayMs)
{
    Bytes64 r{};
    std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), 64), r.begin());
    SendReport(r, delayMs);
}

void VirtualBox::AnswerLocked(const Bytes64 &packet)
{
    std::vector<Bytes64> replies;
    auto it = Responders_.find(packet[0]);
    if (it != Responders_.end() && it->second) {
        replies = it->second(packet);
    } else {
        Bytes64 r{};
        if (packet[0] == 14) {
            r[0] = 14;
            for (int i = 1; i <= 16; ++i)
                r[i] = static_cast<uint8_t>(i);
        }
        replies.push_back(r);
    }
    // One latency for all the reports of a command: they leave together, in
    // order. The box answers its commands one after another, so a reply never
    // overtakes the reply to an earlier command, however the latencies fall.
    const auto now = Clock::now();
    const auto due = std::max(now + ReplyLatencyLocked(), LastReplyDue_);
    LastReplyDue_ = due;
    const Clock::duration latency = due - now;
    for (const Bytes64 &r : replies) {
        if (Withhold_)
            Withheld_.push_back(r);
        else
            QueueAtLocked(r, due);
    }
    if (packet[0] == 9)
        PlayCommandLocked(packet, latency);
}

std::vector<Bytes64> VirtualBox::Packets() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return {Packets_.begin(), Packets_.end()};
}

void VirtualBox::SetCommandTap(CommandTap tap)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    CommandTap_ = std::move(tap);
}

size_t VirtualBox::PacketCount() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return PacketTotal_;
}

void VirtualBox::ClearPackets()
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    Packets_.clear();
    PacketTotal_ = 0;
}

bool VirtualBox::WaitLogged(int timeoutMs, const std::function<bool()> &done) const
{
    std::unique_lock<std::mutex> lock(Driver_.Mutex_);
    return Wake_[LogWait].wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

bool VirtualBox::WaitPackets(size_t n, int timeoutMs) const
{
    return WaitLogged(timeoutMs, [&] { return PacketTotal_ >= n; });
}

std::vector<ControlCall> VirtualBox::Controls() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return {Controls_.begin(), Controls_.end()};
}

std::vector<Pipe> VirtualBox::Opens() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return {Opens_.begin(), Opens_.end()};
}

size_t VirtualBox::ReportsQueued() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return Reports_.size();
}

unsigned VirtualBox::RefusedStarts() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return RefusedStarts_;
}

// The open, live pipe a transfer goes to, with nothing done yet; null when
// the driver refuses it.
VirtualDriver::HandleInfo *VirtualDriver::TransferOn(ZlHandle h, const void *buf, unsigned *done)
{
    if (done)
        *done = 0;
    HandleInfo *info = Find(h);
    return info && buf && Live(*info) ? info : nullptr;
}

int VirtualDriver::Read(ZlHandle h, void *buf, unsigned len, unsigned *done)
{
    std::unique_lock<std::mutex> lock(Mutex_);
    HandleInfo *info = TransferOn(h, buf, done);
    if (!info)
        return 0;
    VirtualBox &b = *Boxes_[info->Box];
    const Pipe pipe = info->On;
    if (b.TakeFailure(pipe, Op::Read))
        return 0;
    Transfer t(*this, h);
    if (pipe == Pipe::SoundIn)
        return ReadSoundIn(lock, t, b, static_cast<uint8_t *>(buf), len, done);
    if (pipe == Pipe::Report)
        return ReadReport(lock, t, b, static_cast<uint8_t *>(buf), len, done);
    // Nothing comes on these: the read blocks until the box goes away.
    b.Wake_[VirtualBox::WaiterOf(pipe)].wait(lock, [&] { return t.Ended(true); });
    return 0;
}

int VirtualDriver::ReadReport(std::unique_lock<std::mutex> &lock, Transfer &t, VirtualBox &b,
                              uint8_t *buf, unsigned len, unsigned *done)
{
    std::condition_variable &wake = b.Wake_[VirtualBox::ReportWait];
    for (;;) {
        if (t.Ended(true))
            return 0;
        if (b.Reports_.empty()) {
            wake.wait(lock);
            continue;
        }
        const auto due = b.Reports_.front().Due;
        if (due > Clock::now()) {
            wake.wait_until(lock, due);
            continue;
        }
        const VirtualBox::Queued &q = b.Reports_.front();
        if (!q.Chain)
            break;
        // A chunk request: stale once its playback has ended; in real time
        // each one brings the next.
        if (q.Chain == b.PlayChain_ && b.Playing_) {
            if (b.Pacing_ == VirtualBox::Pacing::RealTime)
                b.QueueRequestLocked(q.Due + Seconds(ChunkSize / SoundOutBytesPerSecond * b.Scale_));
            break;
        }
        b.Reports_.pop_front();
    }
    const Bytes64 r = b.Reports_.front().Report;
    b.Reports_.pop_front();
    unsigned n = std::min<unsigned>(len, 64);
    if (b.ShortRead_) {
        n = b.ShortRead_ == 0xFFFFFFFFu ? 0 : std::min(n, b.ShortRead_);
        b.ShortRead_ = 0;
    }
    std::memcpy(buf, r.data(), n);
    if (done)
        *done = n;
    return 1;
}

int VirtualDriver::Write(ZlHandle h, const void *buf, unsigned len, unsigned *done)
{
    std::unique_lock<std::mutex> lock(Mutex_);
    HandleInfo *info = TransferOn(h, buf, done);
    if (!info)
        return 0;
    VirtualBox &b = *Boxes_[info->Box];
    const Pipe pipe = info->On;
    Transfer t(*this, h);
    if (pipe == Pipe::Command && b.HoldWrites_) {
        b.Wake_[VirtualBox::CommandWait].wait(lock, [&] { return !b.HoldWrites_ || t.Ended(false); });
        if (t.Ended(false))
            return 0;
    }
    if (b.TakeFailure(pipe, Op::Write))
        return 0;
    if (pipe == Pipe::Command) {
        if (len != 64)
            return 0;
        Bytes64 p;
        std::memcpy(p.data(), buf, 64);
        b.Packets_.push_back(p);
        VirtualBox::Keep(b.Packets_, VirtualBox::LogEntries);
        ++b.PacketTotal_;
        b.WakeLocked(VirtualBox::LogWait);
        if (b.CommandTap_)
            b.CommandTap_(p);
        if (p[0] == 7)
            b.RecordCommandLocked(p);
        b.AnswerLocked(p);
    } else if (pipe == Pipe::SoundOut) {
        if (len != BlockSize)
            return 0;
        if (!WaitSoundOutRoom(lock, t, b))
            return 0;
        b.TakeSoundOutLocked(static_cast<const uint8_t *>(buf));
    } else {
        return 0;
    }
    if (done)
        *done = len;
    return 1;
}

bool VirtualDriver::StartRequestLocked(const HandleInfo &info, unsigned code, const void *in,
                                       unsigned inLen, void *out, unsigned outLen,
                                       const uint8_t *remote, unsigned remoteSize,
                                       unsigned pointerWidth)
{
    // Words 32-bit little-endian; the block's address as wide as the
    // caller's pointers: 16 bytes in all from a 32-bit caller, 20 (the
    // address at offset 8, 64 bits) from a 64-bit one.
    const bool stream = code == StreamStartRequest;
    if (info.On != Pipe::Device)
        return false;
    if (stream ? info.Stream != Pipe::SoundIn && info.Stream != Pipe::SoundOut
               : info.Stream != Pipe::Report)
        return false;
    const unsigned width = remote ? pointerWidth : static_cast<unsigned>(sizeof(void *));
    if ((width != 4 && width != 8) || !in || inLen != (width == 8 ? 20u : 16u))
        return false;
    const uint8_t *p = static_cast<const uint8_t *>(in);
    const uint32_t size = Le32(p + 4);
    const uint64_t address = width == 8 ? Le64(p + 8) : Le32(p + 8);
    const uint32_t last = Le32(p + (width == 8 ? 16 : 12));
    if (Le32(p) != 0 || size != (stream ? 6u : 1u) || last != (stream ? 0x471u : 0x472u))
        return false;
    uint8_t block[6];
    if (remote) {
        if (remoteSize != size)
            return false;
        std::memcpy(block, remote, size);
    } else if (address > UINTPTR_MAX ||
               !ReadCallerMemory(static_cast<uintptr_t>(address), block, size)) {
        return false;
    }
    if (stream) {
        static const uint8_t Params[6] = {0x00, 0x00, 0x00, 0x40, 0x00, 0x80};
        return std::memcmp(block, Params, sizeof Params) == 0;
    }
    // The report start's address is that of its one output byte.
    return out && outLen == 1 && (remote || address == reinterpret_cast<uintptr_t>(out));
}

int VirtualDriver::Control(ZlHandle h, unsigned code, const void *in, unsigned inLen, void *out,
                           unsigned outLen, unsigned *done)
{
    return ControlRemote(h, code, in, inLen, nullptr, 0, 0, out, outLen, done);
}

int VirtualDriver::ControlRemote(ZlHandle h, unsigned code, const void *in, unsigned inLen,
                                 const uint8_t *block, unsigned blockSize, unsigned pointerWidth,
                                 void *out, unsigned outLen, unsigned *done)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    if (done)
        *done = 0;
    HandleInfo *info = Find(h);
    if (!info || info->Generation == 0 || !Live(*info))
        return 0;
    VirtualBox &b = *Boxes_[info->Box];
    ControlCall call{info->On, code, {}, outLen};
    if (in && inLen)
        call.Input.assign(static_cast<const uint8_t *>(in), static_cast<const uint8_t *>(in) + inLen);
    b.Controls_.push_back(std::move(call));
    VirtualBox::Keep(b.Controls_, VirtualBox::LogEntries);
    if (b.TakeFailure(info->On, Op::Control))
        return 0;
    const bool start = code == StreamStartRequest || code == ReportStartRequest;
    if (start && b.Strict() &&
        !StartRequestLocked(*info, code, in, inLen, out, outLen, block, blockSize, pointerWidth)) {
        ++b.RefusedStarts_;
        return 0;
    }
    if (code == StreamStartRequest && info->Stream == Pipe::SoundOut) {
        if (b.TakeFailure(Pipe::SoundOut, Op::Control))
            return 0;
        b.SoundOutStreaming_ = true;
        b.SinceRequest_ = 0;
        ++b.SoundOutStarts_;
    } else if (code == StreamStartRequest && info->On == Pipe::Device && !b.StreamStarted_) {
        b.StreamStarted_ = true;
        if (b.Streaming_()) {
            b.StartStreamLocked();
            b.WakeLocked(VirtualBox::SoundInWait);
        }
    }
    if (out && outLen)
        std::memset(out, 0, outLen);
    if (done)
        *done = outLen;
    return 1;
}

}  // namespace zlsim
