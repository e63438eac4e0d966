// Feeds arbitrary sequences of 64-byte reports to the dispatcher of a slot
// and checks that the slot stays consistent.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "transport/Dispatcher.h"

using namespace zplr::transport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    DeviceSlot &s = SlotFor(0);
    // The first byte chooses the slot's state: started or not, command pending.
    uint8_t mode = size ? data[0] : 0;
    s.DeviceStatus.store((mode & 1 ? InitDone : 0) | (mode & 2 ? AwaitingReply : 0));
    if (size)
        ++data, --size;
    uint8_t echo[PacketSize + 8];
    std::memset(echo, 0x5A, sizeof echo);
    while (size) {
        uint8_t report[PacketSize] = {};
        size_t n = size < PacketSize ? size : PacketSize;
        std::memcpy(report, data, n);
        data += n;
        size -= n;
        Dispatch(s, report, echo);
        if (s.DtmfWriteIndex.load() >= RingSize || s.Tone450WriteIndex.load() >= RingSize)
            std::abort();
        // Bytes behind the longest layout of each field are never written.
        for (int i = 69; i < 129; ++i)
            if (s.CallerIdRecord[i])
                std::abort();
        for (int i = 33; i < 65; ++i)
            if (s.InfoReply[i])
                std::abort();
        for (int i = 6; i < 51; ++i)
            if (s.SumReply[i])
                std::abort();
        if (s.FskOeData[64])
            std::abort();
        for (int i = PacketSize; i < PacketSize + 8; ++i)
            if (echo[i] != 0x5A)
                std::abort();
        uint8_t k;
        uint16_t t;
        if (report[0] == 1) {  // drain now and then
            while (PopKey(s, k)) {
            }
            while (PopTone(s, t)) {
            }
        }
    }
    return 0;
}
