// The one WAV layout of the library: recordings are written in it and
// playback takes every file as it, skipping the header unread.
#pragma once

#include <cstdint>

namespace zplr::sound {

constexpr unsigned WavHeaderSize = 48;

// Sizes that a recording's header carries until the recording completes.
constexpr uint32_t WavPlaceholderRiffSize = 16376;
constexpr uint32_t WavPlaceholderDataSize = 2016;

// 8-bit A-law, mono, 8000 samples a second; fmt chunk of 20 bytes.
void MakeWavHeader(uint8_t (&out)[WavHeaderSize], uint32_t riffSize, uint32_t dataSize);

// The header of a completed recording of `dataSize` audio bytes.
inline void MakeCompletedWavHeader(uint8_t (&out)[WavHeaderSize], uint32_t dataSize)
{
    MakeWavHeader(out, dataSize + 40, dataSize);
}

}  // namespace zplr::sound
