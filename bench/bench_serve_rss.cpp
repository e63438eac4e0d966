// Memory of `zlbox serve` over a long run: four client processes, one per
// box, each recording and playing in turns at real time, while the server's
// resident set is sampled every second. A server that keeps what it serves
// grows with the run; one that does not stays flat.
//
//   zplr_bench_serve_rss [--seconds N] [--turn N]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include "tools/Spawn.h"
#include "zPLR.h"

using namespace zplr::bench;
namespace fs = std::filesystem;

namespace {

long ResidentKb(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// One client: records `turn` seconds, plays `turn` seconds, until `seconds`
// have passed. Exit status 0 when every start succeeded.
int Client(int index, int seconds, int turn, const std::string &dir)
{
    CZusb_IO io(index);
    io.InitialUSB_IOEx(0);
    for (int i = 0; i < 300 && io.IfConnectUSB() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (io.IfConnectUSB() != 0 || io.PickUp() != 1)
        return 1;
    const std::string play = dir + "/play" + std::to_string(index) + ".wav";
    const std::string rec = dir + "/rec" + std::to_string(index) + ".wav";
    WriteSound(play, turn + 2);
    const auto end = Steady::now() + std::chrono::seconds(seconds);
    int failures = 0;
    while (Steady::now() < end) {
        failures += io.StartReadSound(rec.c_str(), 1) != 1;
        std::this_thread::sleep_for(std::chrono::seconds(turn));
        io.StopReadSound();
        failures += io.StartPlaySound(play.c_str(), 0, 0, 1, 1) != 1;
        std::this_thread::sleep_for(std::chrono::seconds(turn));
        io.StopPlaySound();
    }
    io.PutDown();
    io.ExistUSB_IO();
    return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (HelpAsked(argc, argv,
                  "usage: zplr_bench_serve_rss [--seconds N] [--turn N] [--warm-up N]\n"
                  "Runs zlbox serve with four boxes and four client processes, each recording and\n"
                  "playing in turns of N s (default 10) at real time, for N s in all (default 600),\n"
                  "and samples the server's resident set every second.\n"
                  "Prints the resident set after the warm-up (default 300 s, at least two turns: the\n"
                  "boxes' bounded logs of what they played, 1 MiB each, fill in it), at the end and at\n"
                  "most, and the growth per hour that the slope after the warm-up gives.\n"
                  "Target (exit status 1 when missed): flat within 1 MB an hour, that is, the end\n"
                  "within 1024 kB of the start and the run's slope below 1024 kB an hour\n"))
        return 0;
    int seconds = 600, turn = 10, warmUp = 300;
    // A client, as started below.
    if (argc == 9 && !std::strcmp(argv[1], "--client"))
        return Client(std::atoi(argv[2]), std::atoi(argv[4]), std::atoi(argv[6]), argv[8]);
    if (!ParseOptions(argc, argv, {{"--seconds", &seconds, 1}, {"--turn", &turn, 1}, {"--warm-up", &warmUp, 0}}))
        return 2;
    const fs::path dir = fs::temp_directory_path() / ("zplr-bench-rss-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string address = "unix:" + (dir / "s").string();
    setenv("ZPLR_DRIVER", address.c_str(), 1);

    const std::string log = (dir / "server.log").string();
    const pid_t server = zlbox::Spawn({ZLBOX_PATH, "serve", "--boxes", "0,1,2,3", "--listen", address}, log);
    for (int i = 0; i < 500; ++i) {
        std::ifstream f(log);
        std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (s.find("ZPLR_DRIVER") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::vector<pid_t> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(zlbox::Spawn({argv[0], "--client", std::to_string(i), "--seconds",
                                        std::to_string(seconds), "--turn", std::to_string(turn),
                                        "--dir", dir.string()},
                                       (dir / ("client" + std::to_string(i))).string()));
    // The start: after the first round of turns, when every buffer the run
    // needs has been made once.
    const auto t0 = Steady::now();
    // The served boxes keep bounded logs (what each box played, up to 1 MiB,
    // and 10 000 entries of each transfer log); the warm-up lets them fill,
    // so that the slope after it is the server's own.
    const int warm = std::min(seconds, std::max(warmUp, 2 * turn + 2));
    long start = -1, most = 0, last = 0;
    double startAt = 0;
    std::vector<int> exits(clients.size(), -1);
    for (;;) {
        int running = 0;
        for (size_t i = 0; i < clients.size(); ++i) {
            int status = 0;
            if (exits[i] == -1 && waitpid(clients[i], &status, WNOHANG) == clients[i])
                exits[i] = WIFEXITED(status) ? WEXITSTATUS(status) : 255;
            running += exits[i] == -1;
        }
        const double at = std::chrono::duration<double>(Steady::now() - t0).count();
        last = ResidentKb(server);
        most = std::max(most, last);
        if (start < 0 && at >= warm) {
            start = last;
            startAt = at;
        }
        if (!running)
            break;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    bool clientsOk = true;
    for (size_t i = 0; i < clients.size(); ++i) {
        if (exits[i] != 0)
            std::printf("client %zu: exit %d (a start failed)\n", i, exits[i]);
        clientsOk = clientsOk && exits[i] == 0;
    }
    const double endAt = std::chrono::duration<double>(Steady::now() - t0).count();
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    std::error_code ec;
    fs::remove_all(dir, ec);
    if (start < 0)
        start = last;
    const double perHour = endAt > startAt ? (last - start) * 3600.0 / (endAt - startAt) : 0;
    std::printf("zlbox serve resident set: %ld kB at %.0f s (after the warm-up), %ld kB at the end (%.0f s), %ld kB at most\n",
                start, startAt, last, endAt, most);
    std::printf("growth: %ld kB over the run, %.0f kB an hour at this slope (floor: 0)\n", last - start,
                perHour);
    const bool ok = last - start <= 1024 && perHour <= 1024 && clientsOk;
    std::printf("%s\n", ok ? "target met (within 1 MB an hour)" : "TARGET MISSED");
    return ok ? 0 : 1;
}
