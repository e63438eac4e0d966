#include "sim/ALaw.h"

namespace zlsim {

// Codes go on the line with their even bits inverted; sign bit 1 = positive.
namespace {
constexpr uint8_t EvenBits = 0x55;
}

uint8_t LinearToALaw(int16_t sample)
{
    // The standard works on 13 bits: 4096 steps each side of zero, decision
    // values at even steps within the first two segments, the step doubling
    // with every segment after that.
    int v = sample >> 3;  // -4096 .. 4095, floor
    uint8_t sign = 0x80;
    if (v < 0) {
        sign = 0;
        v = -v - 1;  // 0 .. 4095, mirroring the positive decision values
    }
    int segment = 0;
    while (segment < 7 && v >= (32 << segment))
        ++segment;
    int step = segment < 2 ? 1 : segment;  // shift: step 2 in segments 0 and 1
    int quant = (v >> step) & 0x0F;
    return static_cast<uint8_t>((sign | (segment << 4) | quant) ^ EvenBits);
}

int16_t ALawToLinear(uint8_t code)
{
    code ^= EvenBits;
    int segment = (code >> 4) & 0x07;
    int quant = code & 0x0F;
    // Middle of the quantisation interval, 13-bit scale.
    int v;
    if (segment == 0)
        v = 2 * quant + 1;
    else
        v = ((32 + 2 * quant + 1) << (segment - 1));
    v <<= 3;
    return static_cast<int16_t>((code & 0x80) ? v : -v);
}

}  // namespace zlsim
