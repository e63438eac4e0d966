// The virtual box behind C entry points. Driver and models are made once and
// never destroyed: sessions left open run until the process ends.
#include "TestBox.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "sim/LineModel.h"
#include "sim/RecordModel.h"
#include "sim/VirtualBox.h"

namespace {

struct Models {
    zlsim::LineModel *Line = nullptr;
    zlsim::RecordModel *Records = nullptr;
};

std::mutex Lock;
zlsim::VirtualDriver *Driver = nullptr;
Models Boxes[4];

bool Valid(int32_t index) { return index >= 0 && index < 4; }

zlsim::VirtualDriver &TheDriver()
{
    std::lock_guard<std::mutex> g(Lock);
    if (!Driver) {
        Driver = new zlsim::VirtualDriver;
        ZlSetDriverBackend(Driver);
    }
    return *Driver;
}

zlsim::LineModel *Line(int32_t index)
{
    if (!Valid(index))
        return nullptr;
    TheDriver();
    std::lock_guard<std::mutex> g(Lock);
    return Boxes[index].Line;
}

}  // namespace

extern "C" {

void ZPLR_TESTBOX_CALL zplr_testbox_plug(int32_t index)
{
    if (!Valid(index))
        return;
    zlsim::VirtualDriver &d = TheDriver();
    {
        std::lock_guard<std::mutex> g(Lock);
        if (!Boxes[index].Line) {
            Boxes[index].Line = new zlsim::LineModel(d.Box(index));
            Boxes[index].Records = new zlsim::RecordModel(d.Box(index));
        }
    }
    d.Plug(index);
}

void ZPLR_TESTBOX_CALL zplr_testbox_unplug(int32_t index)
{
    if (Valid(index))
        TheDriver().Unplug(index);
}

void ZPLR_TESTBOX_CALL zplr_testbox_ring(int32_t index, const char *number, int32_t format)
{
    zlsim::LineModel *l = Line(index);
    if (!l)
        return;
    const zlsim::CallerIdType t = format == ZPLR_TESTBOX_MDMF     ? zlsim::CallerIdType::Mdmf
                                  : format == ZPLR_TESTBOX_DIGITS ? zlsim::CallerIdType::Digits
                                                                  : zlsim::CallerIdType::Sdmf;
    l->Ring(number ? number : "", t);
}

void ZPLR_TESTBOX_CALL zplr_testbox_press_keys(int32_t index, const char *keys)
{
    if (zlsim::LineModel *l = Line(index))
        l->PressKeys(keys ? keys : "");
}

void ZPLR_TESTBOX_CALL zplr_testbox_answer(int32_t index)
{
    if (zlsim::LineModel *l = Line(index))
        l->Answer();
}

void ZPLR_TESTBOX_CALL zplr_testbox_busy(int32_t index)
{
    if (zlsim::LineModel *l = Line(index))
        l->Busy();
}

void ZPLR_TESTBOX_CALL zplr_testbox_release(int32_t index)
{
    if (zlsim::LineModel *l = Line(index))
        l->Release();
}

void ZPLR_TESTBOX_CALL zplr_testbox_far_end(int32_t index, const uint8_t *alaw, size_t count)
{
    if (zlsim::LineModel *l = Line(index))
        l->Audio().SetFarEnd(alaw ? std::vector<uint8_t>(alaw, alaw + count) : std::vector<uint8_t>());
}

void ZPLR_TESTBOX_CALL zplr_testbox_set_flags(int32_t index, uint32_t flags)
{
    if (zlsim::LineModel *l = Line(index))
        l->SetFlags(flags);
}

int32_t ZPLR_TESTBOX_CALL zplr_testbox_off_hook(int32_t index)
{
    zlsim::LineModel *l = Line(index);
    return l && l->OffHook() ? 1 : 0;
}

int32_t ZPLR_TESTBOX_CALL zplr_testbox_last_dialled(int32_t index, char *out, int32_t size)
{
    zlsim::LineModel *l = Line(index);
    if (!l || !out || size <= 0)
        return 0;
    const std::string s = l->LastDialled();
    const size_t n = std::min(s.size(), static_cast<size_t>(size - 1));
    std::memcpy(out, s.data(), n);
    out[n] = 0;
    return static_cast<int32_t>(n);
}

int32_t ZPLR_TESTBOX_CALL zplr_testbox_packet_count(int32_t index)
{
    return Valid(index) ? static_cast<int32_t>(TheDriver().Box(index).PacketCount()) : 0;
}

int32_t ZPLR_TESTBOX_CALL zplr_testbox_packet(int32_t index, int32_t n, uint8_t *out)
{
    if (!Valid(index) || !out || n < 0)
        return 0;
    const std::vector<zlsim::Bytes64> p = TheDriver().Box(index).Packets();
    if (static_cast<size_t>(n) >= p.size())
        return 0;
    std::memcpy(out, p[n].data(), 64);
    return 1;
}

void ZPLR_TESTBOX_CALL zplr_testbox_clear_packets(int32_t index)
{
    if (Valid(index))
        TheDriver().Box(index).ClearPackets();
}

int32_t ZPLR_TESTBOX_CALL zplr_testbox_wait_packets(int32_t index, int32_t n, int32_t timeout_ms)
{
    if (!Valid(index) || n < 0)
        return 0;
    return TheDriver().Box(index).WaitPackets(static_cast<size_t>(n), timeout_ms) ? 1 : 0;
}

void ZPLR_TESTBOX_CALL zplr_testbox_send_report(int32_t index, const uint8_t *report)
{
    if (!Valid(index) || !report)
        return;
    zlsim::Bytes64 r;
    std::memcpy(r.data(), report, 64);
    TheDriver().Box(index).SendReport(r);
}

void ZPLR_TESTBOX_CALL zplr_testbox_withhold_replies(int32_t index, int32_t on)
{
    if (!Valid(index))
        return;
    zlsim::VirtualBox &b = TheDriver().Box(index);
    b.WithholdReplies(on != 0);
    if (!on)
        b.ReleaseWithheld();
}

void ZPLR_TESTBOX_CALL zplr_testbox_unpaced(int32_t index)
{
    if (!Valid(index))
        return;
    zlsim::VirtualDriver &d = TheDriver();
    d.SetSoundPace(0);
    d.Box(index).SetPacing(zlsim::VirtualBox::Pacing::Unpaced);
}

uint64_t ZPLR_TESTBOX_CALL zplr_testbox_sound_in_dropped(int32_t index)
{
    return Valid(index) ? TheDriver().Box(index).SoundInDropped() : 0;
}

size_t ZPLR_TESTBOX_CALL zplr_testbox_sound_out(int32_t index, uint8_t *out, size_t size)
{
    if (!Valid(index))
        return 0;
    // The count is every byte played; the box keeps the last MiB of them,
    // copied to their places in the whole stream.
    zlsim::VirtualBox &box = TheDriver().Box(index);
    const std::vector<uint8_t> s = box.SoundOut();
    const size_t total = box.SoundOutSize();
    if (out && total >= s.size()) {
        const size_t first = total - s.size();
        for (size_t at = first; at < std::min(size, total); ++at)
            out[at] = s[at - first];
    }
    return total;
}

}  // extern "C"
