// The identity records, flash and test echo of a virtual box.
//
//   zlsim::RecordModel records(driver.Box(0));
//   records.SetTemperature(41);
//
// The customer ID, module number, manufacturer serial number and adapter
// characteristics are kept as the box keeps them, enciphered under the box
// key; the box itself never deciphers them. A new customer-ID record
// (command 47) is stored as it comes. The defaults are those of a box as
// shipped, customer ID "DEMO00001".
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "VirtualBox.h"

namespace zlsim {

using Record16 = std::array<uint8_t, 16>;

class RecordModel {
public:
    enum class Record { CustomerId, ModuleNumber, ManuSerial, AdaptChar, StmDeviceId };

    explicit RecordModel(VirtualBox &box);
    ~RecordModel();
    RecordModel(const RecordModel &) = delete;
    RecordModel &operator=(const RecordModel &) = delete;

    // The 16 bytes as the box keeps them (enciphered, but for the STM32 ID).
    void SetRecord(Record which, const Record16 &kept);
    Record16 Kept(Record which) const;

    void SetType(uint8_t type);
    void SetWritingCounter(uint8_t count);
    void SetTemperature(uint8_t reading);
    void SetHspInfo(const std::array<uint8_t, 11> &info);
    void SetSum(const std::array<uint8_t, 5> &sum);
    void SetAdc01(uint16_t value);
    void SetAdcValues(const std::array<uint16_t, 3> &values);

    // Outcome byte of report 32 (1 stored; 0 and 2 refused: nothing stored).
    void SetModifyOutcome(uint8_t outcome);
    // Status byte of the flash-write replies (reports 10 and 19).
    void SetFlashStatus(uint8_t status);

    std::array<uint8_t, 240> Flash() const;
    std::array<uint8_t, 18> DeviceNumber() const;
    uint8_t KVer() const;
    bool FsOpen() const;

    // The test echo: command `code` is answered with report `report` (248 or
    // 251) carrying the packet's bytes 1 to 63. Codes 248 and 251 echo as
    // themselves from the start.
    void SetEcho(uint8_t code, uint8_t report);

private:
    std::vector<Bytes64> Answer(const Bytes64 &p);
    Record16 &Slot(Record which);
    template <class T> void Store(T &field, const T &value)
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        field = value;
    }

    VirtualBox &Box_;
    mutable std::mutex Mutex_;
    std::array<Record16, 5> Records_;
    uint8_t Type_ = 3, Counter_ = 0, Temperature_ = 38, KVer_ = 0, Outcome_ = 1, FlashStatus_ = 1;
    bool FsOpen_ = false;
    std::array<uint8_t, 11> Hsp_{};
    std::array<uint8_t, 5> Sum_{};
    uint16_t Adc01_ = 0x0200;
    std::array<uint16_t, 3> Adc_{0x0100, 0x0200, 0x0300};
    std::array<uint8_t, 240> Flash_{};
    std::array<uint8_t, 18> DeviceNumber_{};
    std::array<uint8_t, 256> Echo_{};  // report code per command code, 0 none
};

}  // namespace zlsim
