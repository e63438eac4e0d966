// The sound-in stream (pipe 2): 256-byte frames of the line's A-law audio
// with their status and key bytes, produced at the line's rate while
// recording is on and the stream has been started, and held in the box's
// FIFO until the PC reads them.
//
// The FIFO holds 4 KiB, 16 frames or half a second of line time: a
// full-speed USB microcontroller has some KiB of RAM, and the box need only
// cover the PC's pauses between bulk reads. A frame the line produces while
// the FIFO is full is lost, as on the box, and counted.
#include "sim/BoxInternals.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zlsim {
using namespace internal;

void VirtualBox::StartStreamLocked()
{
    StreamStart_ = Clock::now();
    LineBytes_ = 0;
    InQueue_.clear();
}

void VirtualBox::RecordCommandLocked(const Bytes64 &packet)
{
    // Recording on or off; the stream runs once it has been started.
    const bool was = Streaming_();
    RecordOn_ = packet[1] == 1;
    if (!RecordOn_) {
        if (was)
            CatchUpLocked();  // what the FIFO could not hold is counted up to here
        StreamStarted_ = false;
        InQueue_.clear();
        FrameStatus_.clear();
    } else if (!was && Streaming_()) {
        StartStreamLocked();
        WakeLocked(SoundInWait);
    }
}

void VirtualBox::FrameLocked(uint8_t *frame)
{
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
}

// The line has produced `lineBytes` since the stream started: every frame
// not yet accounted goes into the FIFO, or is lost when it is full. A read
// longer than the FIFO takes the stream as it comes.
void VirtualBox::ProduceLocked(uint64_t lineBytes, size_t reading)
{
    const size_t room = std::max(Fifo_, reading);
    // A member, not a local: this runs on the library's sound-in thread,
    // whose stack is small.
    uint8_t *frame = Frame_.data();
    while (LineBytes_ + FrameSize <= lineBytes) {
        FrameLocked(frame);
        LineBytes_ += FrameSize;
        if (InQueue_.size() >= room) {
            Dropped_ += FrameSize;
            continue;
        }
        InQueue_.insert(InQueue_.end(), frame, frame + FrameSize);
        if (SlipEvery_ && Frames_ % SlipEvery_ == 0)
            InQueue_.insert(InQueue_.end(), SlipCount_, 0x00);
    }
}

// At real time the line produces whether the PC reads or not: everything up
// to now goes into the FIFO or is counted lost.
void VirtualBox::CatchUpLocked()
{
    if (!Streaming_() || Driver_.Pace_ <= 0)
        return;
    const double line = std::chrono::duration<double>(Clock::now() - StreamStart_).count() / Driver_.Pace_ *
                        StreamBytesPerSecond;
    ProduceLocked(static_cast<uint64_t>(std::max(0.0, line)), 0);
}

void VirtualBox::FillLocked(size_t needed)
{
    while (InQueue_.size() < needed)
        ProduceLocked(LineBytes_ + FrameSize, needed);
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

void VirtualBox::SendInBand(uint8_t status, uint8_t key)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    if (!InBand_ || !Streaming_())
        return;
    if (!InBandKeys_)
        key = 0;
    if (status || key)
        FrameStatus_.emplace_back(status, key);
}

void VirtualBox::SetInBandKeys(bool on)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    InBandKeys_ = on;
}

void VirtualBox::SetInBandLine(bool on)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    InBand_ = on;
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
    WakeLocked(SoundInWait);
}

void VirtualBox::SlipSoundInEvery(uint64_t every, unsigned count)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    SlipEvery_ = count ? every : 0;
    SlipCount_ = count;
}

void VirtualBox::StallSoundIn(bool on)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    if (Stalled_ && !on && Streaming_() == false && RecordOn_ && StreamStarted_) {
        // A stalled box produced nothing: the line time goes on from here.
        const double pace = Driver_.Pace_;
        StreamStart_ = Clock::now() - Seconds(LineBytes_ / StreamBytesPerSecond * pace);
    }
    Stalled_ = on;
    WakeLocked(SoundInWait);
}

void VirtualBox::ShortSoundInReadNext(unsigned bytes)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    ShortIn_ = bytes ? bytes : 0xFFFFFFFFu;
}

void VirtualBox::SetSoundInFifo(size_t bytes)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    Fifo_ = std::max<size_t>(bytes, 2 * FrameSize);
}

uint64_t VirtualBox::SoundInDropped() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    // The count is brought up to now; the box itself is not const.
    const_cast<VirtualBox *>(this)->CatchUpLocked();
    return Dropped_;
}

std::vector<unsigned> VirtualBox::SoundInReads() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return {InReads_.begin(), InReads_.end()};
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

int VirtualDriver::ReadSoundIn(std::unique_lock<std::mutex> &lock, Transfer &t, VirtualBox &b,
                               uint8_t *buf, unsigned len, unsigned *done)
{
    b.InReads_.push_back(len);
    VirtualBox::Keep(b.InReads_, VirtualBox::LogEntries);
    if (len == 0)
        return 1;  // a zero-length transfer completes at once
    std::condition_variable &wake = b.Wake_[VirtualBox::SoundInWait];
    for (;;) {
        if (t.Ended(true))
            return 0;
        if (!b.Streaming_()) {
            wake.wait(lock);
            continue;
        }
        unsigned n = len;
        if (b.ShortIn_)
            n = b.ShortIn_ == 0xFFFFFFFFu ? 0 : std::min(n, b.ShortIn_);
        if (Pace_ > 0) {
            // The box hands out what the line has produced by now.
            const auto now = Clock::now();
            const double line = std::chrono::duration<double>(now - b.StreamStart_).count() /
                                Pace_ * StreamBytesPerSecond;
            b.ProduceLocked(static_cast<uint64_t>(std::max(0.0, line)), n);
            if (b.InQueue_.size() < n) {
                const uint64_t frames = (n - b.InQueue_.size() + FrameSize - 1) / FrameSize;
                const double at = (b.LineBytes_ + frames * FrameSize) / StreamBytesPerSecond * Pace_;
                wake.wait_until(lock, b.StreamStart_ + Seconds(at));
                continue;
            }
        } else {
            b.FillLocked(n);
        }
        b.ShortIn_ = 0;
        std::copy_n(b.InQueue_.begin(), n, buf);
        b.InQueue_.erase(b.InQueue_.begin(), b.InQueue_.begin() + n);
        if (done)
            *done = n;
        return 1;
    }
}

void VirtualDriver::SetSoundPace(double scale)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    const double pace = scale > 0 ? scale : 0;
    const auto now = Clock::now();
    for (VirtualBox *b : Boxes_) {
        // The line goes on at the new pace from the time it has reached.
        b->StreamStart_ = now - Seconds(b->LineBytes_ / StreamBytesPerSecond * pace);
        b->WakeLocked(VirtualBox::SoundInWait);
    }
    Pace_ = pace;
}

}  // namespace zlsim
