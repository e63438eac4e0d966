#include "sim/LineAudio.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>

#include "sim/ALaw.h"

namespace zlsim {
namespace {

constexpr double Pi = 3.14159265358979323846;

// A sine at +3.14 dBm0 just reaches full scale (A-law's overload point).
double PeakOfDbm0(double dbm0) { return 32768.0 * std::pow(10.0, (dbm0 - 3.14) / 20.0); }

constexpr double KeyDbm0 = -10.0;

uint16_t Get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t *p) { return Get16(p) | static_cast<uint32_t>(Get16(p + 2)) << 16; }

std::string FormatName(unsigned tag)
{
    switch (tag) {
    case 1: return "PCM";
    case 2: return "MS ADPCM";
    case 3: return "IEEE float";
    case 6: return "A-law";
    case 7: return "mu-law";
    case 0x11: return "IMA ADPCM";
    case 0x31: return "GSM 6.10";
    case 0x55: return "MPEG layer 3";
    case 0xFFFE: return "extensible";
    default: return "unknown";
    }
}

bool Fail(std::string *error, const std::string &path, const std::string &why)
{
    if (error)
        *error = path + ": " + why;
    return false;
}

// Row and column frequency of a key, false for anything else.
bool KeyFrequencies(char key, double &low, double &high)
{
    static const char Keys[4][5] = {"123A", "456B", "789C", "*0#D"};
    static const double Rows[4] = {697, 770, 852, 941};
    static const double Cols[4] = {1209, 1336, 1477, 1633};
    if (key >= 'a' && key <= 'd')
        key = static_cast<char>(key - 'a' + 'A');
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (Keys[r][c] == key) {
                low = Rows[r];
                high = Cols[c];
                return true;
            }
    return false;
}

uint8_t Encode(double v)
{
    v = std::clamp(std::round(v), -32768.0, 32767.0);
    return LinearToALaw(static_cast<int16_t>(v));
}

}  // namespace

bool ReadAlawWav(const std::string &path, std::vector<uint8_t> &samples, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return Fail(error, path, "cannot be opened");
    in.seekg(0, std::ios::end);
    const uint64_t fileSize = static_cast<uint64_t>(in.tellg());
    in.seekg(0);

    uint8_t riff[12];
    if (!in.read(reinterpret_cast<char *>(riff), sizeof riff) || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "WAVE", 4) != 0)
        return Fail(error, path, "not a RIFF WAVE file");

    // The RIFF size is not trusted: unfinished recordings carry placeholders.
    bool haveFormat = false;
    uint64_t pos = 12;
    for (;;) {
        uint8_t head[8];
        if (!in.read(reinterpret_cast<char *>(head), sizeof head))
            return Fail(error, path, haveFormat ? "no data chunk" : "no fmt chunk");
        pos += 8;
        const uint32_t size = Get32(head + 4);
        const uint64_t padded = size + (size & 1u);
        if (std::memcmp(head, "fmt ", 4) == 0) {
            if (size < 16 || pos + size > fileSize)
                return Fail(error, path, "fmt chunk of " + std::to_string(size) + " bytes is malformed");
            uint8_t f[16];
            in.read(reinterpret_cast<char *>(f), sizeof f);
            const unsigned tag = Get16(f), channels = Get16(f + 2), bits = Get16(f + 14);
            const uint32_t rate = Get32(f + 4);
            if (tag != 6 || channels != 1 || rate != 8000 || bits != 8)
                return Fail(error, path,
                            "format " + FormatName(tag) + " (tag " + std::to_string(tag) + "), " +
                                std::to_string(rate) + " Hz, " + std::to_string(channels) +
                                " channel(s), " + std::to_string(bits) +
                                " bits; the line takes A-law (tag 6), 8000 Hz, mono, 8 bits");
            haveFormat = true;
        } else if (std::memcmp(head, "data", 4) == 0) {
            if (!haveFormat)
                return Fail(error, path, "data chunk before the fmt chunk");
            const uint64_t n = std::min<uint64_t>(size, fileSize - pos);
            samples.resize(static_cast<size_t>(n));
            if (n && !in.read(reinterpret_cast<char *>(samples.data()), static_cast<std::streamsize>(n)))
                return Fail(error, path, "cannot be read");
            return true;
        }
        pos += padded;
        if (pos > fileSize)
            return Fail(error, path, "no data chunk");
        in.seekg(static_cast<std::streamoff>(pos));
    }
}

void LineAudio::Read(uint8_t *alaw, size_t count)
{
    if (!alaw)
        return;
    std::lock_guard<std::mutex> lock(Mutex_);
    for (size_t i = 0; i < count; ++i)
        alaw[i] = NextLocked();
    Read_ += count;
}

uint8_t LineAudio::NextLocked()
{
    // The tone runs on in line time beneath keys and voice; so does the
    // live voice, which keys drown.
    double tone = 0;
    if (ToneAmplitude_ > 0) {
        tone = ToneAmplitude_ * std::sin(TonePhase_);
        TonePhase_ = std::fmod(TonePhase_ + ToneStep_, 2 * Pi);
    }
    int live = -1;
    if (!Live_.empty()) {
        live = Live_.front();
        Live_.pop_front();
    }
    if (!Keys_.empty()) {
        const unsigned n = KeySample_;
        uint8_t out = ALawSilence;
        if (n < KeyToneSamples) {
            double low = 0, high = 0;
            KeyFrequencies(Keys_.front(), low, high);
            const double t = static_cast<double>(n) / SampleRate;
            out = Encode(PeakOfDbm0(KeyDbm0) * (std::sin(2 * Pi * low * t) + std::sin(2 * Pi * high * t)));
        }
        if (++KeySample_ == KeyToneSamples + KeyPauseSamples) {
            KeySample_ = 0;
            Keys_.pop_front();
        }
        return out;
    }
    if (FarEndOn_) {
        if (FarEndPos_ < FarEnd_.size()) {
            const uint8_t voice = FarEnd_[FarEndPos_++];
            return live < 0 ? voice : Encode(ALawToLinear(voice) + ALawToLinear(static_cast<uint8_t>(live)));
        }
        FarEndOn_ = false;
    }
    if (live >= 0)
        return Encode(tone + ALawToLinear(static_cast<uint8_t>(live)));
    return ToneAmplitude_ > 0 ? Encode(tone) : ALawSilence;
}

bool LineAudio::SetTone(double hz, double dbm0)
{
    if (!(hz > 0 && hz < SampleRate / 2.0) || !(dbm0 <= 3.14) || !std::isfinite(dbm0))
        return false;
    std::lock_guard<std::mutex> lock(Mutex_);
    ToneStep_ = 2 * Pi * hz / SampleRate;
    ToneAmplitude_ = PeakOfDbm0(dbm0);
    TonePhase_ = 0;
    return true;
}

void LineAudio::SetSilence()
{
    std::lock_guard<std::mutex> lock(Mutex_);
    ToneAmplitude_ = 0;
}

bool LineAudio::LoadFarEnd(const std::string &path, std::string *error)
{
    std::vector<uint8_t> samples;
    if (!ReadAlawWav(path, samples, error))
        return false;
    SetFarEnd(std::move(samples));
    return true;
}

void LineAudio::SetFarEnd(std::vector<uint8_t> alaw)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    FarEnd_ = std::move(alaw);
    FarEndPos_ = 0;
    FarEndOn_ = false;
}

void LineAudio::StartFarEnd()
{
    std::lock_guard<std::mutex> lock(Mutex_);
    FarEndPos_ = 0;
    FarEndOn_ = true;
}

void LineAudio::SpeakLive(const uint8_t *alaw, size_t count)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    if (count >= LiveBacklog) {
        alaw += count - LiveBacklog;
        count = LiveBacklog;
    }
    while (Live_.size() + count > LiveBacklog)
        Live_.pop_front();
    Live_.insert(Live_.end(), alaw, alaw + count);
}

void LineAudio::StopFarEnd()
{
    std::lock_guard<std::mutex> lock(Mutex_);
    FarEndOn_ = false;
}

bool LineAudio::QueueKeys(const std::string &keys)
{
    double low, high;
    for (char k : keys)
        if (!KeyFrequencies(k, low, high))
            return false;
    std::lock_guard<std::mutex> lock(Mutex_);
    Keys_.insert(Keys_.end(), keys.begin(), keys.end());
    return true;
}

uint64_t LineAudio::SamplesRead() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return Read_;
}

size_t LineAudio::FarEndPosition() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return FarEndPos_;
}

bool LineAudio::FarEndSpeaking() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return FarEndOn_ && FarEndPos_ < FarEnd_.size();
}

bool LineAudio::KeysPending() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return !Keys_.empty();
}

}  // namespace zlsim
