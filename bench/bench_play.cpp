// Playback on the virtual box, with early wake-up and with pure polling:
// unpaced throughput, context switches per chunk, CPU share of a real-time
// playback, time of a stop, round trip of a PC-side chunk. The first two
// stand beside the floor of two hand-offs a chunk (the box's request to the
// sound-out thread, its write back to the box), the CPU beside a thread
// that wakes and writes a chunk every 64 ms.
//
//   zplr_bench_play [--seconds S]     (length of the real-time playback, default 5)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchCommon.h"
#include "platform/Clock.h"
#include "sim/VirtualBox.h"
#include "sound/WavLayout.h"
#include "transport/DeviceSlot.h"
#include "zPLR.h"

using namespace zplr;
using namespace zplr::bench;

namespace {

std::string MakeWav(size_t sound)
{
    const std::string path =
        (std::filesystem::temp_directory_path() / ("zplr_bench_play_" + std::to_string(sound) + ".wav")).string();
    uint8_t header[sound::WavHeaderSize];
    sound::MakeCompletedWavHeader(header, static_cast<uint32_t>(sound));
    std::vector<char> body(sound);
    for (size_t i = 0; i < sound; ++i)
        body[i] = static_cast<char>(i * 7);
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<char *>(header), sizeof header);
    f.write(body.data(), static_cast<std::streamsize>(body.size()));
    return path;
}

bool Ended(CZusb_IO &)
{
    transport::DeviceSlot &s = transport::SlotFor(0);
    return s.SoundOutPipeCtx.PlayDone.load() == 1 && s.SoundOutPipeCtx.StartPlay.load() == 0;
}

void Fail(const char *what, int r)
{
    std::fprintf(stderr, "%s failed: %d\n", what, r);
    std::exit(1);
}

// Audio seconds played per wall second, the box asking as fast as it can;
// `switches` gets the process's context switches per chunk.
double Throughput(CZusb_IO &io, zlsim::VirtualBox &box, size_t sound, double (&switches)[2])
{
    const std::string path = MakeWav(sound);
    box.SetPacing(zlsim::VirtualBox::Pacing::Unpaced);
    box.ClearSoundOut();
    const Switches s0 = ContextSwitches();
    auto t0 = Steady::now();
    int r = io.StartPlaySound(path.c_str(), 0, 1, 1, 0);
    if (r != 1)
        Fail("StartPlaySound", r);
    while (!Ended(io))
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    double wall = std::chrono::duration<double>(Steady::now() - t0).count();
    const Switches s1 = ContextSwitches();
    const double chunks = static_cast<double>(sound) / 512;
    switches[0] = static_cast<double>(s1.Voluntary - s0.Voluntary) / chunks;
    switches[1] = static_cast<double>(s1.Involuntary - s0.Involuntary) / chunks;
    io.StopPlaySound();
    std::filesystem::remove(path);
    if (box.SoundOutSize() != sound / 256 * 256)
        Fail("unpaced playback (bytes)", static_cast<int>(box.SoundOutSize()));
    return (static_cast<double>(sound) / 8000) / wall;
}

// Process CPU time over wall time while a file plays in real time.
double CpuShare(CZusb_IO &io, zlsim::VirtualBox &box, int seconds)
{
    const std::string path = MakeWav(static_cast<size_t>(seconds + 2) * 8000);
    box.SetPacing(zlsim::VirtualBox::Pacing::RealTime);
    int r = io.StartPlaySound(path.c_str(), 0, 1, 1, 0);
    if (r != 1)
        Fail("StartPlaySound", r);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double c0 = CpuSeconds();
    auto t0 = Steady::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = CpuSeconds() - c0;
    const double wall = std::chrono::duration<double>(Steady::now() - t0).count();
    io.StopPlaySound();
    std::filesystem::remove(path);
    return cpu / wall;
}

Stats StopTimes(CZusb_IO &io, zlsim::VirtualBox &box, int count)
{
    const std::string path = MakeWav(800000);
    // The box asks for nothing and holds nothing: the stop is the library's
    // alone, without the box playing out its buffer before its end report.
    box.SetPacing(zlsim::VirtualBox::Pacing::Manual);
    std::vector<double> t;
    for (int i = 0; i < count; ++i) {
        int r = io.StartPlaySound(path.c_str(), 0, 1, 1, 0);
        if (r != 1)
            Fail("StartPlaySound", r);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        auto t0 = Steady::now();
        r = io.StopPlaySound();
        t.push_back(Ms(Steady::now() - t0).count());
        if (r != 1)
            Fail("StopPlaySound", r);
    }
    std::filesystem::remove(path);
    return Summarise(t);
}

Stats PcRoundTrips(CZusb_IO &io, zlsim::VirtualBox &box, int count)
{
    box.SetPacing(zlsim::VirtualBox::Pacing::Unpaced);  // no real-time drain of the box's buffer
    int r = io.OpenWriteSoundToBuff();
    if (r != 1)
        Fail("OpenWriteSoundToBuff", r);
    unsigned char chunk[512];
    std::memset(chunk, 0xD5, sizeof chunk);
    std::vector<double> t;
    for (int i = 0; i < count; ++i) {
        auto t0 = Steady::now();
        r = io.WriteSoundFromPCToBuffer(chunk, 512);
        t.push_back(Ms(Steady::now() - t0).count());
        if (r != 512)
            Fail("WriteSoundFromPCToBuffer", r);
    }
    io.CloseWriteSoundToBuff();
    return Summarise(t);
}

struct Figures {
    double Throughput, Switches[2], Cpu;
    Stats Stop, Pc;
};

Figures Run(CZusb_IO &io, zlsim::VirtualBox &box, bool polling, int seconds)
{
    platform::SetPurePolling(polling);
    Figures f;
    // Polling waits 2 ms for every chunk: a smaller file says as much.
    f.Throughput = Throughput(io, box, polling ? 256 * 1024 : 16 * 1024 * 1024, f.Switches);
    f.Cpu = CpuShare(io, box, seconds);
    f.Stop = StopTimes(io, box, polling ? 5 : 20);
    f.Pc = PcRoundTrips(io, box, polling ? 200 : 2000);
    platform::SetPurePolling(false);
    return f;
}

void Print(const char *mode, const Figures &f)
{
    std::printf("%s:\n", mode);
    std::printf("  unpaced playback: %.0fx real time\n", f.Throughput);
    std::printf("  context switches per chunk (whole process): %.2f waiting, %.2f imposed by the system\n",
                f.Switches[0], f.Switches[1]);
    std::printf("  CPU share of a real-time playback: %.3f %% of a core\n", f.Cpu * 100);
    std::printf("  StopPlaySound to its return: median %.2f ms, p99 %.2f ms\n", f.Stop.Median, f.Stop.P99);
    std::printf("  PC-side 512-byte chunk round trip: median %.3f ms, p99 %.3f ms\n", f.Pc.Median, f.Pc.P99);
}

}  // namespace

int main(int argc, char **argv)
{
    if (HelpAsked(argc, argv,
                  "usage: zplr_bench_play [--seconds S]\n"
                  "Measures playback on the virtual box, in the early wake-up mode and in pure polling:\n"
                  "  unpaced throughput     times real time, the box asking for chunks as fast as they come\n"
                  "  context switches       of the process, per 512-byte chunk of the unpaced playback:\n"
                  "                         those its threads made by waiting (checked) and those the\n"
                  "                         system imposed, which grow with the machine's load\n"
                  "  CPU share              of one core during a real-time playback of S seconds (default 5)\n"
                  "  StopPlaySound          time of a stop during a playback\n"
                  "  PC-side chunk          round trip of WriteSoundFromPCToBuffer\n"
                  "and, in the same run, the floors they stand on: a condition-variable ping-pong\n"
                  "(two hand-offs, as one chunk takes) and a thread that wakes every 64 ms to write\n"
                  "512 bytes to a file for S seconds.\n"
                  "Targets checked in the early wake-up mode (exit status 1 when one is missed):\n"
                  "  throughput >= 5000x real time, <= 3 waiting context switches a chunk,\n"
                  "  CPU <= 1.5x its floor, stop median <= 20 ms\n"))
        return 0;
    int seconds = 5;
    if (!ParseOptions(argc, argv, {{"--seconds", &seconds, 1}}))
        return 2;
    zlsim::VirtualDriver driver;
    CZusb_IO io(0);
    if (StartVirtualBox(driver, io) < 0)
        return 1;
    zlsim::VirtualBox &box = driver.Box(0);

    const Figures early = Run(io, box, false, seconds);
    const Figures polling = Run(io, box, true, seconds);
    io.ExistUSB_IO();
    ZlSetDriverBackend(nullptr);

    // The floors, with the slot closed again: nothing else runs.
    const Stats pingPong = HandOffChain(2, 20000);
    const double floorThroughput = 64.0 / pingPong.Median;  // one 64 ms chunk per round
    const std::string scratch =
        (std::filesystem::temp_directory_path() / "zplr_bench_play_floor.bin").string();
    const double floorCpu = TimerWriteFloor(scratch, seconds, 64, 512);

    Print("early wake-up (default)", early);
    Print("pure polling", polling);
    std::printf("floors, measured in this run:\n");
    std::printf("  condition-variable ping-pong (2 hand-offs): median %.4f ms, p99 %.4f ms\n",
                pingPong.Median, pingPong.P99);
    std::printf("  unpaced playback: %.0fx real time against a floor of %.0fx (ratio %.2f of the floor)\n",
                early.Throughput, floorThroughput, early.Throughput / floorThroughput);
    std::printf("  CPU of a real-time playback: %.3f %% against a timer-plus-write floor of %.3f %% (ratio %.2f)\n",
                early.Cpu * 100, floorCpu * 100, floorCpu > 0 ? early.Cpu / floorCpu : 0.0);
    std::printf("  context switches per chunk: %.2f waiting against 2 hand-offs (%.2f more imposed by the system)\n",
                early.Switches[0], early.Switches[1]);
    const bool ok = early.Throughput >= 5000 && early.Cpu <= 1.5 * floorCpu && early.Switches[0] <= 3 &&
                    early.Stop.Median <= 20;
    std::printf("targets (early wake-up: >= 5000x, <= 3 switches a chunk, CPU <= 1.5x floor, stop <= 20 ms) %s\n",
                ok ? "met" : "MISSED");
    return ok ? 0 : 1;
}
