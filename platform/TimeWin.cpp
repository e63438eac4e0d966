#include "platform/Time.h"

namespace zplr::platform {

bool ToLocal(std::time_t t, std::tm &out) { return localtime_s(&out, &t) == 0; }

}  // namespace zplr::platform
