#include "platform/Clock.h"

#include <cstdlib>
#include <cstring>

namespace zplr::platform {
namespace {
std::atomic<double> g_Scale{1.0};

bool PurePollingFromEnvironment()
{
    const char *v = std::getenv("ZPLR_PURE_POLLING");
    return v && std::strcmp(v, "") != 0 && std::strcmp(v, "0") != 0;
}
std::atomic<bool> g_PurePolling{PurePollingFromEnvironment()};
}  // namespace

void SetTimeScale(double scale) { g_Scale.store(scale > 0 ? scale : 1.0); }
double TimeScale() { return g_Scale.load(); }

Clock::duration Interval(int ms)
{
    auto d = std::chrono::duration<double, std::milli>(ms * g_Scale.load());
    return std::chrono::duration_cast<Clock::duration>(d);
}

void SetPurePolling(bool on) { g_PurePolling.store(on); }
bool PurePolling() { return g_PurePolling.load(std::memory_order_relaxed); }

namespace {
std::atomic<unsigned long> g_WakeUps{0};
}
unsigned long WakeUps() { return g_WakeUps.load(std::memory_order_relaxed); }
void CountWakeUp() { g_WakeUps.fetch_add(1, std::memory_order_relaxed); }

void SleepMs(int ms)
{
    SleepUntil(Clock::now() + Interval(ms));
    CountWakeUp();
}

void WaitGate::Notify() { Wake(false); }
void WaitGate::NotifyAll() { Wake(true); }

void WaitGate::Wake(bool all)
{
    // Pairs with the fence in Enter: either this sees the new waiter, or the
    // waiter's first test sees the change that led here.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (Count_.load(std::memory_order_relaxed) == 0)
        return;
    // Stamped before the gate's lock: a waiter that holds it while it tests
    // (and is held up there) must not make this change look later than it was.
    const Clock::time_point now = Clock::now();
    {
        std::lock_guard<std::mutex> lock(StampMutex_);
        for (Waiter *w = Waiters_; w; w = w->Next)
            if (w->FirstNotify == Clock::time_point::max())
                w->FirstNotify = now;
    }
    std::lock_guard<std::mutex> lock(Mutex_);
    for (Waiter *w = Waiters_; w; w = w->Next) {
        // Polling waits test at their own intervals; a wait that began
        // before the mode changed still sleeps until it is woken.
        if (w->Woken || !w->Sleeping)
            continue;
        if (!all) {
            // A test made here stands for one of the waiter's own: a failed
            // one starts a new period, as it would on the waiter's thread.
            const Clock::time_point first = TakeFirstNotify(*w);
            if (!w->Test(w->Done))
                continue;
            KeepFirstNotify(*w, first);
        }
        w->Woken = true;
        w->Cv.notify_one();
    }
}

void WaitGate::Enter(Waiter &w)
{
    {
        std::lock_guard<std::mutex> lock(StampMutex_);
        w.Next = Waiters_;
        Waiters_ = &w;
    }
    Count_.fetch_add(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

void WaitGate::Leave(Waiter &w)
{
    std::lock_guard<std::mutex> lock(StampMutex_);
    for (Waiter **p = &Waiters_; *p; p = &(*p)->Next)
        if (*p == &w) {
            *p = w.Next;
            break;
        }
    Count_.fetch_sub(1, std::memory_order_relaxed);
}

Clock::time_point WaitGate::TakeFirstNotify(Waiter &w)
{
    std::lock_guard<std::mutex> lock(StampMutex_);
    Clock::time_point first = w.FirstNotify;
    w.FirstNotify = Clock::time_point::max();
    return first;
}

void WaitGate::KeepFirstNotify(Waiter &w, Clock::time_point first)
{
    std::lock_guard<std::mutex> lock(StampMutex_);
    w.FirstNotify = std::min(w.FirstNotify, first);
}

}  // namespace zplr::platform
