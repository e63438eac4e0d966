// Command round trips, idle wake-ups and session start/end on the virtual box.
// A round trip stands beside the floor of its three hand-offs (caller to
// command writer, box's reply to report thread, report thread to caller),
// measured in the same run.
//
//   zplr_bench [--commands N] [--polling-commands N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "BenchCommon.h"
#include "platform/Clock.h"
#include "sim/VirtualBox.h"
#include "transport/Channel.h"
#include "zPLR.h"

using namespace zplr;
using namespace zplr::bench;

namespace {

Stats Measure(int count)
{
    transport::DeviceSlot &s = transport::SlotFor(0);
    std::vector<double> t;
    t.reserve(count);
    for (int i = 0; i < count; ++i) {
        auto t0 = Steady::now();
        int r = transport::SendCommand(s, transport::Packet(24), transport::LimitLong);
        t.push_back(Ms(Steady::now() - t0).count());
        if (r != 1) {
            std::fprintf(stderr, "command failed: %d\n", r);
            std::exit(1);
        }
    }
    return Summarise(std::move(t));
}

}  // namespace

int main(int argc, char **argv)
{
    if (HelpAsked(argc, argv,
                  "usage: zplr_bench [--commands N] [--polling-commands N]\n"
                  "Measures on the virtual box, in the early wake-up mode and in pure polling\n"
                  "(every wait at its full interval):\n"
                  "  command round trip      median and p99 of N commands (default 1000; 30 polling)\n"
                  "  idle wake-ups           per second of an open slot with nothing to do, 4 s each mode\n"
                  "  InitialUSB_IOEx, ExistUSB_IO   time of a session's start and end with a box\n"
                  "and, in the same run, the floor of a round trip: a token passed round a ring of\n"
                  "three threads through condition variables (three hand-offs, as a command takes).\n"
                  "Targets checked (exit status 1 when one is missed):\n"
                  "  round trip median <= 2.5x the chain's median, p99 <= 5x the chain's p99\n"
                  "  median at least 500x faster than pure polling\n"
                  "  0 idle wake-ups per second (early wake-up)\n"
                  "  start <= 20 ms, end <= 20 ms\n"))
        return 0;
    int commands = 1000, pollingCommands = 30;
    if (!ParseOptions(argc, argv, {{"--commands", &commands, 1}, {"--polling-commands", &pollingCommands, 1}}))
        return 2;
    zlsim::VirtualDriver driver;
    CZusb_IO io(0);
    const double start = StartVirtualBox(driver, io);
    if (start < 0)
        return 1;

    Stats early = Measure(commands);
    platform::SetPurePolling(true);
    Stats polling = Measure(pollingCommands);
    platform::SetPurePolling(false);

    // Idle: an open slot with nothing to do, in both wait modes. Waits in
    // progress take up the mode at their next wake-up, so they are woken.
    auto idle = [&](bool pure) {
        platform::SetPurePolling(pure);
        transport::SlotFor(0).Gate.NotifyAll();
        std::this_thread::sleep_for(std::chrono::milliseconds(700));  // past the longest poll
        unsigned long w0 = platform::WakeUps();
        auto i0 = Steady::now();
        std::this_thread::sleep_for(std::chrono::seconds(4));
        double seconds = std::chrono::duration<double>(Steady::now() - i0).count();
        return (platform::WakeUps() - w0) / seconds;
    };
    double pollingWakeups = idle(true);
    double wakeups = idle(false);

    auto e0 = Steady::now();
    io.ExistUSB_IO();
    double end = Ms(Steady::now() - e0).count();
    ZlSetDriverBackend(nullptr);
    const Stats chain = HandOffChain(3, commands * 5);

    std::printf("command round trip, early wake-up: median %.3f ms, p99 %.3f ms (%d commands)\n",
                early.Median, early.P99, commands);
    std::printf("command round trip, pure polling:  median %.3f ms, p99 %.3f ms (%d commands)\n",
                polling.Median, polling.P99, pollingCommands);
    std::printf("floor, a chain of 3 hand-offs: median %.4f ms, p99 %.4f ms\n", chain.Median, chain.P99);
    std::printf("round trip against the floor: median ratio %.2f, p99 ratio %.2f\n",
                early.Median / chain.Median, early.P99 / chain.P99);
    std::printf("speed-up of the median: %.0fx\n", polling.Median / early.Median);
    std::printf("idle wake-ups of an open slot: early wake-up %.2f per second, pure polling %.2f per second\n",
                wakeups, pollingWakeups);
    std::printf("InitialUSB_IOEx with a box: %.2f ms\n", start);
    std::printf("ExistUSB_IO: %.2f ms\n", end);

    bool ok = early.Median <= 2.5 * chain.Median && early.P99 <= 5 * chain.P99 &&
              polling.Median / early.Median >= 500 && wakeups == 0 && start <= 20 && end <= 20;
    std::printf("targets %s\n", ok ? "met" : "MISSED");
    return ok ? 0 : 1;
}
