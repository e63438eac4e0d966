#include "platform/Time.h"

#include <atomic>

namespace zplr::platform {

namespace {
std::atomic<std::time_t (*)()> Source{nullptr};
}

void SetCalendarSource(std::time_t (*now)()) { Source.store(now); }

std::time_t CalendarNow()
{
    std::time_t (*now)() = Source.load();
    return now ? now() : std::time(nullptr);
}

std::tm LocalNow()
{
    std::tm out{};
    ToLocal(CalendarNow(), out);
    return out;
}

}  // namespace zplr::platform
