// What the benchmarks share: figures of a series of timings, and box 0 of
// the virtual driver started behind the driver interface.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "sim/VirtualBox.h"
#include "zPLR.h"

namespace zplr::bench {

using Steady = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

struct Stats {
    double Median, P99;
};

// True, with `usage` printed, when the arguments ask for help.
inline bool HelpAsked(int argc, char **argv, const char *usage)
{
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(usage, stdout);
            return true;
        }
    return false;
}

inline Stats Summarise(std::vector<double> t)
{
    std::sort(t.begin(), t.end());
    return {t[t.size() / 2], t[std::min(t.size() - 1, t.size() * 99 / 100)]};
}

// Plugs box 0 in, makes the driver the backend and starts `io` on it.
// Returns the start's time in milliseconds, or -1 (said on stderr) when the
// box was not reached.
inline double StartVirtualBox(zlsim::VirtualDriver &driver, CZusb_IO &io)
{
    driver.Plug(0);
    // Replies at once: a benchmark measures the library, not the box.
    driver.Box(0).SetReplyDelay(0);
    ZlSetDriverBackend(&driver);
    auto t0 = Steady::now();
    io.InitialUSB_IOEx(0);
    const double ms = Ms(Steady::now() - t0).count();
    if (io.IfConnectUSB() != 0) {
        std::fprintf(stderr, "virtual box not reached\n");
        return -1;
    }
    return ms;
}

}  // namespace zplr::bench
