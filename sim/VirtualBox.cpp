#include "sim/VirtualBox.h"

#include <algorithm>
#include <cstring>

namespace zlsim {
namespace {
using Clock = std::chrono::steady_clock;

const char *PipeNames[4] = {"ZLDrv0", "ZLDrv1", "ZLDrv2", "ZLDrv3"};
constexpr unsigned StreamStartRequest = 0x80002010;
constexpr double StreamBytesPerSecond = 8192;  // 8000 samples in 32 frames
constexpr unsigned FrameSize = 256;
constexpr unsigned FrameAudio = 250;

int Key(Pipe p) { return static_cast<int>(p); }

// The logs a test reads (command packets, sound-out bytes) are kept under
// the driver's lock.
template <class Log> Log CopyOf(std::mutex &m, const Log &log)
{
    std::lock_guard<std::mutex> lock(m);
    return log;
}

template <class Log> size_t SizeOf(std::mutex &m, const Log &log)
{
    std::lock_guard<std::mutex> lock(m);
    return log.size();
}

template <class Log> void Empty(std::mutex &m, Log &log)
{
    std::lock_guard<std::mutex> lock(m);
    log.clear();
}

// Waits up to timeoutMs of real time until `log` holds n entries; counted in
// `waiters` while it waits, for a writer that wakes only waiters.
template <class Log>
bool AwaitSize(std::mutex &m, std::condition_variable &changed, const Log &log, size_t n,
               int timeoutMs, unsigned *waiters = nullptr)
{
    std::unique_lock<std::mutex> lock(m);
    if (waiters)
        ++*waiters;
    const bool got = changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                      [&] { return log.size() >= n; });
    if (waiters)
        --*waiters;
    return got;
}
}  // namespace

int BoxIndexOfClass(const ZlGuid &cls)
{
    static const uint8_t Head[8] = {0xAD, 0x51, 0x00, 0x60, 0x97, 0xB5, 0x14, 0xDD};
    if (cls.Data1 != 0x77F49321 || cls.Data2 != 0x16EF || cls.Data3 != 0x11D2)
        return -1;
    if (std::memcmp(cls.Data4, Head, 6) != 0)
        return -1;
    unsigned v = cls.Data4[6] << 8 | cls.Data4[7];
    unsigned base = 0x14DD;
    return v >= base && v < base + 4 ? static_cast<int>(v - base) : -1;
}

// ---- VirtualBox -----------------------------------------------------------

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

// ---- sound-out ------------------------------------------------------------

void VirtualBox::PlayCommandLocked(const Bytes64 &packet)
{
    if (packet[1] == 1) {
        Playing_ = true;
        ++PlayChain_;
        SinceRequest_ = 0;
        if (Pacing_ != Pacing::Manual)
            QueueRequestLocked(Clock::now() + std::chrono::milliseconds(DelayMs_));
    } else if (Playing_) {
        Playing_ = false;
        ++PlayChain_;
        Bytes64 end{};
        end[0] = 9;
        end[1] = 0xD0;
        end[2] = 3;
        end[3] = 0x20;
        if (Withhold_)
            Withheld_.push_back(end);
        else
            QueueLocked(end, DelayMs_);
    }
}

void VirtualBox::QueueRequestLocked(Clock::time_point due)
{
    Queued q{due, Bytes64{}, PlayChain_};
    q.Report[0] = 9;
    auto at = std::upper_bound(Reports_.begin(), Reports_.end(), q,
                               [](const Queued &a, const Queued &b) { return a.Due < b.Due; });
    Reports_.insert(at, q);
    Driver_.Changed_.notify_all();
}

void VirtualBox::TakeSoundOutLocked(const uint8_t *block)
{
    if (!SoundOutStreaming_)
        return;
    SoundOut_.insert(SoundOut_.end(), block, block + 256);
    SinceRequest_ += 256;
    if (Playing_ && Pacing_ == Pacing::Unpaced && SinceRequest_ >= 512) {
        SinceRequest_ = 0;
        QueueRequestLocked(Clock::now());
    }
    // Every wake of the driver's waiters costs the stream time: only for a
    // test that waits for these bytes.
    if (SoundOutWaiters_)
        Driver_.Changed_.notify_all();
}

void VirtualBox::SetPacing(Pacing pacing)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    Pacing_ = pacing;
}

void VirtualBox::SetTimeScale(double scale)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    Scale_ = scale;
}

void VirtualBox::RequestChunk() { SendReport({9, 0}); }

bool VirtualBox::Playing() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return Playing_;
}

std::vector<uint8_t> VirtualBox::SoundOut() const { return CopyOf(Driver_.Mutex_, SoundOut_); }

size_t VirtualBox::SoundOutSize() const { return SizeOf(Driver_.Mutex_, SoundOut_); }

void VirtualBox::ClearSoundOut() { Empty(Driver_.Mutex_, SoundOut_); }

bool VirtualBox::WaitSoundOut(size_t bytes, int timeoutMs) const
{
    return AwaitSize(Driver_.Mutex_, Driver_.Changed_, SoundOut_, bytes, timeoutMs,
                     &SoundOutWaiters_);
}

unsigned VirtualBox::SoundOutStarts() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return SoundOutStarts_;
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

void VirtualBox::SetReplyDelay(int ms)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    DelayMs_ = ms;
}

void VirtualBox::WithholdReplies(bool on)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    Withhold_ = on;
}

void VirtualBox::ReleaseWithheld()
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    for (const Bytes64 &r : Withheld_)
        QueueLocked(r, 0);
    Withheld_.clear();
}

void VirtualBox::SetResponder(uint8_t code, Responder r)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    if (r)
        Responders_[code] = std::move(r);
    else
        Responders_.erase(code);
}

void VirtualBox::FailNext(Pipe pipe, Op op, int count)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    Failures_[{Key(pipe), static_cast<int>(op)}] += count;
}

void VirtualBox::ClearFailures()
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    Failures_.clear();
}

bool VirtualBox::TakeFailure(Pipe pipe, Op op)
{
    auto it = Failures_.find({Key(pipe), static_cast<int>(op)});
    if (it == Failures_.end() || it->second <= 0)
        return false;
    if (--it->second == 0)
        Failures_.erase(it);
    return true;
}

void VirtualBox::ShortReadNext(unsigned bytes)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    ShortRead_ = bytes ? bytes : 0xFFFFFFFFu;  // 0 is kept as "deliver nothing"
}

void VirtualBox::HoldWrites(bool on)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    HoldWrites_ = on;
    Driver_.Changed_.notify_all();
}

void VirtualBox::SetDevicePath(const std::string &path)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    Path_ = path;
}

std::string VirtualBox::DevicePath() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return Path_;
}

void VirtualBox::SetFakeMembers(std::vector<FakeMember> members)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    Fake_ = std::move(members);
}

unsigned VirtualBox::EnumCalls() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return EnumCalls_;
}

bool VirtualBox::Plugged() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return Plugged_;
}

// ---- sound-in stream --------------------------------------------------------

void VirtualBox::StartStreamLocked()
{
    StreamStart_ = Clock::now();
    StreamTaken_ = 0;
    InQueue_.clear();
}

void VirtualBox::FillLocked(size_t needed)
{
    // A member, not a local: this runs on the library's sound-in thread,
    // whose stack is small.
    uint8_t *frame = Frame_.data();
    while (InQueue_.size() < needed) {
        std::memcpy(frame, "stcq", 4);
        frame[4] = frame[5] = 0;
        if (!FrameStatus_.empty()) {
            frame[4] = FrameStatus_.front().first;
            frame[5] = FrameStatus_.front().second;
            FrameStatus_.pop_front();
        }
        if (Source_)
            Source_(frame + 6, FrameAudio);
        else
            std::memset(frame + 6, 0xD5, FrameAudio);
        if (Hook_)
            Hook_(Frames_, frame);
        ++Frames_;
        Samples_ += FrameAudio;
        InQueue_.insert(InQueue_.end(), frame, frame + FrameSize);
    }
}

void VirtualBox::SetSoundInSource(SampleSource source)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    Source_ = std::move(source);
}

void VirtualBox::QueueFrameStatus(uint8_t status, uint8_t key)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    FrameStatus_.emplace_back(status, key);
}

void VirtualBox::SetFrameHook(FrameHook hook)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    Hook_ = std::move(hook);
}

void VirtualBox::ShiftSoundIn(unsigned count)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    InQueue_.insert(InQueue_.end(), count, 0x00);
}

void VirtualBox::StallSoundIn(bool on)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    Stalled_ = on;
    Driver_.Changed_.notify_all();
}

void VirtualBox::ShortSoundInReadNext(unsigned bytes)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    ShortIn_ = bytes ? bytes : 0xFFFFFFFFu;
}

std::vector<unsigned> VirtualBox::SoundInReads() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return InReads_;
}

uint64_t VirtualBox::SoundInSamples() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return Samples_;
}

bool VirtualBox::Streaming() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return Streaming_();
}

int VirtualDriver::ReadSoundIn(std::unique_lock<std::mutex> &lock, ZlHandle h, VirtualBox &b,
                               uint8_t *buf, unsigned len, unsigned *done)
{
    b.InReads_.push_back(len);
    if (len == 0)
        return 1;  // a zero-length transfer completes at once
    for (;;) {
        HandleInfo *i = Find(h);
        if (!i || !Live(*i))
            return 0;
        if (i->Cancelled) {
            i->Cancelled = false;
            return 0;
        }
        if (!b.Streaming_()) {
            Changed_.wait(lock);
            continue;
        }
        unsigned n = len;
        if (b.ShortIn_)
            n = b.ShortIn_ == 0xFFFFFFFFu ? 0 : std::min(n, b.ShortIn_);
        if (Pace_ > 0) {
            // The box hands out what the line has produced by now.
            std::chrono::duration<double> at((b.StreamTaken_ + n) / StreamBytesPerSecond * Pace_);
            auto due = b.StreamStart_ + std::chrono::duration_cast<Clock::duration>(at);
            if (Clock::now() < due) {
                Changed_.wait_until(lock, due);
                continue;
            }
        }
        b.ShortIn_ = 0;
        b.FillLocked(n);
        std::copy_n(b.InQueue_.begin(), n, buf);
        b.InQueue_.erase(b.InQueue_.begin(), b.InQueue_.begin() + n);
        b.StreamTaken_ += n;
        if (done)
            *done = n;
        return 1;
    }
}

void VirtualDriver::SetSoundPace(double scale)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    Pace_ = scale > 0 ? scale : 0;
    Changed_.notify_all();
}

// ---- VirtualDriver --------------------------------------------------------

VirtualDriver::VirtualDriver()
{
    for (int i = 0; i < 4; ++i)
        Boxes_[i] = new VirtualBox(*this, i);
}

VirtualDriver::~VirtualDriver()
{
    for (VirtualBox *b : Boxes_)
        delete b;
}

void VirtualDriver::Plug(int index)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    Boxes_[index & 3]->Plugged_ = true;
    Changed_.notify_all();
}

void VirtualDriver::Unplug(int index)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    VirtualBox &b = *Boxes_[index & 3];
    b.Plugged_ = false;
    ++b.Generation_;  // every handle of the box goes stale
    b.Reports_.clear();
    b.RecordOn_ = false;  // a box plugged in again starts switched off
    b.StreamStarted_ = false;
    b.InQueue_.clear();
    b.SoundOutStreaming_ = false;
    b.Playing_ = false;
    ++b.PlayChain_;
    Changed_.notify_all();
}

VirtualBox &VirtualDriver::Box(int index) { return *Boxes_[index & 3]; }

VirtualDriver::HandleInfo *VirtualDriver::Find(ZlHandle h)
{
    auto it = Handles_.find(h);
    return it == Handles_.end() ? nullptr : &it->second;
}

bool VirtualDriver::Live(const HandleInfo &h) const
{
    const VirtualBox &b = *Boxes_[h.Box];
    return b.Plugged_ && b.Generation_ == h.Generation;
}

int VirtualDriver::EnumInterface(const ZlGuid &cls, unsigned index, char *path, size_t pathSize,
                                 size_t *needed)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    if (needed)
        *needed = 0;
    int box = BoxIndexOfClass(cls);
    if (box < 0)
        return ZL_ENUM_NO_MORE;
    VirtualBox &b = *Boxes_[box];
    ++b.EnumCalls_;
    const std::string *p = nullptr;
    if (index < b.Fake_.size()) {
        if (b.Fake_[index].EnumResult != ZL_ENUM_OK)
            return b.Fake_[index].EnumResult;
        p = &b.Fake_[index].Path;
    } else if (index == b.Fake_.size() && b.Plugged_) {
        p = &b.Path_;
    } else {
        return ZL_ENUM_NO_MORE;
    }
    if (needed)
        *needed = p->size() + 1;
    if (path && p->size() + 1 <= pathSize)
        std::memcpy(path, p->c_str(), p->size() + 1);
    return ZL_ENUM_OK;
}

ZlHandle VirtualDriver::Open(const char *path)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    if (!path)
        return ZL_INVALID_HANDLE;
    std::string s(path);
    for (int i = 0; i < 4; ++i) {
        VirtualBox &b = *Boxes_[i];
        for (const FakeMember &f : b.Fake_)
            if (f.Opens && s == f.Path) {
                // A stranger's interface: opens, but has no pipes of ours.
                Handles_[Next_] = {i, Pipe::Device, 0};
                return Next_++;
            }
        if (!b.Plugged_ || s.compare(0, b.Path_.size(), b.Path_) != 0)
            continue;
        std::string rest = s.substr(b.Path_.size());
        Pipe pipe;
        if (rest.empty()) {
            pipe = Pipe::Device;
        } else {
            int found = -1;
            for (int p = 0; p < 4; ++p)
                if (rest == std::string("\\") + PipeNames[p])
                    found = p;
            if (found < 0)
                continue;
            pipe = static_cast<Pipe>(found);
        }
        if (b.TakeFailure(pipe, Op::Open))
            return ZL_INVALID_HANDLE;
        b.Opens_.push_back(pipe);
        HandleInfo info{i, pipe, b.Generation_};
        const auto me = std::make_pair(std::this_thread::get_id(), i);
        if (pipe == Pipe::Device) {
            auto last = LastPipe_.find(me);
            if (last != LastPipe_.end())
                info.Stream = last->second;
        } else {
            LastPipe_[me] = pipe;
        }
        Handles_[Next_] = info;
        return Next_++;
    }
    return ZL_INVALID_HANDLE;
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

void VirtualDriver::CancelIo(ZlHandle h)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    if (HandleInfo *info = Find(h))
        info->Cancelled = true;
    Changed_.notify_all();
}

void VirtualDriver::Close(ZlHandle h)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    Handles_.erase(h);
    Changed_.notify_all();
}

size_t VirtualDriver::OpenHandles() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return Handles_.size();
}

}  // namespace zlsim
