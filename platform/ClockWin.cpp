#include <windows.h>

#include "platform/Clock.h"

namespace zplr::platform {

// The runtime's sleeps go down to Sleep in whole milliseconds, cut short:
// anything under 1 ms becomes Sleep(0), and a thread that waits for a short
// deadline spins on the processor. Round up instead, and take whole
// milliseconds until the deadline has passed.
void SleepUntil(Clock::time_point end)
{
    for (;;) {
        const Clock::duration left = end - Clock::now();
        if (left <= Clock::duration::zero())
            return;
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        Sleep(static_cast<DWORD>(ms < 0x10000000 ? ms : 0x10000000));  // never INFINITE
    }
}

}  // namespace zplr::platform
