// The served box against the in-process one: command round trips, the CPU of
// a real-time recording through the server (both processes), and four
// client processes recording and playing on four served boxes at once. The
// served round trip stands beside the floor of a unix-socket round trip
// to another process, measured in the same run.
//
//   zplr_bench_serve [--commands N] [--cpu-seconds N] [--load-seconds N]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchCommon.h"
#include "sim/VirtualBox.h"
#include "tools/Spawn.h"
#include "zPLR.h"

using namespace zplr::bench;
namespace fs = std::filesystem;

namespace {

double ProcessCpu(pid_t pid)
{
    if (pid == 0) {
        rusage r{};
        getrusage(RUSAGE_SELF, &r);
        return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    }
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::atof(field.c_str());
        if (i == 15)
            stime = std::atof(field.c_str());
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

using zlbox::Spawn;

int Wait(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One request of a served command's size there and its reply back, over a
// unix socket pair to another process that answers at once, as the server
// is another process.
Stats SocketRoundTrips(int n)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        return {0, 0};
    constexpr size_t Request = 16 + 64, Reply = 16 + 8;
    const pid_t echo = fork();
    if (echo == 0) {
        close(sv[0]);
        char buf[Request];
        while (recv(sv[1], buf, Request, MSG_WAITALL) == ssize_t(Request) &&
               send(sv[1], buf, Reply, MSG_NOSIGNAL) == ssize_t(Reply)) {
        }
        _exit(0);
    }
    std::vector<double> t;
    char buf[Request] = {};
    for (int i = 0; i < n; ++i) {
        auto c = Steady::now();
        send(sv[0], buf, Request, MSG_NOSIGNAL);
        recv(sv[0], buf, Reply, MSG_WAITALL);
        t.push_back(Ms(Steady::now() - c).count());
    }
    shutdown(sv[0], SHUT_RDWR);
    close(sv[0]);
    close(sv[1]);
    waitpid(echo, nullptr, 0);
    return Summarise(t);
}

bool Open(CZusb_IO &io)
{
    io.InitialUSB_IOEx(0);
    for (int i = 0; i < 300 && io.IfConnectUSB() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return io.IfConnectUSB() == 0;
}

Stats RoundTrips(CZusb_IO &io, int n)
{
    std::vector<double> t;
    for (int i = 0; i < n; ++i) {
        auto c = Steady::now();
        if (io.SetEstimateStatus(0) != 1) {
            std::fprintf(stderr, "command failed\n");
            std::exit(1);
        }
        t.push_back(Ms(Steady::now() - c).count());
    }
    return Summarise(t);
}

// One client process of the load run: box `index` records for `seconds`,
// then plays for `seconds` (the library gives playback the pipe: a
// recording pauses while a playback runs); prints the bytes recorded, the
// recording's wall time and how far the playback came.
int Client(int index, int seconds, const std::string &dir)
{
    CZusb_IO io(index);
    if (!Open(io) || io.PickUp() != 1)
        return 1;
    const std::string play = dir + "/play" + std::to_string(index) + ".wav";
    const std::string rec = dir + "/rec" + std::to_string(index) + ".wav";
    WriteSound(play, seconds + 5);
    if (io.StartReadSound(rec.c_str(), 1) != 1)
        return 1;
    const auto t0 = Steady::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const unsigned recorded = io.ReadRecLength();
    const double wall = std::chrono::duration<double>(Steady::now() - t0).count();
    io.StopReadSound();
    if (io.StartPlaySound(play.c_str(), 0, 0, 1, 1) != 1)
        return 1;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const int rate = io.GetWriteSoundRate();
    io.StopPlaySound();
    io.PutDown();
    io.ExistUSB_IO();
    std::printf("%u %.3f %d\n", recorded, wall, rate);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--client"))
        if (HelpAsked(argc, argv,
                      "usage: zplr_bench_serve [--commands N] [--cpu-seconds N] [--load-seconds N]\n"
                      "Measures the box served by zlbox serve against the in-process one:\n"
                      "  command round trip     median and p99 of N commands (default 300), in-process and served\n"
                      "  CPU share              of a real-time recording through the server, both processes,\n"
                      "                         over N s (default 5)\n"
                      "  load                   four client processes recording, then playing, on four served\n"
                      "                         boxes at once for N s each (default 10)\n"
                      "and, in the same run, the floors of the served round trip: a unix-socket round trip\n"
                      "to another process that answers at once, and the path's own: the in-process round\n"
                      "trip plus that socket round trip plus two hand-offs (a condition-variable ping-pong).\n"
                      "Targets checked (exit status 1 when one is missed):\n"
                      "  served median <= 3x the path's floor, CPU < 2 %,\n"
                      "  every client's recording and playback at real time\n"))
            return 0;
    int commands = 300, cpuSeconds = 5, loadSeconds = 10;
    // A client of the load run, as started below.
    if (argc == 7 && !std::strcmp(argv[1], "--client"))
        return Client(std::atoi(argv[2]), std::atoi(argv[4]), argv[6]);
    if (!ParseOptions(argc, argv, {{"--commands", &commands, 1}, {"--cpu-seconds", &cpuSeconds, 1},
                                   {"--load-seconds", &loadSeconds, 1}}))
        return 2;
    const fs::path dir = fs::temp_directory_path() / ("zplr-bench-serve-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string address = "unix:" + (dir / "s").string();
    setenv("ZPLR_DRIVER", address.c_str(), 1);
    ZlSetMessageHandler([](const char *, unsigned) {});

    // In-process first, through the same library.
    Stats local;
    {
        zlsim::VirtualDriver driver;
        CZusb_IO io(0);
        if (StartVirtualBox(driver, io) < 0)
            return 1;
        local = RoundTrips(io, commands);
        io.ExistUSB_IO();
        ZlSetDriverBackend(nullptr);
    }

    const std::string log = (dir / "server.log").string();
    const pid_t server = Spawn({ZLBOX_PATH, "serve", "--boxes", "0,1,2,3", "--listen", address,
                                 "--reply-delay", "0"},  // the library's time, not the box's
                                log);
    for (int i = 0; i < 500; ++i) {
        std::ifstream f(log);
        std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (s.find("ZPLR_DRIVER") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stats served;
    double cpu = 0;
    {
        CZusb_IO io(0);
        if (!Open(io)) {
            std::fprintf(stderr, "served box not reached\n");
            kill(server, SIGTERM);
            return 1;
        }
        served = RoundTrips(io, commands);
        const std::string rec = (dir / "cpu.wav").string();
        io.StartReadSound(rec.c_str(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const double c0 = ProcessCpu(0) + ProcessCpu(server);
        const auto w0 = Steady::now();
        std::this_thread::sleep_for(std::chrono::seconds(cpuSeconds));
        cpu = (ProcessCpu(0) + ProcessCpu(server) - c0) /
              std::chrono::duration<double>(Steady::now() - w0).count();
        io.StopReadSound();
        io.ExistUSB_IO();
    }
    std::printf("command round trip in-process: median %.3f ms, p99 %.3f ms (%d commands)\n",
                local.Median, local.P99, commands);
    std::printf("command round trip served:     median %.3f ms, p99 %.3f ms\n", served.Median,
                served.P99);
    const Stats sock = SocketRoundTrips(commands * 10);
    std::printf("floor, unix-socket round trip: median %.4f ms, p99 %.4f ms; served median ratio %.2f\n",
                sock.Median, sock.P99, served.Median / sock.Median);
    // The served command holds the in-process one (the library's own chain
    // of hand-offs), one socket round trip, and a hand-off on each side of
    // the socket: the server's reader to the lane, the client's reader to
    // the waiting thread.
    const Stats pingPong = HandOffChain(2, commands * 10);
    const double path = local.Median + sock.Median + pingPong.Median;
    std::printf("floor of the served path: in-process round trip + socket round trip + two hand-offs "
                "(ping-pong median %.4f ms) = %.4f ms; served median ratio %.2f\n",
                pingPong.Median, path, served.Median / path);
    std::printf("real-time recording through the server: %.2f %% of one core (both processes)\n",
                cpu * 100);

    // Four clients, four boxes, recording and then playing, all at once.
    std::vector<pid_t> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(Spawn({argv[0], "--client", std::to_string(i), "--seconds",
                                 std::to_string(loadSeconds), "--dir", dir.string()},
                                (dir / ("client" + std::to_string(i))).string()));
    bool loadOk = true;
    for (int i = 0; i < 4; ++i) {
        const int rc = Wait(clients[i]);
        std::ifstream f(dir / ("client" + std::to_string(i)));
        unsigned recorded = 0;
        double wall = 0;
        int rate = 0;
        f >> recorded >> wall >> rate;
        // The box at real time gives 8000 bytes a second; the playback of a
        // (seconds + 5) s file has come seconds / (seconds + 5) of the way.
        const double recShare = recorded / (wall * 8000);
        const double wantRate = 1000.0 * loadSeconds / (loadSeconds + 5);
        std::printf("client %d: exit %d, recorded %.1f %% of real time, playback at %d/1000 "
                    "(%.0f expected)\n",
                    i, rc, recShare * 100, rate, wantRate);
        loadOk = loadOk && rc == 0 && recShare > 0.97 && rate >= wantRate * 0.95;
    }
    // What reached each box's line: a chunk missing when the box asked for
    // it would leave the line short of real time.
    for (int i = 0; i < 4; ++i) {
        const std::string saved = (dir / ("line" + std::to_string(i) + ".wav")).string();
        const pid_t p = Spawn({ZLBOX_PATH, "line", "--device", std::to_string(i), "save-playback", saved},
                              (dir / "line.log").string());
        Wait(p);
        const double seconds = (fs::exists(saved) ? fs::file_size(saved) - 48.0 : 0) / 8000;
        std::printf("box %d: %.2f s reached the line in %d s of playing\n", i, seconds, loadSeconds);
        loadOk = loadOk && seconds >= loadSeconds - 0.5;  // the start takes a few chunks
    }
    kill(server, SIGTERM);
    Wait(server);
    std::error_code ec;
    fs::remove_all(dir, ec);
    const bool ok = served.Median <= 3 * path && cpu < 0.02 && loadOk;
    std::printf("%s\n", ok ? "targets met" : "TARGETS MISSED");
    return ok ? 0 : 1;
}
