// The library's clock and its one wait primitive.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zplr::platform {

using Clock = std::chrono::steady_clock;

// Intervals of the protocol (2 to 500 ms) are multiplied by the time scale.
// Tests run the clock faster with a scale below 1; 1 is real time.
void SetTimeScale(double scale);
double TimeScale();
Clock::duration Interval(int ms);

// Early wake-up off: every wait polls exactly at its interval, as the box's
// own protocol describes it. On by default; ZPLR_PURE_POLLING=1 turns it off.
void SetPurePolling(bool on);
bool PurePolling();

// Times a wait has woken to re-test its condition, for the benchmark.
unsigned long WakeUps();
void CountWakeUp();

// Sleeps ms (scaled); no condition to wake for.
void SleepMs(int ms);

// Sleeps until `end`, never less.
void SleepUntil(Clock::time_point end);

// A place to wait for flags of one device slot. Whoever changes a flag that a
// wait may be testing calls Notify(); waits then re-test at once instead of
// at their next interval.
class WaitGate {
public:
    void Notify();

    // Polls done() every intervalMs until it holds: true. With limit >= 0,
    // gives up once more than `limit` polls have passed, that is after
    // (limit + 1) intervals of wall time: false. limit < 0 waits for ever.
    // ticks counts the polls of this wait, as the slot's WaitTicks.
    template <class Pred>
    bool Wait(std::atomic<int> &ticks, int intervalMs, int limit, Pred done);

private:
    std::mutex Mutex_;
    std::condition_variable Cv_;
    unsigned long Generation_ = 0;
};

template <class Pred>
bool WaitGate::Wait(std::atomic<int> &ticks, int intervalMs, int limit, Pred done)
{
    ticks.store(0, std::memory_order_relaxed);
    if (done())
        return true;
    const Clock::duration step = Interval(intervalMs);
    const Clock::time_point start = Clock::now();
    // Unlimited waits re-test on their own now and then, so that a writer
    // that forgot to notify costs time, never a hang.
    const Clock::duration safety = std::max<Clock::duration>(step, Interval(2000));
    int polls = 0;
    for (;;) {
        if (PurePolling()) {
            // Exactly as the box's protocol describes it: sleep, count, test.
            ++polls;
            ticks.store(polls, std::memory_order_relaxed);
            SleepUntil(start + step * polls);
            CountWakeUp();
            if (done())
                return true;
            if (limit >= 0 && polls > limit)
                return false;
            continue;
        }
        std::unique_lock<std::mutex> lock(Mutex_);
        const Clock::time_point now = Clock::now();
        polls = std::max(polls, static_cast<int>((now - start) / step));
        if (done()) {
            ticks.store(limit >= 0 ? std::min(polls + 1, limit + 1) : polls + 1,
                        std::memory_order_relaxed);
            return true;
        }
        if (limit >= 0) {
            const Clock::time_point deadline = start + step * (limit + 1);
            if (now >= deadline) {
                ticks.store(limit + 1, std::memory_order_relaxed);
                return false;
            }
            ticks.store(polls + 1, std::memory_order_relaxed);
            Cv_.wait_until(lock, deadline);
        } else {
            ticks.store(polls + 1, std::memory_order_relaxed);
            Cv_.wait_for(lock, safety);
        }
        CountWakeUp();
    }
}

}  // namespace zplr::platform
