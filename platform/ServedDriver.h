// The driver backend of a box served over a socket (ZPLR_DRIVER).
#pragma once

#include <string>

#include "zPLR_host.h"

namespace zplr::platform {

// A backend that reaches the server at "unix:PATH" or "tcp:127.0.0.1:PORT".
// It connects when a box is first looked for and again after the server went
// away; until then every box looks unplugged. Null for a malformed address.
ZlDriverBackend *NewServedDriver(const std::string &address);

}  // namespace zplr::platform
