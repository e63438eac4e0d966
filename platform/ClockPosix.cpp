#include <thread>

#include "platform/Clock.h"

namespace zplr::platform {

void SleepUntil(Clock::time_point end)
{
    while (Clock::now() < end)
        std::this_thread::sleep_until(end);
}

}  // namespace zplr::platform
