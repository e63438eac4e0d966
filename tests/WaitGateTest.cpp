// The one wait primitive: a limited wait counts a change by when it was
// notified, in both wait modes, not by when the waiter got round to it.
//
// Every time here is measured from the wait's own start (the first test of
// its condition), never from before the call, so that a caller held up by
// load does not shift the boundary. A change that must count comes many
// polls inside the limit; a change that must be too late comes after the
// limit, where load can only make it later.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/Clock.h"
#include "transport/DeviceSlot.h"

using namespace zplr;

namespace {

using Steady = std::chrono::steady_clock;
constexpr int StepMs = 20;  // real time: the clock runs at scale 1 here
// The limit of a wait whose change comes at step 2 and must count: the
// setter may be held up by load for over 400 ms before it is late.
constexpr int InTime = 25;

Steady::duration Steps(double n) { return std::chrono::microseconds(static_cast<long>(n * StepMs * 1000)); }

class LimitedWaitTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        platform::SetTimeScale(1.0);
        platform::SetPurePolling(GetParam());
    }
    void TearDown() override
    {
        for (std::thread *t : {&Setter, &Other})
            if (t->joinable())
                t->join();
        platform::SetPurePolling(false);
    }

    // Waits on Flag; `each` sees every test of the condition after the first.
    template <class Each>
    bool Wait(int limit, Each each)
    {
        bool first = true;
        return Gate.Wait(Ticks, StepMs, limit, [&] {
            if (first) {
                first = false;
                Start = Steady::now();
                Started = true;
                return false;
            }
            const bool v = Flag.load();
            each(v);
            return v;
        });
    }
    bool Wait(int limit) { return Wait(limit, [](bool) {}); }

    // Sets the flag and notifies `steps` after the wait has begun.
    void SetAt(double steps)
    {
        Setter = std::thread([this, steps] {
            while (!Started)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            std::this_thread::sleep_until(Start.load() + Steps(steps));
            Flag = true;
            Gate.Notify();
        });
    }
    double StepsSinceStart() const
    {
        return std::chrono::duration<double, std::milli>(Steady::now() - Start.load()).count() / StepMs;
    }

    platform::WaitGate Gate;
    std::atomic<bool> Flag{false};
    std::atomic<int> Ticks{0};
    std::atomic<bool> Started{false};
    std::atomic<Steady::time_point> Start{Steady::time_point{}};
    std::thread Setter, Other;
};

TEST_P(LimitedWaitTest, AChangeWellInsideTheLimitCounts)
{
    SetAt(2);
    EXPECT_TRUE(Wait(InTime));
    EXPECT_GE(Ticks.load(), 1);
    EXPECT_LE(Ticks.load(), InTime);
}

TEST_P(LimitedWaitTest, NoChangeTimesOutAfterLimitPlusOnePolls)
{
    EXPECT_FALSE(Wait(3));
    EXPECT_EQ(Ticks.load(), 4);
    EXPECT_GE(StepsSinceStart(), 4 * 0.99);
}

TEST_P(LimitedWaitTest, AChangeDuringTheLastPollIsTooLate)
{
    SetAt(3.5);  // limit 3: the 4th poll has begun
    EXPECT_FALSE(Wait(3));
}

TEST_P(LimitedWaitTest, AChangeInTimeCountsThoughTheWaiterComesLate)
{
    // The flag changes far inside the limit, but the waiter's own test of it
    // is held up (as by load) until the wait's whole time is over.
    SetAt(2);
    const std::thread::id waiter = std::this_thread::get_id();
    std::atomic<bool> held{false};  // a notifier may test the condition too
    EXPECT_TRUE(Wait(InTime, [&](bool v) {
        if (v && std::this_thread::get_id() == waiter && !held.exchange(true))
            std::this_thread::sleep_until(Start.load() + Steps(InTime + 1.5));
    }));
    EXPECT_TRUE(held);
    EXPECT_LE(Ticks.load(), InTime);
}

TEST_P(LimitedWaitTest, AChangeAfterTheLimitIsLateThoughTheWaiterWasHeld)
{
    // The waiter is held past the limit; the change comes after the limit,
    // so no poll may count it as in time.
    SetAt(3.3);
    std::atomic<bool> held{false};  // a notifier may test the condition too
    EXPECT_FALSE(Wait(3, [&](bool) {
        if (!held) {
            held = true;
            std::this_thread::sleep_until(Start.load() + Steps(3.6));
        }
    }));
    EXPECT_TRUE(held);
}

TEST_P(LimitedWaitTest, UnlimitedWaitEndsOnItsNotification)
{
    SetAt(2.5);
    EXPECT_TRUE(Wait(-1));
}

TEST_P(LimitedWaitTest, TheConditionHeldByANotifierCountsWhenItWasNotified)
{
    // Nobody tests the flag at its change but the notifier, whose test is
    // held up (as by load) past the limit: the change was in time.
    SetAt(2);
    std::atomic<bool> late{false};
    EXPECT_TRUE(Wait(InTime, [&](bool v) {
        if (v && !late.exchange(true))
            std::this_thread::sleep_until(Start.load() + Steps(InTime + 3));
    }));
}

INSTANTIATE_TEST_SUITE_P(WaitModes, LimitedWaitTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return i.param ? "PurePolling" : "EarlyWakeUp";
                         });

// Who is woken: only the waits whose condition a change made true.
TEST(WaitGateWakingTest, AChangeWakesOnlyTheWaitThatLooksAtIt)
{
    platform::SetPurePolling(false);
    platform::WaitGate gate;
    std::atomic<bool> a{false}, b{false};
    std::atomic<int> ownTestsOfB{0};
    std::atomic<int> ticksA{0}, ticksB{0};
    std::thread waitB([&] {
        const std::thread::id me = std::this_thread::get_id();
        gate.Wait(ticksB, 10, -1, [&] {
            if (std::this_thread::get_id() == me)
                ++ownTestsOfB;
            return b.load();
        });
    });
    std::thread waitA([&] { gate.Wait(ticksA, 10, -1, [&] { return a.load(); }); });
    while (ownTestsOfB.load() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int i = 0; i < 20; ++i)
        gate.Notify();  // nothing either looks at has changed
    a = true;
    gate.Notify();
    waitA.join();
    EXPECT_EQ(ownTestsOfB.load(), 1) << "the wait for b woke for changes it does not look at";
    b = true;
    gate.Notify();
    waitB.join();
    EXPECT_EQ(ownTestsOfB.load(), 2);
}

TEST(WaitGateWakingTest, AStoreThatChangesNothingTestsNoCondition)
{
    platform::SetPurePolling(false);
    auto slot = std::make_unique<transport::DeviceSlot>();
    transport::DeviceSlot &s = *slot;
    std::atomic<int> tests{0};
    std::atomic<int> ticks{0};
    std::thread waiter([&] {
        s.Gate.Wait(ticks, 10, -1, [&] {
            ++tests;
            return s.SoundOutAck.load() == 1;
        });
    });
    while (tests.load() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    s.Put(s.SoundOutPipeReopen, 0);   // already 0
    s.Set(transport::Closed);         // already set
    s.Clear(transport::OffHook);      // already clear
    EXPECT_EQ(tests.load(), 1);
    s.Put(s.SoundOutAck, 1);
    waiter.join();
}

// Early wake-up: a wait reacts to the notification, not to its interval. The
// interval is long enough that no load can pass for a reaction.
TEST(WaitReactionTest, AWaitWakesAtTheNotificationNotAtItsInterval)
{
    platform::SetTimeScale(1.0);
    platform::SetPurePolling(false);
    platform::WaitGate gate;
    std::atomic<bool> flag{false}, waiting{false};
    std::atomic<int> ticks{0};
    for (int limit : {5, -1}) {
        SCOPED_TRACE(limit);
        flag = false;
        waiting = false;
        std::thread set([&] {
            while (!waiting)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            flag = true;
            gate.Notify();
        });
        const auto t0 = Steady::now();
        EXPECT_TRUE(gate.Wait(ticks, 20000, limit, [&] {
            waiting = true;
            return flag.load();
        }));
        EXPECT_LT(Steady::now() - t0, std::chrono::seconds(10));
        EXPECT_EQ(ticks.load(), 1);
        set.join();
    }
}

}  // namespace
