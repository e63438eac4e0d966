#include "sim/LineModel.h"

#include <algorithm>
#include <chrono>

namespace zlsim {
namespace {

const uint8_t Codes[] = {3, 4, 6, 13, 24};

Bytes64 Report(std::initializer_list<uint8_t> bytes)
{
    Bytes64 r{};
    std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), 64), r.begin());
    return r;
}

}  // namespace

LineModel::LineModel(VirtualBox &box, double timeScale) : Box_(box), Scale_(timeScale)
{
    // Responders run under the driver's lock; they take only our own lock,
    // and nothing here calls into the box while holding it.
    Box_.SetResponder(4, [this](const Bytes64 &p) { return OnHookCommand(p, true); });
    Box_.SetResponder(3, [this](const Bytes64 &p) { return OnHookCommand(p, false); });
    Box_.SetResponder(6, [this](const Bytes64 &p) {
        std::lock_guard<std::mutex> lock(Mutex_);
        int n = std::min<int>(p[1], 41);
        Dialled_.assign(p.begin() + 22, p.begin() + 22 + n);
        Tone_ = Tone::Ringback;
        Segment_ = 0;
        ++Changes_;
        Wake_.notify_all();
        return std::vector<Bytes64>{Bytes64{}};
    });
    Box_.SetResponder(13, [this](const Bytes64 &p) {
        std::lock_guard<std::mutex> lock(Mutex_);
        Measuring_ = p[1] != 0;
        Segment_ = 0;
        ++Changes_;
        Wake_.notify_all();
        return std::vector<Bytes64>{Bytes64{}};
    });
    Box_.SetResponder(24, [this](const Bytes64 &) {
        std::lock_guard<std::mutex> lock(Mutex_);
        Bytes64 r{};
        r[0] = 8;
        for (int i = 0; i < 4; ++i)
            r[1 + i] = static_cast<uint8_t>(Flags_ >> (8 * i));
        return std::vector<Bytes64>{r};
    });
    Box_.SetSoundInSource([this](uint8_t *alaw, size_t n) { Audio_.Read(alaw, n); });
    Thread_ = std::thread([this] { Ticker(); });
}

LineModel::~LineModel()
{
    Box_.SetSoundInSource(nullptr);
    for (uint8_t c : Codes)
        Box_.SetResponder(c, nullptr);
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        Stop_ = true;
        ++Changes_;
        Wake_.notify_all();
    }
    Thread_.join();
}

std::vector<Bytes64> LineModel::OnHookCommand(const Bytes64 &p, bool up)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    OffHook_ = up;
    if (up && Ringing_) {
        Audio_.StartFarEnd();  // the caller speaks once answered
        CallUp_ = true;
    }
    Ringing_ = false;
    if (!up) {
        Tone_ = Tone::None;
        Measuring_ = false;
        CallUp_ = false;
    }
    ++Changes_;
        Wake_.notify_all();
    // The line status before the plain reply, so that the hook state has
    // settled when the command returns; a pick-up by the PC is mode 1.
    (void)p;
    return {up ? Report({208, 1, 1, 1}) : Report({208, 1, 0, 0}), Bytes64{}};
}

void LineModel::Ticker()
{
    std::unique_lock<std::mutex> lock(Mutex_);
    while (!Stop_) {
        if (!Measuring_ || !OffHook_ || Tone_ == Tone::None) {
            Wake_.wait(lock);
            continue;
        }
        const bool on = Segment_ % 2 == 0;
        const uint16_t length = Tone_ == Tone::Busy ? 35 : on ? 100 : 400;  // 10 ms units
        ++Segment_;
        lock.unlock();
        Box_.SendReport({5, static_cast<uint8_t>(on ? 1 : 0), static_cast<uint8_t>(length & 0xFF),
                         static_cast<uint8_t>(length >> 8)});
        lock.lock();
        const unsigned seen = Changes_;
        // The report marks the end of its segment; the next one follows
        // after the next segment's length.
        const uint16_t next = Tone_ == Tone::Busy ? 35 : on ? 400 : 100;
        auto wait = std::chrono::duration<double, std::milli>(next * 10 * Scale_);
        Wake_.wait_for(lock, std::chrono::duration_cast<std::chrono::microseconds>(wait),
                       [&] { return Stop_ || Changes_ != seen; });
    }
}

void LineModel::Ring(const std::string &number, CallerIdType type)
{
    std::string time;
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        time = Time_;
    }
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        Ringing_ = true;
    }
    Box_.SendReport({33});
    Box_.SendReport(CallerIdReport(static_cast<uint8_t>(type), CallerIdMessage(type, number, time)));
}

void LineModel::RingWithData(const std::string &number, CallerIdType type,
                             const std::array<uint8_t, 5> &data)
{
    std::string time;
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        time = Time_;
    }
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        Ringing_ = true;
    }
    Box_.SendReport({22, data[0], data[1], data[2], data[3], data[4]});
    Box_.SendReport(CallerIdReport(static_cast<uint8_t>(type), CallerIdMessage(type, number, time)));
}

void LineModel::CallerIdFailed() { Box_.SendReport({4, 2}); }

void LineModel::PressKeys(const std::string &keys, bool inThrees)
{
    Audio_.QueueKeys(keys);
    // The box reports a key once it has heard its tone: 100 ms of tone and
    // 100 ms of silence a key, in line time.
    auto heard = [&](size_t i) { return static_cast<int>((i * 200 + 100) * Scale_); };
    size_t i = 0;
    if (inThrees)
        for (; i + 3 <= keys.size(); i += 3)
            Box_.SendReport({209, KeyCode(keys[i]), KeyCode(keys[i + 1]), KeyCode(keys[i + 2])},
                            heard(i + 2));
    for (; i < keys.size(); ++i)
        Box_.SendReport({7, KeyCode(keys[i])}, heard(i));
    // While it streams, the box may also put each key into a frame.
    for (char k : keys)
        Box_.SendInBand(0, KeyCode(k));
}

void LineModel::Answer()
{
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        Tone_ = Tone::None;
        CallUp_ = OffHook_;
    }
    Audio_.StartFarEnd();
    Box_.SendReport({25});
}

void LineModel::Busy()
{
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        Tone_ = Tone::Busy;
        Segment_ = 0;
        ++Changes_;
        Wake_.notify_all();
    }
    Box_.SendInBand(0x02, 0);
}

void LineModel::Release()
{
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        Ringing_ = false;  // a caller who gives up before the answer
        OffHook_ = false;
        Tone_ = Tone::None;
        Measuring_ = false;
        CallUp_ = false;
    }
    Box_.SendReport({208, 3, 0x01});
    Box_.SendInBand(0x04, 0);
}

bool LineModel::LoadFarEnd(const std::string &path, std::string *error)
{
    if (!Audio_.LoadFarEnd(path, error))
        return false;
    std::lock_guard<std::mutex> lock(Mutex_);
    if (CallUp_)
        Audio_.StartFarEnd();
    return true;
}

void LineModel::SpeakLive(const uint8_t *alaw, size_t count)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    if (CallUp_)
        Audio_.SpeakLive(alaw, count);
}

void LineModel::PhonePickUp()
{
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        OffHook_ = true;
    }
    Box_.SendReport({208, 1, 1, 2});
    Box_.SendInBand(0x08, 0);
}

void LineModel::PhonePutDown()
{
    Box_.SendReport({208, 1, 2});
    Box_.SendInBand(0x10, 0);
}

void LineModel::SetFlags(uint32_t flags)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    Flags_ = flags;
}

void LineModel::SetTime(const std::string &mmddhhmm)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    Time_ = mmddhhmm;
    Time_.resize(8, '0');
}

bool LineModel::OffHook() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return OffHook_;
}

bool LineModel::Ringing() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return Ringing_;
}

bool LineModel::CallUp() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return CallUp_;
}

bool LineModel::Measuring() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return Measuring_;
}

std::vector<uint8_t> LineModel::LastDialCodes() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return Dialled_;
}

std::string LineModel::LastDialled() const
{
    std::string s;
    for (uint8_t c : LastDialCodes())
        s += KeyChar(c);
    return s;
}

std::vector<uint8_t> LineModel::CallerIdMessage(CallerIdType type, const std::string &number,
                                                const std::string &time, bool numberFirst,
                                                bool marker)
{
    std::string t = time;
    t.resize(8, '0');
    std::vector<uint8_t> m;
    m.reserve(t.size() + number.size() + 4);
    switch (type) {
    case CallerIdType::Sdmf:
        m.assign(t.begin(), t.end());
        m.insert(m.end(), number.begin(), number.end());
        break;
    case CallerIdType::Mdmf: {
        auto param = [&](uint8_t kind, const std::string &data) {
            m.push_back(kind);
            m.push_back(static_cast<uint8_t>(data.size()));
            m.insert(m.end(), data.begin(), data.end());
        };
        if (numberFirst) {
            param(2, number);
            param(1, t);
        } else {
            param(1, t);
            param(2, number);
        }
        break;
    }
    case CallerIdType::Digits:
        // The marker's form counts two bytes more than its digits: the
        // marker and a closing byte.
        if (marker)
            m.push_back(0xFF);
        m.insert(m.end(), number.begin(), number.end());
        if (marker)
            m.push_back(0x0F);
        break;
    }
    return m;
}

Bytes64 LineModel::CallerIdReport(uint8_t type, const std::vector<uint8_t> &message, int length)
{
    Bytes64 r{};
    r[0] = 4;
    r[1] = 1;
    r[2] = type;
    r[3] = static_cast<uint8_t>(length < 0 ? message.size() : length);
    std::copy_n(message.begin(), std::min<size_t>(message.size(), 60), r.begin() + 4);
    return r;
}

uint8_t LineModel::KeyCode(char key)
{
    if (key >= '1' && key <= '9')
        return static_cast<uint8_t>(key - '0');
    switch (key) {
    case '0': return 10;
    case '*': return 11;
    case '#': return 12;
    default: break;
    }
    if (key >= 'A' && key <= 'L')
        return static_cast<uint8_t>(13 + key - 'A');
    if (key >= 'a' && key <= 'l')
        return static_cast<uint8_t>(13 + key - 'a');
    return 0;
}

char LineModel::KeyChar(uint8_t code)
{
    static const char Chars[] = "?1234567890*#ABCDEFGHIJKL";
    return code < sizeof Chars - 1 ? Chars[code] : '?';
}

}  // namespace zlsim
