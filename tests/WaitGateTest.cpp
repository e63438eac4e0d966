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
    std::thread set = SetLater(2.5 * StepMs);
    // Some other flag's change wakes the waiter just before; it is then held
    // up (as by load) from that test until the wait's whole time is over.
    std::thread other([this] {
        std::this_thread::sleep_until(Start + std::chrono::milliseconds(22 * StepMs / 10));
        Gate.Notify();
    });
    bool held = false;
    EXPECT_TRUE(Gate.Wait(Ticks, StepMs, 3, [&] {
        const bool v = Flag.load();
        if (!v && !held && Steady::now() >= Start + std::chrono::milliseconds(2 * StepMs)) {
            held = true;
            std::this_thread::sleep_until(Start + std::chrono::milliseconds(9 * StepMs / 2));
        }
        return v;
    }));
    EXPECT_TRUE(held);
    EXPECT_LE(Ticks.load(), 3);
    set.join();
    other.join();
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
