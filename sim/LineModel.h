// The telephone line behind a virtual box: hook state, incoming calls with
// caller ID, key presses, dialling, call-progress tones and the far end.
//
//   zlsim::LineModel line(driver.Box(0));
//   line.Ring("5551234", zlsim::CallerIdType::Mdmf);
//   ...                       // the application picks up
//   line.PressKeys("12#");
//
// Measurements (report 5) model one tone segment each: first value 1 for
// tone, 0 for silence; second value the segment's length in 10 ms. They flow
// while 450 Hz reporting is on (command 13 with a mode other than 0) and the
// line is off hook, in ringback cadence (1 s / 4 s) after a dial and in busy
// cadence (0.35 s / 0.35 s) after Busy().
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LineAudio.h"
#include "VirtualBox.h"

namespace zlsim {

enum class CallerIdType : uint8_t { Sdmf = 0x04, Mdmf = 0x80, Digits = 0x05 };

class LineModel {
public:
    // timeScale shortens the tone cadence as the library's clock is shortened.
    explicit LineModel(VirtualBox &box, double timeScale = 1.0);
    ~LineModel();
    LineModel(const LineModel &) = delete;
    LineModel &operator=(const LineModel &) = delete;

    // An incoming call: report 33, then the caller-ID message.
    void Ring(const std::string &number, CallerIdType type = CallerIdType::Sdmf);
    // The same with report 22 and its five data bytes.
    void RingWithData(const std::string &number, CallerIdType type,
                      const std::array<uint8_t, 5> &data);
    // The box could not receive the caller ID.
    void CallerIdFailed();

    // Key tones on the line: in its audio, and one report 7 per key, or
    // report 209 for each full group of three.
    void PressKeys(const std::string &keys, bool inThrees = false);

    // The far end of an outgoing call. It starts speaking when it answers;
    // the caller of an incoming call, when the PC picks up.
    void Answer();
    void Busy();
    // The line was released from outside (the exchange or the far end).
    void Release();

    // The far end's voice: heard at once while a call is up, else from the
    // answer on.
    bool LoadFarEnd(const std::string &path, std::string *error);
    // A live far end (a microphone): reaches the line only while a call is
    // up, as a caller is heard only once answered.
    void SpeakLive(const uint8_t *alaw, size_t count);

    // The telephone set on the box.
    void PhonePickUp();
    void PhonePutDown();

    // Answer of command 24.
    void SetFlags(uint32_t flags);

    // Date and time in caller-ID messages, "MMDDhhmm".
    void SetTime(const std::string &mmddhhmm);

    // The line's audio, streamed by the box while it records: load the far
    // end's voice here, or set a tone.
    LineAudio &Audio() { return Audio_; }

    bool OffHook() const;
    // An incoming call not yet picked up.
    bool Ringing() const;
    bool CallUp() const;
    bool Measuring() const;
    std::string LastDialled() const;
    std::vector<uint8_t> LastDialCodes() const;

    // Builders, also for tests that shape odd messages themselves.
    static std::vector<uint8_t> CallerIdMessage(CallerIdType type, const std::string &number,
                                                const std::string &time, bool numberFirst = false,
                                                bool marker = true);
    // Report 4 with sub-code 1; length < 0 takes the message size.
    static Bytes64 CallerIdReport(uint8_t type, const std::vector<uint8_t> &message,
                                  int length = -1);
    // Key codes as the box reports them, the dial codes of the keys.
    static uint8_t KeyCode(char key);
    static char KeyChar(uint8_t code);

private:
    enum class Tone { None, Ringback, Busy };
    std::vector<Bytes64> OnHookCommand(const Bytes64 &p, bool up);
    void Ticker();

    VirtualBox &Box_;
    const double Scale_;
    LineAudio Audio_;
    mutable std::mutex Mutex_;
    std::condition_variable Wake_;
    bool Stop_ = false;
    bool OffHook_ = false;
    bool Measuring_ = false;
    bool Ringing_ = false;  // an incoming call not yet picked up
    bool CallUp_ = false;   // answered, either way, and not yet released
    Tone Tone_ = Tone::None;
    unsigned Segment_ = 0;
    unsigned Changes_ = 0;  // wakes the ticker out of a segment
    uint32_t Flags_ = 0;
    std::string Time_ = "01010000";
    std::vector<uint8_t> Dialled_;
    std::thread Thread_;
};

}  // namespace zlsim
