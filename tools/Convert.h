// Sound files in formats the library does not take: real only when zlbox
// was built with libsndfile and libsoxr (CanConvert()).
#pragma once

#include <string>

namespace zlbox {

bool CanConvert();

// Any file libsndfile reads, mixed to mono, resampled to 8 kHz and A-law
// encoded into `out` in the library's layout. False with a reason.
bool ConvertToALaw8k(const std::string &in, const std::string &out, std::string &why);

// A finished recording as 16-bit FLAC (`out` ends in .flac) or 16-bit PCM WAV.
bool ConvertRecording(const std::string &in, const std::string &out, std::string &why);

}  // namespace zlbox
