// Shared helpers of the line-control operations.
#pragma once

#include <cstdint>

#include "transport/Channel.h"
#include "transport/DeviceSlot.h"

namespace zplr::line {

using transport::DeviceSlot;

// Clears `bit` and tells whether it was set, in one step on the word, so a
// report setting it again at the same moment is never lost.
inline bool TestAndClear(DeviceSlot &s, uint32_t bit)
{
    uint32_t old = s.DeviceStatus.fetch_and(~bit, std::memory_order_acq_rel);
    if (old & bit)
        s.Gate.Notify();
    return (old & bit) != 0;
}

inline uint8_t OnOff(int v) { return v == 1 ? 1 : 0; }
using transport::Low;
using transport::SendByte;

// The dial code of one character of a number; 0 for none.
uint8_t DialCode(char c);

// Decodes a caller-ID record (129 bytes) into number (61 bytes or more).
// Returns 1, or -2 when the box reported that reception failed.
int DecodeCallerId(const uint8_t (&record)[129], unsigned char *number);

}  // namespace zplr::line
