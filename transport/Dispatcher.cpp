#include "transport/Dispatcher.h"

#include <cstring>

#include "transport/Channel.h"
#include "zPLR.h"

namespace zplr::transport {
namespace {

// Event reports: they never end a command's wait.
bool IsEvent(uint8_t code)
{
    return code == 5 || code == 7 || code == 25 || code == 33 || code == 208 || code == 209;
}

template <size_t N>
void StoreInfo(uint8_t (&field)[N], const uint8_t *from, size_t count)
{
    static_assert(N >= 1);
    if (count > N - 1)
        count = N - 1;
    std::memcpy(field, from, count);
    field[count] = 0;
}

uint16_t U16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint8_t NextIndex(unsigned i) { return static_cast<uint8_t>(i < RingSize - 1 ? i + 1 : 0); }

void StoreCallerId(DeviceSlot &s, const uint8_t (&r)[PacketSize])
{
    std::lock_guard<std::mutex> lock(s.RingLock);
    if (r[1] == 1) {
        unsigned n = r[3];
        unsigned k = n < 59 ? n + 4 : 63;
        std::memcpy(s.CallerIdRecord, r + 1, k);
        s.CallerIdRecord[k] = 0;
    } else if (r[1] == 2) {
        s.CallerIdRecord[0] = 2;
        s.CallerIdRecord[1] = 0;
    }
}

// A new call starts without a number until its caller-ID message comes:
// the last call's number must never be shown for it. Under RingLock.
void ForgetCallerNumber(DeviceSlot &s) { std::memset(s.CallerIdRecord, 0, 63); }

}  // namespace

void PushKey(DeviceSlot &s, uint8_t key)
{
    std::lock_guard<std::mutex> lock(s.RingLock);
    unsigned w = s.DtmfWriteIndex.load(std::memory_order_relaxed);
    if (w >= RingSize)
        w = 0;
    s.DtmfRing[w].store(key, std::memory_order_relaxed);
    s.DtmfWriteIndex.store(NextIndex(w), std::memory_order_release);
}

void PushTone(DeviceSlot &s, uint16_t value)
{
    // Only the report thread pushes tones.
    unsigned w = s.Tone450WriteIndex.load(std::memory_order_relaxed);
    if (w >= RingSize)
        w = 0;
    s.Tone450Ring[w].store(value, std::memory_order_relaxed);
    s.Tone450WriteIndex.store(NextIndex(w), std::memory_order_release);
}

bool PopKey(DeviceSlot &s, uint8_t &key)
{
    unsigned r = s.DtmfReadIndex.load(std::memory_order_relaxed);
    if (r >= RingSize)
        r = 0;
    if (r == s.DtmfWriteIndex.load(std::memory_order_acquire))
        return false;
    key = s.DtmfRing[r].load(std::memory_order_relaxed);
    s.DtmfReadIndex.store(NextIndex(r), std::memory_order_release);
    return true;
}

bool PopTone(DeviceSlot &s, uint16_t &value)
{
    unsigned r = s.Tone450ReadIndex.load(std::memory_order_relaxed);
    if (r >= RingSize)
        r = 0;
    if (r == s.Tone450WriteIndex.load(std::memory_order_acquire))
        return false;
    value = s.Tone450Ring[r].load(std::memory_order_relaxed);
    s.Tone450ReadIndex.store(static_cast<uint16_t>(NextIndex(r)), std::memory_order_release);
    return true;
}

void ProcStatus(DeviceSlot &s, const uint8_t *rec)
{
    if (!rec)
        return;
    const uint8_t type = rec[0], state = rec[1], mode = rec[2];
    if (type == 1) {
        if (state == 0) {
            s.Clear(OffHook | PhoneOffHook);
        } else if (state == 1) {
            // One step, so that no reader sees off hook without its mode.
            uint32_t set = OffHook | PhoneOffHook | (mode == 1 ? PickUpMode1 : PickUpMode2);
            uint32_t clear = mode == 1 ? PickUpMode2 : PickUpMode1;
            uint32_t old = s.DeviceStatus.load(std::memory_order_relaxed);
            while (!s.DeviceStatus.compare_exchange_weak(old, (old | set) & ~clear,
                                                          std::memory_order_acq_rel)) {
            }
            s.Gate.Notify();
        } else if (state == 2) {
            s.Clear(PhoneOffHook);
        }
    } else if (type == 3) {
        if (state & 0x01) {
            s.Put(s.PlayError, -1);
            s.Clear(OffHook | PhoneOffHook);
        }
        if (state & 0x08)
            s.Set(PhoneOffHook | PhonePickedUp);
        if (state & 0x20)
            s.Set(PlayEnded);
    }
}

void Dispatch(DeviceSlot &s, const uint8_t (&r)[PacketSize], uint8_t *echo)
{
    const uint8_t code = r[0];
    switch (code) {
    case 3: s.DeviceStatus.fetch_or(Report3Seen); break;
    case 4:
        if (s.Has(InitDone)) {
            StoreCallerId(s, r);
            CreditReply(s);
            // The acknowledgement awaits its reply like any command; with
            // no writer it is dropped, as a refused hand-over would be.
            // It takes no number: an application packet may have gone out
            // just before it, and the next reply is that packet's.
            if (s.CommandPipeCtx.Run.load(std::memory_order_acquire) == 1) {
                s.DeviceStatus.fetch_or(AwaitingReply, std::memory_order_acq_rel);
                s.AckPending.store(1, std::memory_order_release);
            }
            s.Gate.Notify();
            return;
        }
        break;
    case 5: {
        uint16_t second = U16(r + 2);
        PushTone(s, r[1]);
        PushTone(s, second);
        if (second > 10 && second < 60)
            s.DeviceStatus.fetch_or(BusyTone);
        break;
    }
    case 6: s.DeviceStatus.fetch_or(Report6Seen); break;
    case 7: PushKey(s, r[1]); break;
    case 8: s.DiFlags.store(U32(r + 1), std::memory_order_relaxed); break;
    case 9:
        if (r[1] == 0xD0 && r[2] == 3 && (r[3] & 0x20)) {
            const uint32_t owed = s.EndOwedEpoch.exchange(0);
            if (owed != 0 && owed != s.PlayEpoch.load()) {
                // The late end of an earlier playback: it neither ends nor
                // paces the one that runs now.
                const uint8_t rest[3] = {r[2], static_cast<uint8_t>(r[3] & ~0x20), r[4]};
                ProcStatus(s, rest);
                break;
            }
        }
        s.SoundOutAck.store(1, std::memory_order_relaxed);
        if (r[1] == 0xD0) {
            ProcStatus(s, r + 2);
        } else if (r[1] == 0xD1) {
            s.DiFlags.store(U32(r + 2), std::memory_order_relaxed);
            if (r[6] == 1)
                PushKey(s, r[7]);
        }
        break;
    case 10:
    case 19: s.FlashWriteResult.store(r[1], std::memory_order_relaxed); break;
    case 11:
    case 20:
    case 37: StoreInfo(s.InfoReply, r + 1, 1); break;
    case 12:
    case 13:
    case 14:
    case 15: StoreInfo(s.InfoReply, r + 1, 16); break;
    case 18: StoreInfo(s.InfoReply, r + 1, 11); break;
    case 21: StoreInfo(s.FskOeData, r + 1, 63); break;
    case 22: {
        std::lock_guard<std::mutex> lock(s.RingLock);
        ForgetCallerNumber(s);
        std::memcpy(s.CallerIdRecord + 63, r + 1, 5);
        s.CallerIdRecord[68] = 0;
        break;
    }
    case 23: s.Adc01Value.store(U16(r + 1), std::memory_order_relaxed); break;
    case 25: s.DeviceStatus.fetch_or(CalledPickedUp); break;
    case 32:
        if (r[1] == 0)
            s.ModifyIdResult.store(-1, std::memory_order_relaxed);
        else if (r[1] == 1)
            s.ModifyIdResult.store(1, std::memory_order_relaxed);
        else if (r[1] == 2)
            s.ModifyIdResult.store(-2, std::memory_order_relaxed);
        break;
    case 33: {
        {
            std::lock_guard<std::mutex> lock(s.RingLock);
            ForgetCallerNumber(s);
        }
        s.DeviceStatus.fetch_or(IncomingCall);
        break;
    }
    case 34: StoreInfo(s.SumReply, r + 1, 5); break;
    case 35: StoreInfo(s.InfoReply, r + 1, 6); break;
    case 36: StoreInfo(s.InfoReply, r + 1, 32); break;
    case 208: ProcStatus(s, r + 1); break;
    case 209:
        PushKey(s, r[1]);
        PushKey(s, r[2]);
        PushKey(s, r[3]);
        break;
    case 248:
    case 251:
    {
        std::lock_guard<std::mutex> lock(s.EchoLock);
        std::memcpy(s.EchoBuffer, r, PacketSize);
        if (!echo && s.ReportPipeCtx.Owner)
            echo = s.ReportPipeCtx.Owner->EchoReply;
        if (echo)
            std::memcpy(echo, r, PacketSize);
        break;
    }
    default: break;
    }
    if (code == 9 && s.OutstandingCode.load(std::memory_order_relaxed) != 9) {
        // A chunk request or the end of a playback is the box's own report,
        // never the reply to another command: that command waits on.
        s.Clear(AwaitingReply);
    } else if (!IsEvent(code)) {
        CreditReply(s);
    }
    if (code == 22)
        s.DeviceStatus.fetch_or(IncomingCall, std::memory_order_acq_rel);
    // One notification for everything the report stored.
    s.Gate.Notify();
}

}  // namespace zplr::transport

void CZusb_IO::ProcZLStatus(unsigned char *status)
{
    zplr::transport::ProcStatus(zplr::transport::SlotFor(DeviceIndex), status);
}
