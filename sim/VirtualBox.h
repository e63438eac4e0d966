// The virtual box: a software model of up to four ZL boxes behind the driver
// interface, for tests, for the command-line tool and for applications that
// want to run without hardware.
//
//   zlsim::VirtualDriver driver;
//   ZlSetDriverBackend(&driver);
//   driver.Plug(0);
//   CZusb_IO io(0); io.InitialUSB_IOEx(0);   // talks to the model
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "zPLR_host.h"

namespace zlsim {

using Bytes64 = std::array<uint8_t, 64>;

// Pipes of a box; Device is the interface opened without a pipe suffix.
enum class Pipe { Device = -1, Report = 0, Command = 1, SoundIn = 2, SoundOut = 3 };
enum class Op { Open, Read, Write, Control };

struct ControlCall {
    Pipe On;
    unsigned Code;
    std::vector<uint8_t> Input;
    unsigned OutputSize;
};

// An extra interface member listed before the box's own, for discovery tests.
struct FakeMember {
    int EnumResult = ZL_ENUM_OK;  // ZL_ENUM_OK or ZL_ENUM_FAILED
    std::string Path;
    bool Opens = false;
};

class VirtualDriver;

// What a box answers to one command: zero or more reports. The default
// answers command 14 with report 14 (16 data bytes) and every other command
// with a plain reply (code 0).
using Responder = std::function<std::vector<Bytes64>(const Bytes64 &packet)>;

class VirtualBox {
public:
    // Queues a report on pipe 0, after `delayMs` of real time.
    void SendReport(const Bytes64 &report, int delayMs = 0);
    void SendReport(std::initializer_list<uint8_t> bytes, int delayMs = 0);

    // Command packets received on pipe 1, in order.
    std::vector<Bytes64> Packets() const;
    size_t PacketCount() const;
    void ClearPackets();
    // Waits up to timeoutMs of real time for at least n packets.
    bool WaitPackets(size_t n, int timeoutMs) const;

    // Control requests received, in order.
    std::vector<ControlCall> Controls() const;

    // Pipe opens, in order (Device included).
    std::vector<Pipe> Opens() const;

    // Replies: answered at once (default), after a delay, or withheld until
    // released.
    void SetReplyDelay(int ms);
    void WithholdReplies(bool on);
    void ReleaseWithheld();

    // Custom answers for one command code (nullptr: back to the default).
    void SetResponder(uint8_t code, Responder r);

    // Fails the next `count` operations of `op` on `pipe`.
    void FailNext(Pipe pipe, Op op, int count = 1);
    // Forgets every failure not yet taken.
    void ClearFailures();

    // The next read of pipe 0 delivers only `bytes` bytes of its report.
    void ShortReadNext(unsigned bytes);

    // While on, a write of pipe 1 blocks (until off, or the box goes away).
    void HoldWrites(bool on);

    // Device path of the box's interface, and extra members before it.
    void SetDevicePath(const std::string &path);
    std::string DevicePath() const;
    void SetFakeMembers(std::vector<FakeMember> members);
    unsigned EnumCalls() const;

    bool Plugged() const;

private:
    friend class VirtualDriver;
    explicit VirtualBox(VirtualDriver &driver, int index);
    bool TakeFailure(Pipe pipe, Op op);   // needs the driver lock
    void QueueLocked(const Bytes64 &report, int delayMs);
    void AnswerLocked(const Bytes64 &packet);

    VirtualDriver &Driver_;
    bool Plugged_ = false;
    unsigned Generation_ = 1;
    std::string Path_;
    std::vector<FakeMember> Fake_;
    unsigned EnumCalls_ = 0;

    struct Queued {
        std::chrono::steady_clock::time_point Due;
        Bytes64 Report;
    };
    std::deque<Queued> Reports_;
    std::vector<Bytes64> Packets_;
    std::vector<ControlCall> Controls_;
    std::vector<Pipe> Opens_;
    std::vector<Bytes64> Withheld_;
    bool Withhold_ = false;
    int DelayMs_ = 0;
    unsigned ShortRead_ = 0;
    bool HoldWrites_ = false;
    std::map<std::pair<int, int>, int> Failures_;
    std::map<uint8_t, Responder> Responders_;
};

class VirtualDriver final : public ZlDriverBackend {
public:
    VirtualDriver();
    ~VirtualDriver() override;

    // Plugging and pulling, at any time. Pulling makes every transfer
    // blocked on the box fail, as a real unplug does.
    void Plug(int index);
    void Unplug(int index);
    VirtualBox &Box(int index);

    // The driver interface.
    int EnumInterface(const ZlGuid &cls, unsigned index, char *path, size_t pathSize,
                      size_t *needed) override;
    ZlHandle Open(const char *path) override;
    int Read(ZlHandle h, void *buf, unsigned len, unsigned *done) override;
    int Write(ZlHandle h, const void *buf, unsigned len, unsigned *done) override;
    int Control(ZlHandle h, unsigned code, const void *in, unsigned inLen, void *out,
                unsigned outLen, unsigned *done) override;
    void CancelIo(ZlHandle h) override;
    void Close(ZlHandle h) override;

    // Handles open now, for leak tests.
    size_t OpenHandles() const;

private:
    friend class VirtualBox;
    struct HandleInfo {
        int Box;
        Pipe On;
        unsigned Generation;
        bool Cancelled = false;
    };
    HandleInfo *Find(ZlHandle h);  // needs Mutex_
    bool Live(const HandleInfo &h) const;

    mutable std::mutex Mutex_;
    mutable std::condition_variable Changed_;
    VirtualBox *Boxes_[4];
    std::map<ZlHandle, HandleInfo> Handles_;
    ZlHandle Next_ = 0x100;
};

// Index of the box whose interface class is `cls`, or -1.
int BoxIndexOfClass(const ZlGuid &cls);

}  // namespace zlsim
