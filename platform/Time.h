// The PC's calendar time.
#pragma once

#include <ctime>

namespace zplr::platform {

// The current time broken down in local time; thread-safe.
std::tm LocalNow();

// Replaces the source of the current calendar time (null: the system's),
// so that tests can pick the moment.
void SetCalendarSource(std::time_t (*now)());

// The calendar time of the source, and its broken-down local form.
std::time_t CalendarNow();
bool ToLocal(std::time_t t, std::tm &out);

}  // namespace zplr::platform
