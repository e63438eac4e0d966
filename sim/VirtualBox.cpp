#include "sim/VirtualBox.h"

#include <algorithm>
#include <cstring>

namespace zlsim {
namespace {
using Clock = std::chrono::steady_clock;

const char *PipeNames[4] = {"ZLDrv0", "ZLDrv1", "ZLDrv2", "ZLDrv3"};

int Key(Pipe p) { return static_cast<int>(p); }
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
}

std::vector<Bytes64> VirtualBox::Packets() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return Packets_;
}

size_t VirtualBox::PacketCount() const
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    return Packets_.size();
}

void VirtualBox::ClearPackets()
{
    std::lock_guard<std::mutex> lock(Driver_.Mutex_);
    Packets_.clear();
}

bool VirtualBox::WaitPackets(size_t n, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(Driver_.Mutex_);
    return Driver_.Changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return Packets_.size() >= n; });
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
        Handles_[Next_] = {i, pipe, b.Generation_};
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
    if (pipe != Pipe::Report) {
        // No sound source yet: the read blocks until the box goes away.
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
            if (due <= Clock::now())
                break;
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
        b.AnswerLocked(p);
        Changed_.notify_all();
    } else if (info->On != Pipe::SoundOut) {
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
