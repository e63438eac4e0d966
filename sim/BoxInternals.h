// What the virtual box's model files share: the wire names and sizes they
// all use, and the helpers that read a log under the driver's lock. Not
// installed; only the sim/ sources include it.
#pragma once

#include "sim/VirtualBox.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace zlsim::internal {
using Clock = std::chrono::steady_clock;

inline const char *const PipeNames[4] = {"ZLDrv0", "ZLDrv1", "ZLDrv2", "ZLDrv3"};
constexpr unsigned StreamStartRequest = 0x80002010;
constexpr double StreamBytesPerSecond = 8192;  // 8000 samples in 32 frames
constexpr unsigned FrameSize = 256;
constexpr unsigned FrameAudio = 250;

inline int Key(Pipe p) { return static_cast<int>(p); }

// The logs a test reads (command packets, sound-out bytes) are kept under
// the driver's lock.
template <class Log> Log CopyOf(std::mutex &m, const Log &log)
{
    std::lock_guard<std::mutex> lock(m);
    return log;
}

template <class Log> size_t SizeOf(std::mutex &m, const Log &log)
{
    std::lock_guard<std::mutex> lock(m);
    return log.size();
}

template <class Log> void Empty(std::mutex &m, Log &log)
{
    std::lock_guard<std::mutex> lock(m);
    log.clear();
}

// Waits up to timeoutMs of real time until `log` holds n entries; counted in
// `waiters` while it waits, for a writer that wakes only waiters.
template <class Log>
bool AwaitSize(std::mutex &m, std::condition_variable &changed, const Log &log, size_t n,
               int timeoutMs, unsigned *waiters = nullptr)
{
    std::unique_lock<std::mutex> lock(m);
    if (waiters)
        ++*waiters;
    const bool got = changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                      [&] { return log.size() >= n; });
    if (waiters)
        --*waiters;
    return got;
}
}  // namespace zlsim::internal
