// The one wait primitive: a limited wait counts a change by when it was
// notified, in both wait modes, not by when the waiter got round to it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Clock.h"

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
    bool held = false;
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
    bool held = false;
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

INSTANTIATE_TEST_SUITE_P(WaitModes, LimitedWaitTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return i.param ? "PurePolling" : "EarlyWakeUp";
                         });

}  // namespace
