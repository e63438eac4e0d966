// G.711 A-law on the 16-bit linear scale: the 13-bit values of the
// standard's segment table shifted left by 3, so the largest code decodes to
// +-32256 and the two smallest to +-8 (0xD5 is +8, the line's "silence").
#pragma once

#include <cstdint>

namespace zlsim {

uint8_t LinearToALaw(int16_t sample);
int16_t ALawToLinear(uint8_t code);

// The code of a quiet line.
constexpr uint8_t ALawSilence = 0xD5;

}  // namespace zlsim
