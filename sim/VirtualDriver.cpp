// The driver side of the virtual box: the four boxes' interfaces as the
// system lists them, plugging and pulling, and the handles of their pipes
// (open, cancel, close). What goes through an open pipe is modelled in the
// pipe and stream files. One lock guards all four boxes; each box wakes only
// the transfers and waits of the pipe that changed.
#include "sim/BoxInternals.h"

#include <algorithm>
#include <cstring>

namespace zlsim {
using namespace internal;

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
    b.OutLevel_ = 0;
    ++b.PlayChain_;
    b.WakeAllLocked();
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

VirtualDriver::Transfer::Transfer(VirtualDriver &d, ZlHandle h) : D(d), H(h)
{
    if (HandleInfo *i = D.Find(h)) {
        Cancels = i->Cancels;
        ++i->Blocked;
        Counted = true;
    }
}

VirtualDriver::Transfer::~Transfer()
{
    if (!Counted)
        return;
    if (HandleInfo *i = D.Find(H))
        --i->Blocked;
}

bool VirtualDriver::Transfer::Ended(bool takePending)
{
    HandleInfo *i = D.Find(H);
    if (!i || !D.Live(*i) || i->Cancels != Cancels)
        return true;
    if (takePending && i->CancelPending) {
        i->CancelPending = false;
        return true;
    }
    return false;
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
        VirtualBox::Keep(b.Opens_, VirtualBox::LogEntries);
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

void VirtualDriver::CancelIo(ZlHandle h)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    HandleInfo *info = Find(h);
    if (!info)
        return;
    ++info->Cancels;
    if (info->Blocked == 0) {
        info->CancelPending = true;
        return;
    }
    Boxes_[info->Box]->WakeLocked(VirtualBox::WaiterOf(info->On));
}

void VirtualDriver::Close(ZlHandle h)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    HandleInfo *info = Find(h);
    if (!info)
        return;
    const bool blocked = info->Blocked != 0;
    const Pipe on = info->On;
    VirtualBox &b = *Boxes_[info->Box];
    Handles_.erase(h);
    if (blocked)
        b.WakeLocked(VirtualBox::WaiterOf(on));
}

size_t VirtualDriver::OpenHandles() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return Handles_.size();
}

unsigned VirtualDriver::Transfers(ZlHandle h) const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    auto it = Handles_.find(h);
    return it == Handles_.end() ? 0 : it->second.Blocked;
}

}  // namespace zlsim
