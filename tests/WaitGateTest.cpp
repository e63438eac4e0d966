// The one wait primitive: a limited wait counts a change by when it was
// notified, in both wait modes, not by when the waiter got round to it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Clock.h"
#include "transport/DeviceSlot.h"

using namespace zplr;

namespace {

using Steady = std::chrono::steady_clock;
constexpr int StepMs = 20;  // real time: the clock runs at scale 1 here

class LimitedWaitTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        platform::SetTimeScale(1.0);
        platform::SetPurePolling(GetParam());
    }
    void TearDown() override { platform::SetPurePolling(false); }

    // Sets the flag and notifies `atMs` after the start.
    std::thread SetLater(double atMs)
    {
        return std::thread([this, atMs] {
            std::this_thread::sleep_until(Start + std::chrono::microseconds(static_cast<long>(atMs * 1000)));
            Flag = true;
            Gate.Notify();
        });
    }

    platform::WaitGate Gate;
    std::atomic<bool> Flag{false};
    std::atomic<int> Ticks{0};
    Steady::time_point Start = Steady::now();
};

TEST_P(LimitedWaitTest, AChangeDuringTheLastPollIsTooLate)
{
    std::thread set = SetLater(3.5 * StepMs);  // limit 3: the 4th poll has begun
    EXPECT_FALSE(Gate.Wait(Ticks, StepMs, 3, [&] { return Flag.load(); }));
    EXPECT_EQ(Ticks.load(), 4);
    set.join();
}

TEST_P(LimitedWaitTest, AChangeInTimeCountsThoughTheWaiterComesLate)
{
    // Some other flag's change wakes the waiter during the 3rd poll; it is
    // then held up (as by load) until the wait's whole time is over, and our
    // flag changes while it is held, still within the 3rd poll.
    std::atomic<bool> holding{false};
    std::thread other([this] {
        std::this_thread::sleep_until(Start + std::chrono::milliseconds(21 * StepMs / 10));
        Gate.Notify();
    });
    std::thread set([&] {
        const auto latest = Start + std::chrono::milliseconds(29 * StepMs / 10);
        while (!holding && Steady::now() < latest)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        Flag = true;
        Gate.Notify();
    });
    std::atomic<bool> held{false};  // a notifier may test the condition too
    EXPECT_TRUE(Gate.Wait(Ticks, StepMs, 3, [&] {
        const bool v = Flag.load();
        if (!v && !held && Steady::now() >= Start + std::chrono::milliseconds(2 * StepMs)) {
            held = true;
            holding = true;
            std::this_thread::sleep_until(Start + std::chrono::milliseconds(9 * StepMs / 2));
        }
        return v;
    }));
    EXPECT_TRUE(held);
    EXPECT_LE(Ticks.load(), 3);
    set.join();
    other.join();
}

TEST_P(LimitedWaitTest, AChangeAfterTheLimitIsLateThoughTheWaiterWasHeld)
{
    // The waiter is held past the limit before its 3rd poll; the change
    // comes after the limit, so no poll may count it as in time.
    std::thread set = SetLater(3.3 * StepMs);
    std::atomic<bool> held{false};
    EXPECT_FALSE(Gate.Wait(Ticks, StepMs, 3, [&] {
        const bool v = Flag.load();
        if (!held && Steady::now() >= Start + std::chrono::milliseconds(2 * StepMs)) {
            held = true;
            std::this_thread::sleep_until(Start + std::chrono::milliseconds(36 * StepMs / 10));
        }
        return v;
    }));
    EXPECT_TRUE(held);
    set.join();
}

TEST_P(LimitedWaitTest, UnlimitedWaitEndsOnItsNotification)
{
    std::thread set = SetLater(2.5 * StepMs);
    EXPECT_TRUE(Gate.Wait(Ticks, StepMs, -1, [&] { return Flag.load(); }));
    set.join();
}

TEST_P(LimitedWaitTest, TheConditionHeldByANotifierCountsWhenItWasNotified)
{
    // Nobody tests the flag at its change but the notifier, whose test is
    // held up (as by load) past the limit: the change was in time.
    std::thread set([this] {
        std::this_thread::sleep_until(Start + std::chrono::milliseconds(StepMs));
        Flag = true;
        Gate.Notify();
    });
    std::atomic<bool> late{false};
    EXPECT_TRUE(Gate.Wait(Ticks, StepMs, 2, [&] {
        const bool v = Flag.load();
        if (v && !late.exchange(true))
            std::this_thread::sleep_until(Start + std::chrono::milliseconds(5 * StepMs));
        return v;
    }));
    set.join();
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

}  // namespace
