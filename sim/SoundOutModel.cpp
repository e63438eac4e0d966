// The sound-out stream (pipe 3) and the playback cycle: command 9 starts
// and ends a playback, the box asks for each 512-byte chunk with report 9
// and plays the 256-byte blocks written to pipe 3 out of a buffer of one
// chunk, at 8000 bytes a second.
//
// One chunk of buffer: the box asks for the next chunk only when it can take
// it, and a full-speed USB microcontroller has a few KiB of RAM for both
// directions. The end-of-playback report comes once the buffer has played
// out, after a short delay of the box's own.
#include "sim/BoxInternals.h"

#include <algorithm>
#include <cstring>

namespace zlsim {
using namespace internal;

void VirtualBox::PlayCommandLocked(const Bytes64 &packet, Clock::duration latency)
{
    if (packet[1] == 1) {
        Playing_ = true;
        ++PlayChain_;
        SinceRequest_ = 0;
        PlayBlocks_ = 0;
        if (Pacing_ != Pacing::Manual)
            QueueRequestLocked(Clock::now() + latency);
    } else if (Playing_) {
        Playing_ = false;
        ++PlayChain_;
        Bytes64 end{};
        end[0] = 9;
        end[1] = 0xD0;
        end[2] = 3;
        end[3] = 0x20;
        Clock::duration after = latency;
        if (Strict()) {
            const auto now = Clock::now();
            if (DrainsLocked())
                after += Seconds(OutLevelLocked(now) / (SoundOutBytesPerSecond / Scale_));
            after += DrawLocked(EndMin_, EndMax_);
        }
        if (Withhold_)
            Withheld_.push_back(end);
        else
            QueueLocked(end, after);
    }
}

void VirtualBox::QueueRequestLocked(Clock::time_point due)
{
    Queued q{due, Bytes64{}, PlayChain_};
    q.Report[0] = 9;
    auto at = std::upper_bound(Reports_.begin(), Reports_.end(), q,
                               [](const Queued &a, const Queued &b) { return a.Due < b.Due; });
    const bool first = at == Reports_.begin();
    Reports_.insert(at, q);
    if (first)
        WakeLocked(ReportWait);
}

double VirtualBox::OutLevelLocked(Clock::time_point now)
{
    if (now > OutAt_) {
        const double played =
            std::chrono::duration<double>(now - OutAt_).count() * SoundOutBytesPerSecond / Scale_;
        OutLevel_ = std::max(0.0, OutLevel_ - played);
        OutAt_ = now;
    }
    return OutLevel_;
}

bool VirtualDriver::WaitSoundOutRoom(std::unique_lock<std::mutex> &lock, Transfer &t, VirtualBox &b)
{
    if (!b.SoundOutStreaming_ || !b.DrainsLocked())
        return true;
    for (;;) {
        const auto now = Clock::now();
        const double room = static_cast<double>(b.OutCapacity_) - b.OutLevelLocked(now);
        if (room >= BlockSize)
            return true;
        if (t.Ended(false))
            return false;
        const double rate = SoundOutBytesPerSecond / b.Scale_;
        b.Wake_[VirtualBox::SoundOutWait].wait_until(lock, now + Seconds((BlockSize - room) / rate));
        if (!b.SoundOutStreaming_ || !b.DrainsLocked())
            return true;
    }
}

void VirtualBox::TakeSoundOutLocked(const uint8_t *block)
{
    if (!SoundOutStreaming_)
        return;
    if (DrainsLocked()) {
        if (Playing_ && PlayBlocks_ > 0 && OutLevelLocked(Clock::now()) <= 0)
            ++Underruns_;
        OutLevelLocked(Clock::now());
        OutLevel_ += BlockSize;
    }
    ++PlayBlocks_;
    SoundOut_.insert(SoundOut_.end(), block, block + BlockSize);
    if (SoundOut_.size() > LogSound)
        SoundOut_.erase(SoundOut_.begin(), SoundOut_.begin() + (SoundOut_.size() - LogSound));
    SoundOutTotal_ += BlockSize;
    if (SoundOutTap_)
        SoundOutTap_(block, BlockSize);
    SinceRequest_ += BlockSize;
    if (Playing_ && Pacing_ == Pacing::Unpaced && SinceRequest_ >= ChunkSize) {
        SinceRequest_ = 0;
        QueueRequestLocked(Clock::now());
    }
    WakeLocked(LogWait);
}

void VirtualBox::SetSoundOutTap(SoundOutTap tap)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    SoundOutTap_ = std::move(tap);
}

void VirtualBox::SetPacing(Pacing pacing)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    OutLevelLocked(Clock::now());
    Pacing_ = pacing;
    WakeLocked(SoundOutWait);
}

void VirtualBox::SetTimeScale(double scale)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    OutLevelLocked(Clock::now());
    Scale_ = scale > 0 ? scale : 1.0;
    WakeLocked(SoundOutWait);
}

void VirtualBox::SetSoundOutBuffer(size_t bytes)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    OutCapacity_ = std::max<size_t>(bytes, BlockSize);
    WakeLocked(SoundOutWait);
}

uint64_t VirtualBox::SoundOutUnderruns() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return Underruns_;
}

void VirtualBox::RequestChunk() { SendReport({9, 0}); }

bool VirtualBox::Playing() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return Playing_;
}

std::vector<uint8_t> VirtualBox::SoundOut() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return {SoundOut_.begin(), SoundOut_.end()};
}

size_t VirtualBox::SoundOutSize() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return static_cast<size_t>(SoundOutTotal_);
}

void VirtualBox::ClearSoundOut()
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    SoundOut_.clear();
    SoundOutTotal_ = 0;
}

bool VirtualBox::WaitSoundOut(size_t bytes, int timeoutMs) const
{
    return WaitLogged(timeoutMs, [&] { return SoundOutTotal_ >= bytes; });
}

unsigned VirtualBox::SoundOutStarts() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return SoundOutStarts_;
}

}  // namespace zlsim
