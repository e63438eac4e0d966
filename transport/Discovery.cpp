#include "transport/Discovery.h"

#include <cstring>

#include "platform/Driver.h"

namespace zplr::transport {
namespace {
// "\ZLDrv0" and its NUL must still fit behind every path we accept.
constexpr size_t PipeSuffix = 7;

constexpr ZlGuid Classes[SlotCount] = {
    {0x77F49321, 0x16EF, 0x11D2, {0xAD, 0x51, 0x00, 0x60, 0x97, 0xB5, 0x14, 0xDD}},
    {0x77F49321, 0x16EF, 0x11D2, {0xAD, 0x51, 0x00, 0x60, 0x97, 0xB5, 0x14, 0xDE}},
    {0x77F49321, 0x16EF, 0x11D2, {0xAD, 0x51, 0x00, 0x60, 0x97, 0xB5, 0x14, 0xDF}},
    {0x77F49321, 0x16EF, 0x11D2, {0xAD, 0x51, 0x00, 0x60, 0x97, 0xB5, 0x14, 0xE0}},
};
}  // namespace

const ZlGuid *InterfaceClass(const DeviceSlot &slot)
{
    return slot.Index >= 0 && slot.Index < SlotCount ? &Classes[slot.Index] : nullptr;
}

ZlHandle FindDeviceInterface(const ZlGuid *cls, char (&path)[PathSize])
{
    if (!cls)
        return ZL_INVALID_HANDLE;
    ZlDriverBackend &driver = platform::Driver();
    for (unsigned member = 0; member < MaxInterfaceMembers; ++member) {
        char found[PathSize];
        size_t needed = 0;
        int r = driver.EnumInterface(*cls, member, found, sizeof found, &needed);
        if (r == ZL_ENUM_NO_MORE)
            break;
        if (r != ZL_ENUM_OK || needed == 0 || needed > PathSize - PipeSuffix)
            continue;
        found[needed - 1] = '\0';
        std::memcpy(path, found, needed);
        ZlHandle h = driver.Open(path);
        if (h != ZL_INVALID_HANDLE)
            return h;
    }
    return ZL_INVALID_HANDLE;
}

bool PipePath(const char *devicePath, const char *pipeName, char (&out)[PathSize])
{
    size_t a = std::strlen(devicePath), b = std::strlen(pipeName);
    if (a + 1 + b + 1 > PathSize)
        return false;
    std::memcpy(out, devicePath, a);
    out[a] = '\\';
    std::memcpy(out + a + 1, pipeName, b + 1);
    return true;
}

}  // namespace zplr::transport
