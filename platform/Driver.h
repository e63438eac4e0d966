// The process-wide driver backend.
#pragma once

#include "zPLR_host.h"

namespace zplr::platform {

// The backend in force: the one the application chose, else the platform's.
ZlDriverBackend &Driver();

// The platform's own backend (Windows: SetupAPI and the box's driver).
ZlDriverBackend &PlatformDriver();

}  // namespace zplr::platform
