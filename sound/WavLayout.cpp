#include "sound/WavLayout.h"

#include <cstring>

namespace zplr::sound {
namespace {
void Put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t *p, uint32_t v)
{
    Put16(p, static_cast<uint16_t>(v));
    Put16(p + 2, static_cast<uint16_t>(v >> 16));
}
}  // namespace

void MakeWavHeader(uint8_t (&out)[WavHeaderSize], uint32_t riffSize, uint32_t dataSize)
{
    std::memset(out, 0, sizeof out);
    std::memcpy(out, "RIFF", 4);
    Put32(out + 4, riffSize);
    std::memcpy(out + 8, "WAVEfmt ", 8);
    Put32(out + 16, 20);
    Put16(out + 20, 6);      // A-law
    Put16(out + 22, 1);      // mono
    Put32(out + 24, 8000);   // samples a second
    Put32(out + 28, 8000);   // bytes a second
    Put16(out + 32, 1);      // block align
    Put16(out + 34, 8);      // bits a sample
    // 36..39: an extra format size of 0 and two bytes of nothing
    std::memcpy(out + 40, "data", 4);
    Put32(out + 44, dataSize);
}

}  // namespace zplr::sound
