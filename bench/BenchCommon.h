// What the benchmarks share: figures of a series of timings, and box 0 of
// the virtual driver started behind the driver interface.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

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

// A benchmark's `--name N` option.
struct IntOption {
    const char *Name;
    int *Value;
    int Min;
};

// Reads the options; false, with the reason on stderr, for an option it
// does not know or a value that is not a whole number of at least Min.
inline bool ParseOptions(int argc, char **argv, std::initializer_list<IntOption> options)
{
    for (int i = 1; i < argc; i += 2) {
        const IntOption *o = nullptr;
        for (const IntOption &known : options)
            if (!std::strcmp(argv[i], known.Name))
                o = &known;
        if (!o) {
            std::fprintf(stderr, "%s: unknown option %s (see --help)\n", argv[0], argv[i]);
            return false;
        }
        char *end = nullptr;
        const long v = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : 0;
        if (i + 1 >= argc || *end || end == argv[i + 1] || v < o->Min || v > 1000000000L) {
            std::fprintf(stderr, "%s: %s wants a whole number of at least %d\n", argv[0], o->Name, o->Min);
            return false;
        }
        *o->Value = static_cast<int>(v);
    }
    return true;
}

inline Stats Summarise(std::vector<double> t)
{
    std::sort(t.begin(), t.end());
    return {t[t.size() / 2], t[std::min(t.size() - 1, t.size() * 99 / 100)]};
}

// CPU time of the whole process so far, in seconds.
inline double CpuSeconds()
{
#ifdef _WIN32
    FILETIME c, e, k, u;
    GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u);
    auto t = [](FILETIME f) { return (static_cast<unsigned long long>(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 1e7; };
    return t(k) + t(u);
#else
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
#endif
}

// Context switches of the whole process so far: the ones its threads asked
// for by waiting, and the ones the system imposed (these grow with the
// machine's load). 0 where they are not counted.
struct Switches {
    long Voluntary = 0, Involuntary = 0;
};
inline Switches ContextSwitches()
{
#ifdef _WIN32
    return {};
#else
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return {r.ru_nvcsw, r.ru_nivcsw};
#endif
}

// The floor of a path that hands work from thread to thread `links` times
// and comes back to where it began: a token goes round a ring of `links`
// threads (this one among them), each waking the next through a condition
// variable. Times of one round, in ms. links 2 is the ping-pong.
inline Stats HandOffChain(int links, int rounds)
{
    struct Link {
        std::mutex Mutex;
        std::condition_variable Cv;
        bool Token = false;
        bool Stop = false;
    };
    std::vector<std::unique_ptr<Link>> ring;
    for (int i = 0; i < links; ++i)
        ring.push_back(std::make_unique<Link>());
    auto pass = [&](int to) {
        Link &l = *ring[to % links];
        {
            std::lock_guard<std::mutex> lock(l.Mutex);
            l.Token = true;
        }
        l.Cv.notify_one();
    };
    auto take = [&](int at) {
        Link &l = *ring[at];
        std::unique_lock<std::mutex> lock(l.Mutex);
        l.Cv.wait(lock, [&] { return l.Token || l.Stop; });
        l.Token = false;
        return !l.Stop;
    };
    std::vector<std::thread> threads;
    for (int i = 1; i < links; ++i)
        threads.emplace_back([&, i] {
            while (take(i))
                pass(i + 1);
        });
    std::vector<double> t;
    t.reserve(rounds);
    for (int r = 0; r < rounds; ++r) {
        auto t0 = Steady::now();
        pass(1);
        take(0);
        t.push_back(Ms(Steady::now() - t0).count());
    }
    for (int i = 1; i < links; ++i) {
        {
            std::lock_guard<std::mutex> lock(ring[i]->Mutex);
            ring[i]->Stop = true;
        }
        ring[i]->Cv.notify_one();
    }
    for (std::thread &th : threads)
        th.join();
    return Summarise(t);
}

// The CPU floor of a real-time stream: a thread that wakes every periodMs
// and writes `bytes` to a file, for `seconds`. Share of one core.
inline double TimerWriteFloor(const std::string &file, int seconds, int periodMs, size_t bytes)
{
    std::vector<char> block(bytes, 0x55);
    const double c0 = CpuSeconds();
    const auto w0 = Steady::now();
    std::thread([&] {
        std::ofstream f(file, std::ios::binary);
        auto next = Steady::now();
        const auto end = next + std::chrono::seconds(seconds);
        while (next < end) {
            next += std::chrono::milliseconds(periodMs);
            std::this_thread::sleep_until(next);
            f.write(block.data(), static_cast<std::streamsize>(block.size()));
            f.flush();
        }
    }).join();
    const double share = (CpuSeconds() - c0) / std::chrono::duration<double>(Steady::now() - w0).count();
    std::remove(file.c_str());
    return share;
}

// "figure (floor F, ratio R)" for a figure that should be small.
inline void PrintAgainst(const char *what, double figure, double floor, const char *unit)
{
    std::printf("%s: %.4g %s; floor %.4g %s; ratio %.2f\n", what, figure, unit, floor, unit,
                floor > 0 ? figure / floor : 0.0);
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

// A WAV file of the library's layout with `seconds` of a steady pattern.
inline void WriteSound(const std::string &path, int seconds)
{
    const uint32_t n = static_cast<uint32_t>(seconds) * 8000;
    uint8_t h[48] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 20, 0, 0, 0,
                     6, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0, 2, 0, 0, 0,
                     'd', 'a', 't', 'a', 0, 0, 0, 0};
    const uint32_t riff = 40 + n;
    std::memcpy(h + 4, &riff, 4);
    std::memcpy(h + 44, &n, 4);
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(h), sizeof h);
    std::vector<char> sound(n);
    for (uint32_t i = 0; i < n; ++i)
        sound[i] = static_cast<char>(0x55 ^ (i % 40 < 20 ? 0x30 : 0x00));
    f.write(sound.data(), n);
}

}  // namespace zplr::bench
