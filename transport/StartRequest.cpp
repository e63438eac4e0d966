#include "transport/StartRequest.h"

#include "platform/Driver.h"
#include "transport/PipeThreads.h"

namespace zplr::transport {

namespace {
void Put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
}  // namespace

StartInput MakeStartInput(uint32_t blockSize, const void *block, uint32_t last)
{
    StartInput in{};
    const uint64_t address = reinterpret_cast<uintptr_t>(block);
    Put32(in.Bytes, 0);
    Put32(in.Bytes + 4, blockSize);
    if (sizeof(void *) == 8) {
        Put32(in.Bytes + 8, static_cast<uint32_t>(address));
        Put32(in.Bytes + 12, static_cast<uint32_t>(address >> 32));
        Put32(in.Bytes + 16, last);
        in.Size = 20;
    } else {
        Put32(in.Bytes + 8, static_cast<uint32_t>(address));
        Put32(in.Bytes + 12, last);
        in.Size = 16;
    }
    return in;
}

bool SendStreamStart(ZlHandle device)
{
    // Read by the driver through its address while the request runs.
    static const uint8_t Params[6] = {0x00, 0x00, 0x00, 0x40, 0x00, 0x80};
    const StartInput in = MakeStartInput(sizeof Params, Params, 0x471);
    unsigned done = 0;
    return platform::Driver().Control(device, StreamStartRequest, in.Bytes, in.Size, nullptr, 0,
                                      &done) != 0;
}

}  // namespace zplr::transport
