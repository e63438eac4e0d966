// What the virtual box's model files share: the wire names and sizes they
// all use. Not installed; only the sim/ sources include it.
#pragma once

#include "sim/VirtualBox.h"

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace zlsim::internal {
using Clock = std::chrono::steady_clock;

inline const char *const PipeNames[4] = {"ZLDrv0", "ZLDrv1", "ZLDrv2", "ZLDrv3"};
constexpr unsigned ReportStartRequest = 0x8000200C;
constexpr unsigned StreamStartRequest = 0x80002010;
constexpr double StreamBytesPerSecond = 8192;  // 8000 samples in 32 frames
constexpr double SoundOutBytesPerSecond = 8000;
constexpr unsigned FrameSize = 256;
constexpr unsigned FrameAudio = 250;
constexpr unsigned ChunkSize = 512;
constexpr unsigned BlockSize = 256;

inline int Key(Pipe p) { return static_cast<int>(p); }

// Copies `size` bytes at `address` of this process into `to`, or fails if
// they cannot be read, as a driver probes a caller's buffer; never faults.
bool ReadCallerMemory(uintptr_t address, void *to, size_t size);

inline Clock::duration Seconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace zlsim::internal
