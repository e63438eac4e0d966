// Recording on the virtual box, in the early wake-up mode and in pure
// polling: unpaced throughput, CPU time at real time, the latency of a
// command sent during a recording, and the time StopReadSound takes. The
// CPU stands beside its floor, measured in the same run: a thread that
// wakes every 64 ms and writes 512 bytes to a file.
//
//   zplr_bench_record [--audio-seconds N] [--cpu-seconds N] [--commands N] [--stops N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchCommon.h"
#include "platform/Clock.h"
#include "sim/VirtualBox.h"
#include "zPLR.h"

using namespace zplr;
using namespace zplr::bench;

namespace {

struct Figures {
    double Throughput = 0;  // multiple of real time
    double CpuShare = 0;    // of one core
    Stats Command{}, Stop{};
};

void Fail(const char *what, int r)
{
    std::fprintf(stderr, "%s failed: %d\n", what, r);
    std::exit(1);
}

Figures Run(CZusb_IO &io, zlsim::VirtualDriver &driver, const std::string &file, int audioSeconds,
            int cpuSeconds, int commands, int stops)
{
    Figures f;
    std::mt19937 rng(7);

    // Unpaced: as fast as the library reads.
    driver.SetSoundPace(0);
    const unsigned target = static_cast<unsigned>(audioSeconds) * 8000;
    auto t0 = Steady::now();
    int r = io.StartReadSound(file.c_str(), 1);
    if (r != 1)
        Fail("StartReadSound", r);
    while (io.ReadRecLength() < target)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double wall = std::chrono::duration<double>(Steady::now() - t0).count();
    const unsigned got = io.ReadRecLength();
    if ((r = io.StopReadSound()) < 48)
        Fail("StopReadSound", r);
    f.Throughput = got / 8000.0 / wall;

    // Real time: CPU of the whole process (library and virtual box).
    driver.SetSoundPace(1);
    if ((r = io.StartReadSound(file.c_str(), 1)) != 1)
        Fail("StartReadSound", r);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double c0 = CpuSeconds();
    auto w0 = Steady::now();
    std::this_thread::sleep_for(std::chrono::seconds(cpuSeconds));
    f.CpuShare = (CpuSeconds() - c0) / std::chrono::duration<double>(Steady::now() - w0).count();

    // Commands during the recording, at random moments of the reads.
    std::vector<double> t;
    for (int i = 0; i < commands; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 70000));
        auto c = Steady::now();
        if ((r = io.SetEstimateStatus(0)) != 1)
            Fail("command during recording", r);
        t.push_back(Ms(Steady::now() - c).count());
    }
    f.Command = Summarise(t);
    if ((r = io.StopReadSound()) < 48)
        Fail("StopReadSound", r);

    // StopReadSound at a random moment of a real-time recording.
    t.clear();
    for (int i = 0; i < stops; ++i) {
        if ((r = io.StartReadSound(file.c_str(), 1)) != 1)
            Fail("StartReadSound", r);
        std::this_thread::sleep_for(std::chrono::milliseconds(200 + rng() % 70));
        auto s = Steady::now();
        if ((r = io.StopReadSound()) < 48)
            Fail("StopReadSound", r);
        t.push_back(Ms(Steady::now() - s).count());
    }
    f.Stop = Summarise(t);
    return f;
}

}  // namespace

int main(int argc, char **argv)
{
    if (HelpAsked(argc, argv,
                  "usage: zplr_bench_record [--audio-seconds N] [--cpu-seconds N] [--commands N] [--stops N]\n"
                  "Measures recording on the virtual box, in the early wake-up mode and in pure polling:\n"
                  "  unpaced throughput     times real time over N s of audio (default 600)\n"
                  "  CPU share              of one core during N s of real-time recording (default 4)\n"
                  "  command latency        median and p99 of N commands during a recording (default 60)\n"
                  "  StopReadSound          median and p99 of N stops (default 15)\n"
                  "and the floor of the CPU share: a thread that wakes every 64 ms to write 512 bytes\n"
                  "to a file, for as long as the CPU is measured.\n"
                  "Targets checked in the early wake-up mode (exit status 1 when one is missed):\n"
                  "  throughput >= 1000x real time, CPU <= 1.5x its floor, command p99 <= 63.5 ms,\n"
                  "  stop p99 <= 70 ms\n"))
        return 0;
    int audioSeconds = 600, cpuSeconds = 4, commands = 60, stops = 15;
    if (!ParseOptions(argc, argv, {{"--audio-seconds", &audioSeconds, 1}, {"--cpu-seconds", &cpuSeconds, 1},
                                   {"--commands", &commands, 1}, {"--stops", &stops, 1}}))
        return 2;
    zlsim::VirtualDriver driver;
    const std::string file = (std::filesystem::temp_directory_path() / "zplr_bench_record.wav").string();

    CZusb_IO io(0);
    if (StartVirtualBox(driver, io) < 0)
        return 1;
    Figures early = Run(io, driver, file, audioSeconds, cpuSeconds, commands, stops);
    platform::SetPurePolling(true);
    Figures polling = Run(io, driver, file, audioSeconds, cpuSeconds, commands, stops);
    platform::SetPurePolling(false);
    io.ExistUSB_IO();
    ZlSetDriverBackend(nullptr);
    std::remove(file.c_str());
    const double floorCpu = TimerWriteFloor(file + ".floor", cpuSeconds, 64, 512);

    auto show = [](const char *mode, const Figures &f) {
        std::printf("%s:\n", mode);
        std::printf("  unpaced recording: %.0fx real time\n", f.Throughput);
        std::printf("  real-time recording: %.3f %% of one core (library and virtual box)\n", f.CpuShare * 100);
        std::printf("  command during recording: median %.2f ms, p99 %.2f ms\n", f.Command.Median, f.Command.P99);
        std::printf("  StopReadSound: median %.2f ms, p99 %.2f ms\n", f.Stop.Median, f.Stop.P99);
    };
    show("early wake-up", early);
    show("pure polling", polling);
    std::printf("floor: timer-plus-write, %.3f %% of one core; real-time recording against it: ratio %.2f\n",
                floorCpu * 100, floorCpu > 0 ? early.CpuShare / floorCpu : 0.0);
    bool ok = early.Throughput >= 1000 && early.CpuShare <= 1.5 * floorCpu &&
              early.Command.P99 <= 63.5 && early.Stop.P99 <= 70;
    std::printf("targets (early wake-up) %s\n", ok ? "met" : "MISSED");
    return ok ? 0 : 1;
}
