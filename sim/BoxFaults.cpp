// The box's settings and the faults a test injects: strict or kind, reply
// timing and withheld replies, custom answers, failed and short transfers,
// held writes, and what the interface looks like to discovery.
//
// Strict defaults, and why a full-speed USB box plausibly has them:
// - replies after 1 to 12 ms: a bulk round trip takes 1 to 2 ms of 1 ms
//   frames, and the box's firmware answers from its main loop, which also
//   serves the line;
// - the end-of-playback report 2 to 30 ms after the buffer has played out:
//   the box notices the end on its next pass over the line;
// - a sound-in FIFO of 4 KiB and a sound-out buffer of one 512-byte chunk
//   (see the stream files);
// - hook changes and busy tone in-band as well as in reports.
// Every setting below is meant for the box it is made on; a mode change
// puts that mode's defaults back, so a test sets the mode first.
#include "sim/BoxInternals.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace zlsim {
using namespace internal;

namespace {
constexpr int StrictLatencyMin = 1, StrictLatencyMax = 12;
constexpr int StrictEndMin = 2, StrictEndMax = 30;
constexpr size_t StrictFifo = 4096;
constexpr uint32_t SeedBase = 0x5A4C0000;
}  // namespace

VirtualBox::VirtualBox(VirtualDriver &driver, int index) : Driver_(driver), Index_(index)
{
    Path_ = "\\\\?\\usb#vid_5a4c&pid_0001#zl" + std::to_string(index) +
            "#{77f49321-16ef-11d2-ad51-006097b514d" + std::string(1, "defg"[index]) + "}";
    if (index == 3)
        Path_ = "\\\\?\\usb#vid_5a4c&pid_0001#zl3#{77f49321-16ef-11d2-ad51-006097b514e0}";
    Seed_ = SeedBase + static_cast<uint32_t>(index);
    OutAt_ = Clock::now();
    ApplyModeLocked(Mode::Strict);
}

void VirtualBox::SetMode(Mode mode)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    ApplyModeLocked(mode);
}

void VirtualBox::ApplyModeLocked(Mode mode)
{
    Mode_ = mode;
    const bool strict = mode == Mode::Strict;
    LatencyMin_ = strict ? StrictLatencyMin : 0;
    LatencyMax_ = strict ? StrictLatencyMax : 0;
    EndMin_ = strict ? StrictEndMin : 0;
    EndMax_ = strict ? StrictEndMax : 0;
    Fifo_ = strict ? StrictFifo : std::numeric_limits<size_t>::max();
    OutCapacity_ = ChunkSize;
    InBand_ = strict;
    InBandKeys_ = false;
    WakeAllLocked();
}

VirtualBox::Mode VirtualBox::GetMode() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return Mode_;
}

Clock::duration VirtualBox::DrawLocked(int minMs, int maxMs)
{
    if (maxMs <= 0)
        return Clock::duration::zero();
    if (minMs >= maxMs)
        return std::chrono::milliseconds(maxMs);
    // A small generator of our own, so that a seed gives the same draws with
    // every standard library.
    uint64_t x = (uint64_t(Seed_) << 32 | 0x9E3779B9u) + 0x9E3779B97F4A7C15ull * ++Draws_;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    const uint64_t spanUs = uint64_t(maxMs - minMs) * 1000;
    return std::chrono::microseconds(int64_t(minMs) * 1000 + int64_t(x % (spanUs + 1)));
}

Clock::duration VirtualBox::ReplyLatencyLocked() { return DrawLocked(LatencyMin_, LatencyMax_); }

void VirtualBox::SetReplyDelay(int ms)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    LatencyMin_ = LatencyMax_ = std::max(ms, 0);
    // An exact delay also times the end of a playback exactly.
    EndMin_ = EndMax_ = 0;
}

void VirtualBox::SetReplyLatency(int minMs, int maxMs)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    LatencyMin_ = std::max(minMs, 0);
    LatencyMax_ = std::max(maxMs, LatencyMin_);
}

void VirtualBox::SetEndReportDelay(int minMs, int maxMs)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    EndMin_ = std::max(minMs, 0);
    EndMax_ = std::max(maxMs, EndMin_);
}

void VirtualBox::SetSeed(uint32_t seed)
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    Seed_ = seed;
    Draws_ = 0;
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
    WakeLocked(CommandWait);
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

}  // namespace zlsim
