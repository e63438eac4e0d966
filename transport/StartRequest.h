// The input of the two start requests. Its words are 32-bit little-endian;
// the third is the address of a block the driver reads, so a 64-bit build
// sends that address whole: 16 bytes from a 32-bit build, 20 from a 64-bit
// one (address at offset 8, 64 bits; last word at offset 16).
#pragma once

#include <cstdint>

#include "zPLR_host.h"

namespace zplr::transport {

struct StartInput {
    uint8_t Bytes[20];
    unsigned Size;
};

StartInput MakeStartInput(uint32_t blockSize, const void *block, uint32_t last);

// The stream-start request on a sound thread's device handle.
bool SendStreamStart(ZlHandle device);

}  // namespace zplr::transport
