// Processes that end while a session runs: each must end by itself, with its
// own exit status, in a few seconds.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <signal.h>
#  include <spawn.h>
#  include <sys/wait.h>
#  include <unistd.h>
extern char **environ;
#endif

namespace {

using Ms = std::chrono::duration<double, std::milli>;

struct ChildEnd {
    bool Ended = false;  // false: still running at the time-out, then killed
    int Status = -1;     // exit status when it ended normally
    double Took = 0;     // ms
};

// The helper program sits beside the test binary.
std::string ChildPath()
{
#if defined(_WIN32)
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string p(self, n);
    return p.substr(0, p.find_last_of("\\/") + 1) + "zplr_exit_child.exe";
#else
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string p(self, n > 0 ? static_cast<size_t>(n) : 0);
    return p.substr(0, p.find_last_of('/') + 1) + "zplr_exit_child";
#endif
}

ChildEnd RunChild(const char *mode, const char *box, int timeoutMs, const std::string &file = "")
{
    ChildEnd r;
    const std::string path = ChildPath();
    auto t0 = std::chrono::steady_clock::now();
#if defined(_WIN32)
    std::string cmd = "\"" + path + "\" " + mode + " " + box;
    if (!file.empty())
        cmd += " \"" + file + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(path.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return r;
    if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        r.Ended = true;
        r.Status = static_cast<int>(code);
    } else {
        TerminateProcess(pi.hProcess, 99);
        WaitForSingleObject(pi.hProcess, INFINITE);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
#else
    char *argv[] = {const_cast<char *>(path.c_str()), const_cast<char *>(mode), const_cast<char *>(box),
                    file.empty() ? nullptr : const_cast<char *>(file.c_str()), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0)
        return r;
    int status = 0;
    for (;;) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            if (WIFEXITED(status)) {
                r.Ended = true;
                r.Status = WEXITSTATUS(status);
            } else if (WIFSIGNALED(status)) {
                r.Status = 128 + WTERMSIG(status);
            }
            break;
        }
        if (Ms(std::chrono::steady_clock::now() - t0).count() > timeoutMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
#endif
    r.Took = Ms(std::chrono::steady_clock::now() - t0).count();
    return r;
}

struct ExitCase {
    const char *Mode;
    const char *Box;
    int Status;
};
void PrintTo(const ExitCase &c, std::ostream *os) { *os << c.Mode << " " << c.Box; }

class ExitTest : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ExitTest, EndsWithItsOwnStatus)
{
    const ExitCase &c = GetParam();
    // A few seconds at most; most of it is process start (and wine's).
    ChildEnd e = RunChild(c.Mode, c.Box, 8000);
    EXPECT_TRUE(e.Ended) << c.Mode << " " << c.Box << ": still running after " << e.Took
                         << " ms (status " << e.Status << ")";
    EXPECT_EQ(e.Status, c.Status) << c.Mode << " " << c.Box;
}

INSTANTIATE_TEST_SUITE_P(Child, ExitTest,
                         ::testing::Values(ExitCase{"global", "box", 3}, ExitCase{"global", "nobox", 3},
                                           ExitCase{"open", "box", 4}, ExitCase{"open", "nobox", 4},
                                           ExitCase{"exit", "box", 5}, ExitCase{"exit", "nobox", 5}),
                         [](const ::testing::TestParamInfo<ExitCase> &i) {
                             return std::string(i.param.Mode) + "_" + i.param.Box;
                         });

uint32_t U32(const std::vector<uint8_t> &b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// A process that ends with a recording open, by exit() or by a return from
// main: the header tells the audio the file holds.
TEST(ExitRecordingTest, EndingTheProcessCompletesTheRecording)
{
    const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) /
                                      ("zplr-exit-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(dir);
    for (const ExitCase c : {ExitCase{"record-exit", "box", 6}, ExitCase{"record-return", "box", 7}}) {
        const std::string file = (dir / (std::string(c.Mode) + ".wav")).string();
        ChildEnd e = RunChild(c.Mode, c.Box, 8000, file);
        EXPECT_TRUE(e.Ended) << c.Mode << ": still running after " << e.Took << " ms";
        EXPECT_EQ(e.Status, c.Status) << c.Mode;
        std::ifstream f(file, std::ios::binary);
        const std::vector<uint8_t> b{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
        ASSERT_GE(b.size(), 48u + 2500) << c.Mode;
        EXPECT_EQ(U32(b, 4), b.size() - 8) << c.Mode;
        EXPECT_EQ(U32(b, 44), b.size() - 48) << c.Mode;
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace
