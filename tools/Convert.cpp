// Sound files in other formats, through libsndfile and libsoxr when the build
// found them; the library itself reads and writes only 8 kHz A-law.
#include "tools/Convert.h"

#ifdef ZLBOX_CONVERT
#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>

#include "sim/ALaw.h"
#include "tools/WavFile.h"
#endif

namespace zlbox {

#ifdef ZLBOX_CONVERT

bool CanConvert() { return true; }

bool ConvertToALaw8k(const std::string &in, const std::string &out, std::string &why)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(in.c_str(), SFM_READ, &info);
    if (!f) {
        why = sf_strerror(nullptr);
        return false;
    }
    soxr_error_t error = nullptr;
    soxr_t soxr = soxr_create(info.samplerate, 8000, 1, &error, nullptr, nullptr, nullptr);
    if (!soxr) {
        sf_close(f);
        why = std::string("cannot resample from ") + std::to_string(info.samplerate) + " Hz: " + error;
        return false;
    }
    const int channels = info.channels;
    const size_t block = 4096;
    std::vector<float> frames(block * channels), mono(block), resampled(block);
    std::vector<uint8_t> alaw;
    auto encode = [&](size_t n) {
        for (size_t i = 0; i < n; ++i) {
            const float v = std::clamp(resampled[i] * 32768.0f, -32768.0f, 32767.0f);
            alaw.push_back(zlsim::LinearToALaw(static_cast<int16_t>(std::lround(v))));
        }
    };
    for (;;) {
        sf_count_t got = sf_readf_float(f, frames.data(), static_cast<sf_count_t>(block));
        got = got > 0 ? got : 0;
        // Mono is the mean of the channels.
        for (sf_count_t i = 0; i < got; ++i) {
            float sum = 0;
            for (int c = 0; c < channels; ++c)
                sum += frames[static_cast<size_t>(i) * channels + c];
            mono[static_cast<size_t>(i)] = sum / channels;
        }
        // No input left: a null input flushes the resampler.
        const float *input = got ? mono.data() : nullptr;
        size_t left = static_cast<size_t>(got);
        for (;;) {
            size_t taken = 0, done = 0;
            error = soxr_process(soxr, input, left, &taken, resampled.data(), resampled.size(), &done);
            if (error)
                break;
            encode(done);
            if (input) {
                input += taken;
                left -= taken;
                if (left == 0 && done < resampled.size())
                    break;
            } else if (done == 0) {
                break;
            }
        }
        if (error || got == 0)
            break;
    }
    soxr_delete(soxr);
    const bool readError = sf_error(f) != SF_ERR_NO_ERROR;
    sf_close(f);
    if (error || readError) {
        why = error ? std::string("resampling failed: ") + error : "read error";
        return false;
    }
    if (!WriteLibraryLayout(out, alaw)) {
        why = "cannot write " + out;
        return false;
    }
    return true;
}

bool ConvertRecording(const std::string &in, const std::string &out, std::string &why)
{
    std::string ext = out.size() >= 5 ? out.substr(out.size() - 5) : "";
    for (char &c : ext)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    const bool flac = ext == ".flac";
    SF_INFO inInfo{};
    SNDFILE *from = sf_open(in.c_str(), SFM_READ, &inInfo);
    if (!from) {
        why = sf_strerror(nullptr);
        return false;
    }
    SF_INFO outInfo{};
    outInfo.samplerate = inInfo.samplerate;
    outInfo.channels = inInfo.channels;
    outInfo.format = (flac ? SF_FORMAT_FLAC : SF_FORMAT_WAV) | SF_FORMAT_PCM_16;
    SNDFILE *to = sf_open(out.c_str(), SFM_WRITE, &outInfo);
    if (!to) {
        why = sf_strerror(nullptr);
        sf_close(from);
        return false;
    }
    std::vector<short> buf(4096 * static_cast<size_t>(inInfo.channels));
    bool ok = true;
    sf_count_t got;
    while ((got = sf_readf_short(from, buf.data(), 4096)) > 0) {
        if (sf_writef_short(to, buf.data(), got) != got) {
            why = sf_strerror(to);
            ok = false;
            break;
        }
    }
    sf_close(from);
    if (sf_close(to) != 0 && ok) {
        why = "cannot complete " + out;
        ok = false;
    }
    return ok;
}

#else

bool CanConvert() { return false; }

bool ConvertToALaw8k(const std::string &, const std::string &, std::string &why)
{
    why = "built without libsndfile and libsoxr";
    return false;
}

bool ConvertRecording(const std::string &, const std::string &, std::string &why)
{
    why = "built without libsndfile";
    return false;
}

#endif

}  // namespace zlbox
