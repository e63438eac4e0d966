// The report pipe (0), the command pipe (1) and the driver's control
// requests: which command packets the box takes, what it answers and when
// its reports leave, and the log of everything a test may look at.
#include "sim/BoxInternals.h"

#include <algorithm>
#include <cstring>

namespace zlsim {
using namespace internal;

VirtualBox::VirtualBox(VirtualDriver &driver, int index) : Driver_(driver)
{
    Path_ = "\\\\?\\usb#vid_5a4c&pid_0001#zl" + std::to_string(index) +
            "#{77f49321-16ef-11d2-ad51-006097b514d" + std::string(1, "defg"[index]) + "}";
    if (index == 3)
        Path_ = "\\\\?\\usb#vid_5a4c&pid_0001#zl3#{77f49321-16ef-11d2-ad51-006097b514e0}";
}

void VirtualBox::QueueLocked(const Bytes64 &report, int delayMs)
{
    Queued q{Clock::now() + std::chrono::milliseconds(delayMs), report};
    // Reports leave in the order of their due times; equal times keep order.
    auto at = std::upper_bound(Reports_.begin(), Reports_.end(), q,
                               [](const Queued &a, const Queued &b) { return a.Due < b.Due; });
    Reports_.insert(at, q);
    Driver_.Changed_.notify_all();
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
    for (const Bytes64 &r : replies) {
        if (Withhold_)
            Withheld_.push_back(r);
        else
            QueueLocked(r, DelayMs_);
    }
    if (packet[0] == 9)
        PlayCommandLocked(packet);
}

std::vector<Bytes64> VirtualBox::Packets() const { return CopyOf(Driver_.Mutex_, Packets_); }

size_t VirtualBox::PacketCount() const { return SizeOf(Driver_.Mutex_, Packets_); }

void VirtualBox::ClearPackets() { Empty(Driver_.Mutex_, Packets_); }

bool VirtualBox::WaitPackets(size_t n, int timeoutMs) const
{
    return AwaitSize(Driver_.Mutex_, Driver_.Changed_, Packets_, n, timeoutMs);
}

std::vector<ControlCall> VirtualBox::Controls() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return Controls_;
}

std::vector<Pipe> VirtualBox::Opens() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return Opens_;
}

int VirtualDriver::Read(ZlHandle h, void *buf, unsigned len, unsigned *done)
{
    std::unique_lock<std::mutex> lock(Mutex_);
    if (done)
        *done = 0;
    HandleInfo *info = Find(h);
    if (!info || !buf || !Live(*info))
        return 0;
    VirtualBox &b = *Boxes_[info->Box];
    Pipe pipe = info->On;
    if (b.TakeFailure(pipe, Op::Read))
        return 0;
    if (pipe == Pipe::SoundIn)
        return ReadSoundIn(lock, h, b, static_cast<uint8_t *>(buf), len, done);
    if (pipe != Pipe::Report) {
        // Nothing comes on these: the read blocks until the box goes away.
        Changed_.wait(lock, [&] {
            HandleInfo *i = Find(h);
            return !i || !Live(*i) || i->Cancelled;
        });
        if (HandleInfo *i = Find(h))
            i->Cancelled = false;
        return 0;
    }
    for (;;) {
        HandleInfo *i = Find(h);
        if (!i || !Live(*i))
            return 0;
        if (i->Cancelled) {
            i->Cancelled = false;
            return 0;
        }
        if (!b.Reports_.empty()) {
            auto due = b.Reports_.front().Due;
            if (due <= Clock::now()) {
                const VirtualBox::Queued q = b.Reports_.front();
                if (!q.Chain)
                    break;
                // A chunk request: stale once its playback has ended;
                // in real time each one brings the next.
                if (q.Chain == b.PlayChain_ && b.Playing_) {
                    if (b.Pacing_ == VirtualBox::Pacing::RealTime)
                        b.QueueRequestLocked(
                            q.Due + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double, std::milli>(64.0 * b.Scale_)));
                    break;
                }
                b.Reports_.pop_front();
                continue;
            }
            Changed_.wait_until(lock, due);
        } else {
            Changed_.wait(lock);
        }
    }
    Bytes64 r = b.Reports_.front().Report;
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
    if (done)
        *done = 0;
    HandleInfo *info = Find(h);
    if (!info || !buf || !Live(*info))
        return 0;
    VirtualBox &b = *Boxes_[info->Box];
    if (info->On == Pipe::Command && b.HoldWrites_) {
        Changed_.wait(lock, [&] {
            HandleInfo *i = Find(h);
            return !b.HoldWrites_ || !i || !Live(*i);
        });
        info = Find(h);
        if (!info || !Live(*info))
            return 0;
    }
    if (b.TakeFailure(info->On, Op::Write))
        return 0;
    if (info->On == Pipe::Command) {
        if (len != 64)
            return 0;
        Bytes64 p;
        std::memcpy(p.data(), buf, 64);
        b.Packets_.push_back(p);
        if (p[0] == 7) {
            // Recording on or off; the stream runs once it has been started.
            const bool was = b.Streaming_();
            b.RecordOn_ = p[1] == 1;
            if (!b.RecordOn_) {
                b.StreamStarted_ = false;
                b.InQueue_.clear();
            } else if (!was && b.Streaming_()) {
                b.StartStreamLocked();
            }
        }
        b.AnswerLocked(p);
        Changed_.notify_all();
    } else if (info->On == Pipe::SoundOut) {
        if (len != 256)
            return 0;
        b.TakeSoundOutLocked(static_cast<const uint8_t *>(buf));
    } else {
        return 0;
    }
    if (done)
        *done = len;
    return 1;
}

int VirtualDriver::Control(ZlHandle h, unsigned code, const void *in, unsigned inLen, void *out,
                           unsigned outLen, unsigned *done)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    if (done)
        *done = 0;
    HandleInfo *info = Find(h);
    if (!info || info->Generation == 0 || Boxes_[info->Box]->Generation_ != info->Generation ||
        !Boxes_[info->Box]->Plugged_)
        return 0;
    VirtualBox &b = *Boxes_[info->Box];
    ControlCall call{info->On, code, {}, outLen};
    if (in && inLen)
        call.Input.assign(static_cast<const uint8_t *>(in), static_cast<const uint8_t *>(in) + inLen);
    b.Controls_.push_back(std::move(call));
    if (b.TakeFailure(info->On, Op::Control))
        return 0;
    if (code == StreamStartRequest && info->Stream == Pipe::SoundOut) {
        if (b.TakeFailure(Pipe::SoundOut, Op::Control))
            return 0;
        b.SoundOutStreaming_ = true;
        b.SinceRequest_ = 0;
        ++b.SoundOutStarts_;
    } else if (code == StreamStartRequest && info->On == Pipe::Device && !b.StreamStarted_) {
        b.StreamStarted_ = true;
        if (b.Streaming_())
            b.StartStreamLocked();
        Changed_.notify_all();
    }
    if (out && outLen)
        std::memset(out, 0, outLen);
    if (done)
        *done = outLen;
    return 1;
}
}  // namespace zlsim
