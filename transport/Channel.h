// The command channel: one 64-byte packet in flight per slot.
#pragma once

#include <cstdint>

#include "transport/DeviceSlot.h"

namespace zplr::transport {

// Reply-wait limits, in 100 ms polls.
constexpr int LimitShort = 30;
constexpr int LimitLong = 100;
constexpr int LimitDial = 200;

// A command packet with every undefined byte zero.
struct Packet {
    uint8_t Bytes[PacketSize] = {};
    explicit Packet(uint8_t code) { Bytes[0] = code; }
    uint8_t &operator[](int i) { return Bytes[i]; }
};

// Hands a packet to the writer: 1, -2 writer not running, -3 previous reply
// still awaited or the sound-in thread did not pause. `ticks` is the poll
// counter of the wait (the slot's WaitTicks for application calls).
int HandOver(DeviceSlot &slot, const uint8_t *packet, std::atomic<int> &ticks);

// The reply wait for the packet just handed over: 1 when its reply came
// within `limit` polls of 100 ms; -3 when it did not, or can no longer come
// (its write failed, the connection was lost, the session is ending).
int AwaitReply(DeviceSlot &slot, int limit);

// Numbers a packet about to go out, marks it outstanding and sets
// AwaitingReply; returns its number.
uint32_t NumberPacket(DeviceSlot &slot);

// The unnumbered caller-ID acknowledgement was not written: clears
// AwaitingReply unless a numbered packet still awaits its reply.
void DropAck(DeviceSlot &slot);

// A report came in on the report thread's current connection: credits the
// outstanding packet, if its reply can still come, and clears AwaitingReply;
// the caller notifies the gate.
void CreditReply(DeviceSlot &slot);

// A whole command: -1 Closed, hand-over result below 1, else AwaitReply.
int SendCommand(DeviceSlot &slot, const Packet &packet, int limit);

// The byte an int argument is sent as.
inline uint8_t Low(int v) { return static_cast<uint8_t>(v & 0xFF); }

// A command whose only argument is byte 1.
inline int SendByte(DeviceSlot &s, uint8_t code, uint8_t arg, int limit)
{
    Packet p(code);
    p[1] = arg;
    return SendCommand(s, p, limit);
}

}  // namespace zplr::transport
