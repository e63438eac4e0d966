// Virtual boxes served over a socket to other processes: the driver's
// operations for the library's served backend, and line commands beside them.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "sim/LineModel.h"
#include "sim/RecordModel.h"
#include "sim/VirtualBox.h"

namespace zlbox {

class Session;

class BoxServer {
public:
    // pace: the boxes' time scale (1 real time; tests run faster).
    BoxServer(const std::vector<int> &boxes, double pace = 1.0, int replyDelayMs = -1);
    ~BoxServer();

    // A TCP listener requires the token in every client's hello.
    bool Listen(const std::string &address, const std::string &token, std::string *error);
    // Serves until Stop().
    void Run();
    // Safe from a signal handler.
    void Stop();

    // One line command on box `index`: ring NUMBER [sdmf|mdmf|digits],
    // keys KEYS, far-end FILE, answer, busy, hangup, unplug, plug,
    // save-playback FILE. False with the reason in `answer` when refused.
    bool LineCommand(int index, const std::string &command, std::string &answer);

    // Sees each line command done (its words and answer) and each change of
    // a box's owner (command "owner", answer "taken" or "free"), as they
    // happen, on the thread that made them; nullptr: none.
    using Watcher = std::function<void(int box, const std::string &command, const std::string &answer)>;
    void Watch(Watcher w);
    zlsim::LineModel *Line(int index) { return Serves(index) ? Lines_[index].get() : nullptr; }
    // Whether a client holds box `index` open.
    bool Owned(int index);

    // Off: far-end and save-playback are refused (the frame fuzzer's server).
    void AllowFiles(bool on) { Files_ = on; }

    zlsim::VirtualDriver &Driver() { return Driver_; }
    // Clients whose connection is still being served or torn down.
    size_t ActiveSessions();
    // Connections of one user at a time; the rest are refused.
    static constexpr size_t ConnectionsPerUser = 64;
    // Pause after a refused accept (out of descriptors, say).
    static constexpr int AcceptBackOffMs = 100;
    bool Serves(int index) const { return index >= 0 && index < 4 && Lines_[index] != nullptr; }

private:
    friend class Session;
    // Box whose path `path` is or lies under; -1 for none.
    int BoxOfPath(const std::string &path);
    // Claims box `index` for `s`: false while another session holds it.
    bool Claim(int index, Session *s);
    void Release(int index, Session *s);
    void Reap(bool all);
    bool RunLineCommand(int index, const std::string &command, std::string &answer);

    zlsim::VirtualDriver Driver_;
    std::array<std::unique_ptr<zlsim::LineModel>, 4> Lines_;
    std::array<std::unique_ptr<zlsim::RecordModel>, 4> Records_;
    std::string Address_;
    std::string Token_;
    std::atomic<zplr::platform::SocketFd> Listener_{zplr::platform::NoSocket};
    std::atomic<bool> Stopping_{false};
    std::atomic<bool> Files_{true};
    void Tell(int box, const std::string &command, const std::string &answer);
    std::mutex WatchMutex_;  // a watcher that goes away waits for its calls
    Watcher Watcher_;

    std::mutex Mutex_;
    std::array<Session *, 4> Owner_{};
    std::array<unsigned, 4> Holds_{};
    std::vector<std::unique_ptr<Session>> Sessions_;
    unsigned NextSession_ = 1;
    std::map<long, bool> Crowded_;  // users told of the cap in this burst
};

}  // namespace zlbox
