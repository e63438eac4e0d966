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

void WaitGate::Notify()
{
    // Stamped before the gate's lock, under a lock of its own: a waiter that
    // holds the gate's lock while it tests (and is held up there) must not
    // make this change look later than it was.
    const Clock::time_point now = Clock::now();
    {
        std::lock_guard<std::mutex> lock(WaitersMutex_);
        for (Waiter *w = Waiters_; w; w = w->Next)
            if (w->FirstNotify == Clock::time_point::max())
                w->FirstNotify = now;
    }
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        ++Generation_;
    }
    Cv_.notify_all();
}

void WaitGate::Enter(Waiter &w)
{
    std::lock_guard<std::mutex> lock(WaitersMutex_);
    w.Next = Waiters_;
    Waiters_ = &w;
}

void WaitGate::Leave(Waiter &w)
{
    std::lock_guard<std::mutex> lock(WaitersMutex_);
    for (Waiter **p = &Waiters_; *p; p = &(*p)->Next)
        if (*p == &w) {
            *p = w.Next;
            break;
        }
}

Clock::time_point WaitGate::TakeFirstNotify(Waiter &w)
{
    std::lock_guard<std::mutex> lock(WaitersMutex_);
    Clock::time_point first = w.FirstNotify;
    w.FirstNotify = Clock::time_point::max();
    return first;
}

}  // namespace zplr::platform
