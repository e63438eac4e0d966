#include "platform/Thread.h"

#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <new>

namespace zplr::platform {
namespace {
struct StartBlock {
    Thread::Entry Entry;
    void *Arg;
};

void *Trampoline(void *p)
{
    StartBlock s = *static_cast<StartBlock *>(p);
    delete static_cast<StartBlock *>(p);
    s.Entry(s.Arg);
    return nullptr;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t StackFactor = 8;  // sanitizers widen every frame
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr std::size_t StackFactor = 8;
#else
constexpr std::size_t StackFactor = 1;
#endif
#else
constexpr std::size_t StackFactor = 1;
#endif

std::size_t RoundStack(std::size_t bytes)
{
    bytes *= StackFactor;
    std::size_t min = PTHREAD_STACK_MIN;
    if (bytes < min)
        bytes = min;
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0)
        bytes = (bytes + page - 1) / page * page;
    return bytes;
}
}  // namespace

Thread::~Thread() { Detach(); }

bool Thread::Start(Entry entry, void *arg, ThreadPriority priority, std::size_t stackBytes)
{
    if (Handle_)
        return false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stackBytes) {
        Stack_ = RoundStack(stackBytes);
        pthread_attr_setstacksize(&attr, Stack_);
    }
    // Normal threads already run at the best priority an unprivileged
    // process may choose here; real-time classes need privileges and could
    // starve the rest of the session, so Highest stays at normal.
    Raised_ = false;
    (void)priority;
    auto *start = new (std::nothrow) StartBlock{entry, arg};
    auto *handle = new (std::nothrow) pthread_t;
    bool ok = start && handle && pthread_create(handle, &attr, Trampoline, start) == 0;
    pthread_attr_destroy(&attr);
    if (!ok) {
        delete start;
        delete handle;
        return false;
    }
    if (!stackBytes) {
        pthread_attr_t got;
        if (pthread_getattr_np(*handle, &got) == 0) {
            pthread_attr_getstacksize(&got, &Stack_);
            pthread_attr_destroy(&got);
        }
    }
    Handle_ = handle;
    return true;
}

void Thread::Join()
{
    if (!Handle_)
        return;
    auto *h = static_cast<pthread_t *>(Handle_);
    pthread_join(*h, nullptr);
    delete h;
    Handle_ = nullptr;
}

void Thread::Detach()
{
    if (!Handle_)
        return;
    auto *h = static_cast<pthread_t *>(Handle_);
    pthread_detach(*h);
    delete h;
    Handle_ = nullptr;
}

}  // namespace zplr::platform
