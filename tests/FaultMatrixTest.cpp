// One table of faults injected through the virtual box. For each: nothing
// crashes, every call returns within its bound, no handle stays open, and
// once the box is back the next command returns 1 (after a reply that never
// came, the one command that waits for it may fail first).
#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "SimFixture.h"
#include "transport/Channel.h"

using namespace zplr;
using namespace zplr::test;
using transport::SlotFor;
using zlsim::Op;
using zlsim::Pipe;

namespace {

using Steady = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

// Bounds in protocol milliseconds, with room for a loaded machine.
constexpr double StartBound = 13 * 35 + 200;
constexpr double CommandBound = (101 + 31) * 100;            // earlier reply, then its own
constexpr double EndBound = 101 * 10 + 2 * 101 * 100 + 4 * 101 * 20 + 10;
// Real milliseconds: the bounds catch a call that hangs, not a slow one, so
// the room is more than any stall of a loaded machine.
constexpr double SlackMs = 3000;

class FaultMatrix;

struct FaultCase {
    std::string Name;
    // Runs the fault against an open (or, with Start false, unstarted) slot.
    std::function<void(FaultMatrix &)> Inject;
    bool Start = true;
    bool ReplyNeverCame = false;
};

void PrintTo(const FaultCase &c, std::ostream *os) { *os << c.Name; }

class FaultMatrix : public SimTest, public ::testing::WithParamInterface<FaultCase> {
public:
    static constexpr int Index = 1;
    CZusb_IO Io{Index};
    zlsim::VirtualBox &Box() { return Driver.Box(Index); }

    // One call, checked against its bound.
    template <class F>
    auto Timed(const char *what, double protocolMs, F call)
    {
        auto t0 = Steady::now();
        auto r = call();
        double took = Ms(Steady::now() - t0).count();
        EXPECT_LE(took, ScaledMs(protocolMs) + SlackMs) << what;
        return r;
    }
    int Command() { return Timed("command", CommandBound, [&] { return Io.ReaddiFlagsValue(); }); }
    int Command24()
    {
        return Timed("command", CommandBound,
                     [&] { return transport::SendCommand(SlotFor(Index), transport::Packet(24), 30); });
    }
    void Start() { Timed("start", StartBound, [&] { return Io.InitialUSB_IOEx(0); }); }
    void End() { Timed("end", EndBound, [&] { return Io.ExistUSB_IO(); }); }
    void WaitLoss() { EXPECT_TRUE(Eventually([&] { return (Status(Index) & 0x100u) != 0; })); }
    void Unplug() { Driver.Unplug(Index); }
    void Plug() { Driver.Plug(Index); }
    void Bounce()
    {
        Driver.Unplug(Index);
        WaitLoss();
        Driver.Plug(Index);
    }

protected:
    void SetUp() override
    {
        SimTest::SetUp();
        ZlSetMessageHandler([](const char *, unsigned) {});
    }
};

TEST_P(FaultMatrix, RecoversWithinBounds)
{
    const FaultCase &c = GetParam();
    if (c.Start) {
        Driver.Plug(Index);
        Start();
        ASSERT_TRUE(Eventually([&] { return Io.IfConnectUSB() == 0; }, 20000));
    }
    c.Inject(*this);

    // The box is back.
    Box().ClearFailures();
    Box().WithholdReplies(false);
    Box().SetReplyDelay(0);
    Driver.Plug(Index);
    if (!SlotFor(Index).CommandPipeCtx.Run.load())
        Start();
    // Back within the reconnection's own rounds; the room is for a loaded
    // machine, the verdict is that it comes back at all.
    ASSERT_TRUE(Eventually([&] { return Io.IfConnectUSB() == 0; }, 20000))
        << c.Name << ": status " << std::hex << Status(Index);
    int r = Command24();
    if (c.ReplyNeverCame && r != 1)
        r = Command24();
    EXPECT_EQ(r, 1) << c.Name;
    End();
    EXPECT_EQ(Status(Index), 0x200u);
}

std::vector<FaultCase> Cases()
{
    std::vector<FaultCase> cases;
    const struct {
        Pipe P;
        const char *Name;
    } pipes[] = {{Pipe::Device, "Device"}, {Pipe::Report, "Pipe0"}, {Pipe::Command, "Pipe1"},
                 {Pipe::SoundIn, "Pipe2"}, {Pipe::SoundOut, "Pipe3"}};
    const struct {
        Op O;
        const char *Name;
    } ops[] = {{Op::Open, "Open"}, {Op::Read, "Read"}, {Op::Write, "Write"}, {Op::Control, "Control"}};

    // Each pipe's open, read, write and control failing once and many times,
    // while commands run and across a reconnection.
    for (auto &p : pipes)
        for (auto &o : ops)
            for (int count : {1, 20}) {
                const Pipe pipe = p.P;
                const Op op = o.O;
                cases.push_back({std::string(p.Name) + o.Name + (count == 1 ? "Once" : "Many"),
                                 [=](FaultMatrix &m) {
                                     m.Box().FailNext(pipe, op, count);
                                     for (int i = 0; i < 3; ++i)
                                         m.Command();
                                     m.Bounce();
                                     EXPECT_TRUE(Eventually([&] { return m.Io.IfConnectUSB() == 0; }, 5000));
                                     m.Command();
                                 }});
            }

    cases.push_back({"ShortRead", [](FaultMatrix &m) {
                         m.Box().ShortReadNext(10);
                         m.Command();
                     }});
    cases.push_back({"ZeroByteRead",
                     [](FaultMatrix &m) {
                         m.Box().ShortReadNext(0);  // the reply is consumed and lost
                         m.Command();
                     },
                     true, true});
    cases.push_back({"GarbageReports", [](FaultMatrix &m) {
                         std::mt19937 rng(13);
                         for (int i = 0; i < 200; ++i) {
                             zlsim::Bytes64 r;
                             for (auto &b : r)
                                 b = static_cast<uint8_t>(rng());
                             m.Box().SendReport(r);
                         }
                         for (int i = 0; i < 3; ++i)
                             m.Command();
                     }});
    cases.push_back({"ReplyWithheldForEver",
                     [](FaultMatrix &m) {
                         m.Box().WithholdReplies(true);
                         EXPECT_EQ(m.Command(), -3);
                     },
                     true, true});
    cases.push_back({"ReplyWithheldThenReleased", [](FaultMatrix &m) {
                         m.Box().WithholdReplies(true);
                         std::thread release([&] {
                             m.Box().WaitPackets(1, 2000);
                             std::this_thread::sleep_for(std::chrono::milliseconds(20));
                             m.Box().ReleaseWithheld();
                         });
                         EXPECT_EQ(m.Command24(), 1);
                         release.join();
                     }});
    cases.push_back({"ReplyDelayedPastTheLimit", [](FaultMatrix &m) {
                         m.Box().SetReplyDelay(static_cast<int>(ScaledMs(3300)));
                         EXPECT_EQ(m.Command24(), -3);
                     }});
    cases.push_back({"UnplugBeforeStart",
                     [](FaultMatrix &m) {
                         m.Start();
                         EXPECT_EQ(m.Io.IfConnectUSB(), 1);
                         EXPECT_EQ(m.Command(), -1);
                     },
                     false});
    cases.push_back({"UnplugDuringStart", [](FaultMatrix &m) {
                         m.End();
                         std::thread start([&] { m.Start(); });
                         std::this_thread::sleep_for(std::chrono::microseconds(500));
                         m.Unplug();
                         start.join();
                         m.Command();
                     }});
    cases.push_back({"UnplugIdle", [](FaultMatrix &m) {
                         m.Unplug();
                         m.WaitLoss();
                         EXPECT_EQ(m.Command(), -1);
                     }});
    cases.push_back({"UnplugMidCommand", [](FaultMatrix &m) {
                         m.Box().WithholdReplies(true);
                         std::thread unplug([&] {
                             m.Box().WaitPackets(1, 2000);
                             m.Unplug();
                         });
                         EXPECT_EQ(m.Command24(), -3);
                         unplug.join();
                     }});
    cases.push_back({"UnplugDuringEnd", [](FaultMatrix &m) {
                         std::thread unplug([&] {
                             std::this_thread::sleep_for(std::chrono::microseconds(300));
                             m.Unplug();
                         });
                         m.End();
                         unplug.join();
                     }});
    cases.push_back({"TwentyFastReplugsDuringCommands", [](FaultMatrix &m) {
                         std::atomic<bool> stop{false};
                         std::thread loop([&] {
                             while (!stop)
                                 m.Command();
                         });
                         for (int i = 0; i < 20; ++i) {
                             m.Unplug();
                             std::this_thread::sleep_for(std::chrono::milliseconds(1));
                             m.Plug();
                             std::this_thread::sleep_for(std::chrono::milliseconds(3));
                         }
                         stop = true;
                         loop.join();
                     }});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<FaultCase> &i) { return i.param.Name; });

}  // namespace
