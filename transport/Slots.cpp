#include "transport/DeviceSlot.h"

#include <new>

namespace zplr::transport {
namespace {
// Built on first use, so that objects an application constructs during its
// own static initialisation find the slots ready, and never destroyed: at
// process exit the service threads may still wait on a slot's gate, and a
// global object's destructor still ends its session on it.
DeviceSlot *Slots()
{
    alignas(DeviceSlot) static unsigned char storage[sizeof(DeviceSlot) * (SlotCount + 1)];
    static DeviceSlot *slots = [] {
        DeviceSlot *p = new (storage) DeviceSlot[SlotCount + 1];
        for (int i = 0; i <= SlotCount; ++i)
            p[i].Index = i;
        return p;
    }();
    return slots;
}
}  // namespace

DeviceSlot &SlotFor(int deviceIndex)
{
    if (deviceIndex < 0 || deviceIndex >= SlotCount)
        return Slots()[SlotCount];
    return Slots()[deviceIndex];
}

}  // namespace zplr::transport
