// The box's settings and the faults a test injects: reply timing and
// withheld replies, custom answers, failed and short transfers, held
// writes, and what the interface looks like to discovery.
#include "sim/BoxInternals.h"

#include <algorithm>
#include <cstring>

namespace zlsim {
using namespace internal;

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
}  // namespace zlsim
