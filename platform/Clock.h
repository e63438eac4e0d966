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
// wait may be testing calls Notify(). Notify tests each waiting condition
// and wakes only the waits whose condition now holds, so a change wakes no
// thread that has nothing to do with it.
class WaitGate {
public:
    void Notify();
    // Wakes every wait to re-test, whatever its condition: for a change of
    // the wait mode, which waits take up at their next wake-up.
    void NotifyAll();

    // Polls done() every intervalMs until it holds: true. With limit >= 0,
    // gives up once more than `limit` polls have passed, that is after
    // (limit + 1) intervals of wall time: false. A condition that came true
    // only during poll limit + 1 is too late: false as well. What counts is
    // when it came true (the first notification after the last failed
    // test), not when this thread got round to testing it, so a wake-up
    // delayed by load never turns a change in time into a time-out.
    // limit < 0 waits for ever. ticks counts the polls of this wait, as the
    // slot's WaitTicks.
    //
    // done() may also be called by a notifying thread, never by two threads
    // at once; it must not take a lock that a notifier may hold.
    template <class Pred>
    bool Wait(std::atomic<int> &ticks, int intervalMs, int limit, Pred done);

private:
    struct Waiter {
        bool (*Test)(void *);
        void *Done;
        Clock::time_point FirstNotify = Clock::time_point::max();  // under StampMutex_
        bool Woken = false;                                        // under Mutex_
        bool Sleeping = false;  // on Cv, under Mutex_; a polling wait tests by itself
        std::condition_variable Cv;
        Waiter *Next = nullptr;
    };
    template <class Pred>
    static bool TestOf(void *done) { return (*static_cast<Pred *>(done))(); }

    // Under Mutex_.
    void Enter(Waiter &w);
    void Leave(Waiter &w);
    // The first notification since the last call, and starts a new period.
    Clock::time_point TakeFirstNotify(Waiter &w);
    void KeepFirstNotify(Waiter &w, Clock::time_point first);
    void Wake(bool all);

    // Guards the list and every test of a condition: no condition is ever
    // tested by two threads at once.
    std::mutex Mutex_;
    // Guards the stamps; never held while a condition is tested, so that a
    // waiter held up in its test cannot make a change look later than it was.
    std::mutex StampMutex_;
    std::atomic<int> Count_{0};
    Waiter *Waiters_ = nullptr;
};

template <class Pred>
bool WaitGate::Wait(std::atomic<int> &ticks, int intervalMs, int limit, Pred done)
{
    ticks.store(0, std::memory_order_relaxed);
    const Clock::duration step = Interval(intervalMs);
    const Clock::time_point start = Clock::now();
    const bool limited = limit >= 0;
    const Clock::time_point inTime = start + step * (limited ? limit : 0);
    const Clock::time_point end = start + step * (limited ? limit + 1 : 0);
    Waiter me;
    me.Test = &TestOf<Pred>;
    me.Done = &done;
    std::unique_lock<std::mutex> lock(Mutex_);
    Enter(me);
    struct Leaving {
        WaitGate &Gate;
        Waiter &Me;
        ~Leaving() { Gate.Leave(Me); }  // Mutex_ is held at every return
    } leaving{*this, me};
    if (done())
        return true;

    // A change seen at `now`: in time unless it was seen after the last
    // in-time poll and was first notified after it too.
    auto settle = [&](Clock::time_point now, Clock::time_point first) {
        return !limited || now <= inTime || first <= inTime;
    };

    int polls = 0;
    bool fresh = true;  // done() was just tested and failed
    for (;;) {
        if (PurePolling()) {
            // As the box's protocol describes it: sleep, count, test.
            ++polls;
            ticks.store(polls, std::memory_order_relaxed);
            lock.unlock();
            SleepUntil(start + step * polls);
            CountWakeUp();
            lock.lock();
            const Clock::time_point now = Clock::now();
            const Clock::time_point first = TakeFirstNotify(me);
            me.Woken = false;
            if (done())
                return settle(now, first);
            if (limited && polls > limit)
                return false;
            continue;
        }
        const Clock::time_point now = Clock::now();
        polls = std::max(polls, static_cast<int>((now - start) / step));
        if (!fresh) {
            const Clock::time_point first = TakeFirstNotify(me);
            me.Woken = false;
            if (done()) {
                const bool ok = settle(now, first);
                ticks.store(limited ? std::min(polls + 1, ok ? limit : limit + 1) : polls + 1,
                            std::memory_order_relaxed);
                return ok;
            }
        }
        fresh = false;
        if (limited) {
            if (now >= end) {
                ticks.store(limit + 1, std::memory_order_relaxed);
                return false;
            }
            ticks.store(polls + 1, std::memory_order_relaxed);
            me.Sleeping = true;
            me.Cv.wait_until(lock, end);
        } else {
            ticks.store(polls + 1, std::memory_order_relaxed);
            // Every change a wait tests is notified: no time-out needed, and
            // an idle thread does not wake at all.
            me.Sleeping = true;
            me.Cv.wait(lock);
        }
        me.Sleeping = false;
        CountWakeUp();
    }
}

}  // namespace zplr::platform
