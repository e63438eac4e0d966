// Audio as users' tools see it: libsndfile reads WAV files, spandsp's DTMF
// receiver hears keys. Native builds only; test files
// that use these end in AudioCheckTest.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zplr::test {

struct WavInfo {
    bool Ok = false;
    std::string Error;      // libsndfile's complaint when not Ok
    std::string Container;  // "wav", or "other"
    std::string Encoding;   // "alaw", "ulaw", "pcm8", "pcm16", "float", or "other"
    int Rate = 0;
    int Channels = 0;
    int64_t Frames = 0;
    std::vector<int16_t> Samples;  // decoded by libsndfile, channels interleaved
};

WavInfo ReadWavWithSndfile(const std::string &path);

// Writes `samples` as a WAV file of the given encoding ("alaw", "ulaw",
// "pcm16"); false if libsndfile cannot.
bool WriteWavWithSndfile(const std::string &path, const std::string &encoding, int rate, int channels,
                         const std::vector<int16_t> &samples);

// The keys that spandsp's DTMF receiver finds, in order.
std::string FindDtmfKeys(const int16_t *pcm, size_t n);
std::string FindDtmfKeys(const uint8_t *alaw, size_t n);

std::vector<int16_t> DecodeALaw(const uint8_t *alaw, size_t n);

}  // namespace zplr::test
