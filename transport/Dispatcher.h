// Decoding of the box's 64-byte reports into the slot.
#pragma once

#include <cstdint>

#include "transport/DeviceSlot.h"

namespace zplr::transport {

// Handles one report completely. An echo goes to the slot's EchoBuffer and
// to `echo`, or when that is null to the EchoReply of the object that
// started the session, if it still exists. The caller-ID acknowledgement is
// left to the command writer (AckPending).
void Dispatch(DeviceSlot &slot, const uint8_t (&report)[PacketSize], uint8_t *echo);

// Decodes a three-byte line-status record into DeviceStatus and PlayError.
void ProcStatus(DeviceSlot &slot, const uint8_t *record);

// Ring pushes; safe against a concurrent push from another producer.
void PushKey(DeviceSlot &slot, uint8_t key);
void PushTone(DeviceSlot &slot, uint16_t value);

// Ring reads for the consumer side: false when empty.
bool PopKey(DeviceSlot &slot, uint8_t &key);
bool PopTone(DeviceSlot &slot, uint16_t &value);

}  // namespace zplr::transport
