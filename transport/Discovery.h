// Finding a box's device interface.
#pragma once

#include "transport/DeviceSlot.h"

namespace zplr::transport {

constexpr unsigned MaxInterfaceMembers = 64;

// Opens the first interface of `cls` whose path opens and leaves its path in
// `path` (PathSize bytes). Paths that leave no room for "\ZLDrvN" are
// skipped. Returns ZL_INVALID_HANDLE when none opens or cls is null.
ZlHandle FindDeviceInterface(const ZlGuid *cls, char (&path)[PathSize]);

// Builds "<device path>\<pipe name>" in `out`; false when it would not fit.
bool PipePath(const char *devicePath, const char *pipeName, char (&out)[PathSize]);

}  // namespace zplr::transport
