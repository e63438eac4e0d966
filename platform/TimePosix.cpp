#include "platform/Time.h"

namespace zplr::platform {

bool ToLocal(std::time_t t, std::tm &out) { return localtime_r(&t, &out) != nullptr; }

}  // namespace zplr::platform
