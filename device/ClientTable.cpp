#include "device/Cipher.h"
#include "transport/DeviceSlot.h"

namespace zplr::device {

uint16_t (*ClientTable(int deviceIndex))[10]
{
    if (deviceIndex < 0 || deviceIndex >= transport::SlotCount)
        return nullptr;
    return transport::SlotFor(deviceIndex).ClientEncSubkeys;
}

}  // namespace zplr::device
