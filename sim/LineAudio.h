// The audio of the telephone line as the box hears it, in line time: 8000
// A-law samples a second, taken by whoever streams it (the box's sound-in
// frames). Thread-safe.
//
//   zlsim::LineAudio audio;
//   std::string error;
//   if (!audio.LoadFarEnd("hello.wav", &error)) ...
//   audio.StartFarEnd();      // the call is answered: the far end speaks
//   audio.QueueKeys("12#");
//   audio.Read(buf, 250);
//
// What comes out, first match wins:
//  - queued keys, as a telephone sends them: per key 100 ms of its two DTMF
//    tones (each about -10 dBm0), then 100 ms of silence. They replace the
//    line audio while they last; the far end's voice pauses meanwhile and
//    resumes where it paused, so nothing of it is lost or skipped;
//  - the far end's voice, once from StartFarEnd to its last sample, mixed
//    with the live voice of SpeakLive;
//  - the tone of SetTone;
//  - silence (0xD5).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace zlsim {

// The samples of an 8 kHz mono A-law WAV file, whatever its header size
// (fmt chunks of 16, 18 or 20 bytes, fact and LIST chunks, padded odd
// chunks). Any other format is refused with an error naming it. A data chunk
// longer than the file (a recording that was never completed) yields the
// samples the file holds.
bool ReadAlawWav(const std::string &path, std::vector<uint8_t> &samples, std::string *error);

class LineAudio {
public:
    static constexpr unsigned SampleRate = 8000;
    static constexpr unsigned KeyToneSamples = 800;    // 100 ms
    static constexpr unsigned KeyPauseSamples = 800;   // 100 ms

    // The next `count` samples of the line.
    void Read(uint8_t *alaw, size_t count);

    // A steady sine (0 < hz < 4000, level in dBm0 up to +3.14, full scale);
    // false, nothing changed, for other values.
    bool SetTone(double hz, double dbm0);
    void SetSilence();

    // The far end's voice from a file (see ReadAlawWav) or from memory. A new
    // voice replaces the old one and waits for StartFarEnd.
    bool LoadFarEnd(const std::string &path, std::string *error);
    void SetFarEnd(std::vector<uint8_t> alaw);
    void StartFarEnd();
    void StopFarEnd();
    // A live far end (a microphone): its samples are mixed into the line as
    // they are read. Live audio must not lag: of a backlog (nobody reads the
    // line) only the newest LiveBacklog samples are kept.
    static constexpr size_t LiveBacklog = 4000;  // 0.5 s
    void SpeakLive(const uint8_t *alaw, size_t count);

    // Keys 0-9 * # A-D (a-d too); false, nothing queued, if any other
    // character is in `keys`.
    bool QueueKeys(const std::string &keys);

    // Samples read so far: the line's time.
    uint64_t SamplesRead() const;
    // Far-end samples sent so far, and whether more are to come.
    size_t FarEndPosition() const;
    bool FarEndSpeaking() const;
    bool KeysPending() const;

private:
    uint8_t NextLocked();

    mutable std::mutex Mutex_;
    uint64_t Read_ = 0;
    double ToneStep_ = 0, ToneAmplitude_ = 0, TonePhase_ = 0;  // amplitude 0: silence
    std::vector<uint8_t> FarEnd_;
    size_t FarEndPos_ = 0;
    bool FarEndOn_ = false;
    std::deque<uint8_t> Live_;
    std::deque<char> Keys_;
    unsigned KeySample_ = 0;  // position within the front key's tone and pause
};

}  // namespace zlsim
