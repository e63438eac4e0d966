#include "AudioCheck.h"

#include <sndfile.h>
#include <spandsp.h>

#include <algorithm>

#include "sim/ALaw.h"

namespace zplr::test {
namespace {

std::string EncodingName(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_ALAW: return "alaw";
    case SF_FORMAT_ULAW: return "ulaw";
    case SF_FORMAT_PCM_U8: return "pcm8";
    case SF_FORMAT_PCM_16: return "pcm16";
    case SF_FORMAT_FLOAT: return "float";
    default: return "other";
    }
}

void CollectKeys(void *user, const char *digits, int len) { static_cast<std::string *>(user)->append(digits, len); }

}  // namespace

WavInfo ReadWavWithSndfile(const std::string &path)
{
    WavInfo w;
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        w.Error = sf_strerror(nullptr);
        return w;
    }
    w.Container = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV ? "wav" : "other";
    w.Encoding = EncodingName(info.format);
    w.Rate = info.samplerate;
    w.Channels = info.channels;
    w.Frames = info.frames;
    w.Samples.resize(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    sf_count_t got = sf_readf_short(f, w.Samples.data(), info.frames);
    w.Samples.resize(static_cast<size_t>(got) * static_cast<size_t>(info.channels));
    w.Ok = got == info.frames;
    if (!w.Ok)
        w.Error = "read " + std::to_string(got) + " of " + std::to_string(info.frames) + " frames";
    sf_close(f);
    return w;
}

bool WriteWavWithSndfile(const std::string &path, const std::string &encoding, int rate, int channels,
                         const std::vector<int16_t> &samples)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | (encoding == "alaw"   ? SF_FORMAT_ALAW
                                   : encoding == "ulaw" ? SF_FORMAT_ULAW
                                                        : SF_FORMAT_PCM_16);
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f)
        return false;
    const sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
    bool ok = sf_writef_short(f, samples.data(), frames) == frames;
    return sf_close(f) == 0 && ok;
}

std::string FindDtmfKeys(const int16_t *pcm, size_t n)
{
    std::string keys;
    dtmf_rx_state_t *rx = dtmf_rx_init(nullptr, CollectKeys, &keys);
    // dtmf_rx takes an int count and a non-const buffer.
    std::vector<int16_t> chunk;
    for (size_t at = 0; at < n; at += 8000) {
        chunk.assign(pcm + at, pcm + std::min(n, at + 8000));
        dtmf_rx(rx, chunk.data(), static_cast<int>(chunk.size()));
    }
    dtmf_rx_free(rx);
    return keys;
}

std::string FindDtmfKeys(const uint8_t *alaw, size_t n)
{
    std::vector<int16_t> pcm = DecodeALaw(alaw, n);
    return FindDtmfKeys(pcm.data(), pcm.size());
}

std::vector<int16_t> DecodeALaw(const uint8_t *alaw, size_t n)
{
    std::vector<int16_t> pcm(n);
    for (size_t i = 0; i < n; ++i)
        pcm[i] = zlsim::ALawToLinear(alaw[i]);
    return pcm;
}

}  // namespace zplr::test
