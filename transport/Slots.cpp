#include "transport/DeviceSlot.h"

namespace zplr::transport {
namespace {
// Built on first use, so that objects an application constructs during its
// own static initialisation find the slots ready.
DeviceSlot *Slots()
{
    static DeviceSlot slots[SlotCount + 1];
    static bool indexed = [] {
        for (int i = 0; i <= SlotCount; ++i)
            slots[i].Index = i;
        return true;
    }();
    (void)indexed;
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

