#include "platform/Thread.h"

#include <windows.h>
#include <process.h>

#include <climits>

namespace zplr::platform {
namespace {
struct StartBlock {
    Thread::Entry Entry;
    void *Arg;
    HANDLE Started;
    std::size_t Stack;
};

// The reservation the thread really runs on: every region of the
// allocation that holds this frame, guard pages included.
std::size_t CurrentStackBytes()
{
    MEMORY_BASIC_INFORMATION mbi{};
    if (!VirtualQuery(&mbi, &mbi, sizeof mbi))
        return 0;
    void *const base = mbi.AllocationBase;
    auto *at = static_cast<char *>(base);
    std::size_t total = 0;
    while (VirtualQuery(at, &mbi, sizeof mbi) && mbi.AllocationBase == base && mbi.RegionSize) {
        total += mbi.RegionSize;
        at += mbi.RegionSize;
    }
    return total;
}

unsigned __stdcall Trampoline(void *p)
{
    auto *block = static_cast<StartBlock *>(p);
    Thread::Entry entry = block->Entry;
    void *arg = block->Arg;
    block->Stack = CurrentStackBytes();
    SetEvent(block->Started);  // the block belongs to Start from here on
    entry(arg);
    return 0;
}
}  // namespace

Thread::~Thread() { Detach(); }

bool Thread::Start(Entry entry, void *arg, ThreadPriority priority, std::size_t stackBytes)
{
    if (Handle_ || stackBytes > UINT_MAX)
        return false;
    StartBlock block{entry, arg, CreateEventA(nullptr, TRUE, FALSE, nullptr), 0};
    if (!block.Started)
        return false;
    // A size without STACK_SIZE_PARAM_IS_A_RESERVATION is the initial
    // commit; the reservation grows to hold it and never falls below the
    // image's default, so the thread gets at least stackBytes (page-rounded).
    // _beginthreadex rather than CreateThread: the entry uses the C runtime.
    uintptr_t h = _beginthreadex(nullptr, static_cast<unsigned>(stackBytes), Trampoline, &block,
                                 CREATE_SUSPENDED, nullptr);
    if (!h) {
        CloseHandle(block.Started);
        return false;
    }
    HANDLE thread = reinterpret_cast<HANDLE>(h);
    // Set while suspended, so the entry never runs at the wrong priority.
    Raised_ = priority == ThreadPriority::Highest &&
              SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST) != 0;
    ResumeThread(thread);
    WaitForSingleObject(block.Started, INFINITE);
    CloseHandle(block.Started);
    Stack_ = block.Stack;
    Handle_ = thread;
    return true;
}

void Thread::Join()
{
    if (!Handle_)
        return;
    HANDLE h = static_cast<HANDLE>(Handle_);
    // A thread that joins itself would wait for ever; it lets go instead.
    if (GetThreadId(h) != GetCurrentThreadId())
        WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
    Handle_ = nullptr;
}

void Thread::Detach()
{
    if (!Handle_)
        return;
    CloseHandle(static_cast<HANDLE>(Handle_));
    Handle_ = nullptr;
}

}  // namespace zplr::platform
