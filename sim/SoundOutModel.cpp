// The sound-out stream (pipe 3) and the playback cycle: command 9 starts
// and ends a playback, the box asks for each 512-byte chunk with report 9
// and keeps every 256-byte block written to pipe 3.
#include "sim/BoxInternals.h"

#include <algorithm>
#include <cstring>

namespace zlsim {
using namespace internal;

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
}  // namespace zlsim
