// Frames between the served driver's client (the library) and its server.
//
// Every frame is a 16-byte header and a payload, integers little-endian:
//   0  u32  payload size
//   4  u8   operation (requests 1..10; a reply carries the request's | 0x80)
//   5  u8   0x5A
//   6  u16  lane: the client thread that asks; the server runs each lane's
//           requests on a thread of its own, so a blocked read holds only it
//   8  u32  request id, echoed by the reply
//   12 u32  handle (Line: the box index)
// Every reply payload starts with an i32 result (1 success, 0 failure).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zplr::platform::wire {

constexpr size_t HeaderSize = 16;
constexpr uint8_t Marker = 0x5A;
constexpr uint8_t ReplyBit = 0x80;
constexpr uint32_t Version = 1;
constexpr uint32_t MaxTransfer = 65536;  // one read or write
constexpr uint32_t MaxControl = 4096;    // control input or output
constexpr uint32_t MaxPath = 1024;
constexpr uint32_t MaxToken = 64;
constexpr uint32_t MaxText = 4096;       // line commands and their answers
constexpr uint32_t MaxBlock = 16;        // block a start request points to
constexpr uint32_t MaxPayload = MaxTransfer + 8;
constexpr uint16_t MaxLanes = 256;

enum Op : uint8_t {
    Hello = 1,    // u32 version, token bytes        -> result
    Enum = 2,     // guid (16), u32 member           -> result, i32 enum result, u32 needed, path
    Open = 3,     // path bytes                      -> result; handle in the header
    Read = 4,     // u32 length                      -> result, data
    Write = 5,    // data                            -> result, u32 written
    Control = 6,  // u32 code, u32 out length, input -> result, output
    Cancel = 7,   // -                               -> result
    Close = 8,    // -                               -> result
    Line = 9,     // text of a line command          -> result, text
    Ping = 10,    // -                               -> result; answered at once,
                  //   also while the client's transfers are blocked
    // A start request: its input holds the address of a block, which means
    // nothing to the server, so the block's bytes and the client's pointer
    // width (4 or 8) go with it.
    ControlBlock = 11,  // u32 code, u32 out length, u8 width, u8 block size, block, input
                        //                           -> result, output
};

// A hello refused: the reply may carry the reason as text.
constexpr uint32_t MaxReason = 256;

struct Header {
    uint32_t Size = 0;
    uint8_t Op = 0;
    uint16_t Lane = 0;
    uint32_t Id = 0;
    uint32_t Handle = 0;
};

void Put32(uint8_t *p, uint32_t v);
uint32_t Get32(const uint8_t *p);

void EncodeHeader(const Header &h, uint8_t *out);

// Reads a header and checks what can be checked without the payload: the
// marker, a known operation in the expected direction, the lane and the
// payload size for that operation. Returns null when good, else the fault.
const char *DecodeHeader(const uint8_t *in, Header &h, bool reply);

// Checks a request's payload against its operation.
const char *CheckRequest(const Header &h, const uint8_t *payload);

// Checks a reply's payload against its request: `op` and the size asked
// (Read: the length; Control: the output length).
const char *CheckReply(const Header &h, const uint8_t *payload, uint8_t op, uint32_t asked);

const char *OpName(uint8_t op);

}  // namespace zplr::platform::wire
