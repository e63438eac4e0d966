#include "sim/RecordModel.h"

#include <algorithm>
#include <cstring>

namespace zlsim {
namespace {

// Command codes the model answers, and the reports they are answered with.
struct Read {
    uint8_t Command, Report;
};
constexpr Read Reads[] = {
    {31, 12}, {30, 13}, {29, 14}, {28, 15}, {54, 36},  // 16-byte records
    {27, 11}, {38, 20}, {55, 37},                      // one byte
    {36, 18}, {48, 34}, {53, 35}, {44, 23},
};
constexpr uint8_t Writes[] = {25, 51, 47, 49, 18};

// The records of a box as shipped, enciphered under the box key.
constexpr Record16 Shipped[4] = {
    {0x86, 0xB2, 0x6E, 0x13, 0xD6, 0x8C, 0x46, 0xA3, 0xF3, 0xD6, 0x0F, 0x83, 0x65, 0x43, 0x53, 0x24},
    {0x56, 0xAD, 0xC3, 0xF7, 0x2F, 0x5E, 0x99, 0x42, 0xD0, 0xDB, 0x05, 0x0B, 0x2A, 0x1A, 0xB5, 0x97},
    {0x93, 0x4F, 0xCE, 0x16, 0xCA, 0xC8, 0xA9, 0xD7, 0x3A, 0x2E, 0x00, 0x9A, 0x08, 0xC2, 0xFF, 0x53},
    {0xEE, 0xB8, 0x7C, 0x77, 0x43, 0x34, 0x7D, 0x61, 0xC0, 0xEF, 0x03, 0x3D, 0xDF, 0x9A, 0x31, 0x23},
};
constexpr Record16 StmId = {0x33, 0x00, 0x4A, 0x00, 0x12, 0x51, 0x34, 0x30,
                            0x39, 0x38, 0x37, 0x32, 0x00, 0x00, 0x00, 0x00};

Bytes64 Reply(uint8_t code) { return Bytes64{code}; }

}  // namespace

RecordModel::RecordModel(VirtualBox &box) : Box_(box)
{
    std::copy(std::begin(Shipped), std::end(Shipped), Records_.begin());
    Records_[4] = StmId;
    const uint8_t hsp[] = "HSP-2.1-600";
    std::copy_n(hsp, 11, Hsp_.begin());
    Sum_ = {0x12, 0x34, 0x56, 0x78, 0x9A};
    Echo_[248] = 248;
    Echo_[251] = 251;
    auto answer = [this](const Bytes64 &p) { return Answer(p); };
    for (const Read &r : Reads)
        Box_.SetResponder(r.Command, answer);
    for (uint8_t c : Writes)
        Box_.SetResponder(c, answer);
    Box_.SetResponder(248, answer);
    Box_.SetResponder(251, answer);
}

RecordModel::~RecordModel()
{
    for (const Read &r : Reads)
        Box_.SetResponder(r.Command, nullptr);
    for (uint8_t c : Writes)
        Box_.SetResponder(c, nullptr);
    for (int c = 0; c < 256; ++c)
        if (Echo_[c])
            Box_.SetResponder(static_cast<uint8_t>(c), nullptr);
}

Record16 &RecordModel::Slot(Record which) { return Records_[static_cast<int>(which)]; }

void RecordModel::SetRecord(Record which, const Record16 &kept)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    Slot(which) = kept;
}

Record16 RecordModel::Kept(Record which) const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return Records_[static_cast<int>(which)];
}

void RecordModel::SetType(uint8_t v) { Store(Type_, v); }
void RecordModel::SetWritingCounter(uint8_t v) { Store(Counter_, v); }
void RecordModel::SetTemperature(uint8_t v) { Store(Temperature_, v); }
void RecordModel::SetHspInfo(const std::array<uint8_t, 11> &v) { Store(Hsp_, v); }
void RecordModel::SetSum(const std::array<uint8_t, 5> &v) { Store(Sum_, v); }
void RecordModel::SetAdc01(uint16_t v) { Store(Adc01_, v); }
void RecordModel::SetAdcValues(const std::array<uint16_t, 3> &v) { Store(Adc_, v); }
void RecordModel::SetModifyOutcome(uint8_t v) { Store(Outcome_, v); }
void RecordModel::SetFlashStatus(uint8_t v) { Store(FlashStatus_, v); }

std::array<uint8_t, 240> RecordModel::Flash() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return Flash_;
}

std::array<uint8_t, 18> RecordModel::DeviceNumber() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return DeviceNumber_;
}

uint8_t RecordModel::KVer() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return KVer_;
}

bool RecordModel::FsOpen() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return FsOpen_;
}

void RecordModel::SetEcho(uint8_t code, uint8_t report)
{
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        Echo_[code] = report;
    }
    Box_.SetResponder(code, [this](const Bytes64 &p) { return Answer(p); });
}

// Runs under the driver's lock: takes only our own.
std::vector<Bytes64> RecordModel::Answer(const Bytes64 &p)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    const uint8_t code = p[0];
    if (Echo_[code]) {
        Bytes64 r = p;
        r[0] = Echo_[code];
        return {r};
    }
    for (const Read &read : Reads) {
        if (read.Command != code)
            continue;
        Bytes64 r = Reply(read.Report);
        switch (code) {
        case 31: case 30: case 29: case 28: case 54: {
            const int which = code == 54 ? 4 : 31 - code;
            std::copy(Records_[which].begin(), Records_[which].end(), r.begin() + 1);
            break;
        }
        case 27: r[1] = Type_; break;
        case 38: r[1] = Counter_; break;
        case 55: r[1] = Temperature_; break;
        case 36: std::copy(Hsp_.begin(), Hsp_.end(), r.begin() + 1); break;
        case 48: std::copy(Sum_.begin(), Sum_.end(), r.begin() + 1); break;
        case 44:
            r[1] = static_cast<uint8_t>(Adc01_);
            r[2] = static_cast<uint8_t>(Adc01_ >> 8);
            break;
        case 53:
            for (int k = 0; k < 3; ++k) {
                r[1 + 2 * k] = static_cast<uint8_t>(Adc_[k]);
                r[2 + 2 * k] = static_cast<uint8_t>(Adc_[k] >> 8);
            }
            break;
        }
        return {r};
    }
    switch (code) {
    case 25:  // one 60-byte chunk of the flash area
        if (p[1] < 4)
            std::copy_n(p.begin() + 4, 60, Flash_.begin() + 60 * p[1]);
        return {Bytes64{10, FlashStatus_}};
    case 51:
        std::copy_n(p.begin() + 1, 18, DeviceNumber_.begin());
        return {Bytes64{19, FlashStatus_}};
    case 47:
        if (Outcome_ == 1)
            std::copy_n(p.begin() + 1, 16, Records_[0].begin());
        return {Bytes64{32, Outcome_}};
    case 49: KVer_ = p[1]; break;
    case 18: FsOpen_ = p[1] == 0; break;
    }
    return {Reply(0)};
}

}  // namespace zlsim
