// The sound-in stream (pipe 2): 256-byte frames of the line's A-law audio
// with their status and key bytes, produced at the line's rate while
// recording is on and the stream has been started.
#include "sim/BoxInternals.h"

#include <algorithm>
#include <cstring>

namespace zlsim {
using namespace internal;

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
}  // namespace zlsim
