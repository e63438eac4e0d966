#include "platform/Wire.h"

namespace zplr::platform::wire {

void Put32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t Get32(const uint8_t *p)
{
    return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void EncodeHeader(const Header &h, uint8_t *out)
{
    Put32(out, h.Size);
    out[4] = h.Op;
    out[5] = Marker;
    out[6] = static_cast<uint8_t>(h.Lane);
    out[7] = static_cast<uint8_t>(h.Lane >> 8);
    Put32(out + 8, h.Id);
    Put32(out + 12, h.Handle);
}

namespace {
// Largest payload of each request, and of each reply.
uint32_t MaxRequest(uint8_t op)
{
    switch (op) {
    case Hello: return 4 + MaxToken;
    case Enum: return 20;
    case Open: return MaxPath;
    case Read: return 4;
    case Write: return MaxTransfer;
    case Control: return 8 + MaxControl;
    case Cancel:
    case Close:
    case Ping: return 0;
    case Line: return MaxText;
    case ControlBlock: return 10 + MaxBlock + MaxControl;
    default: return 0;
    }
}

uint32_t MaxReply(uint8_t op)
{
    switch (op) {
    case Hello: return 4 + MaxReason;
    case Enum: return 12 + MaxPath;
    case Read: return 4 + MaxTransfer;
    case Write: return 8;
    case Control:
    case ControlBlock: return 4 + MaxControl;
    case Line: return 4 + MaxText;
    default: return 4;
    }
}
}  // namespace

const char *DecodeHeader(const uint8_t *in, Header &h, bool reply)
{
    h.Size = Get32(in);
    h.Op = in[4];
    h.Lane = static_cast<uint16_t>(in[6] | (in[7] << 8));
    h.Id = Get32(in + 8);
    h.Handle = Get32(in + 12);
    if (in[5] != Marker)
        return "no frame marker";
    if (((h.Op & ReplyBit) != 0) != reply)
        return reply ? "a request where a reply belongs" : "a reply where a request belongs";
    const uint8_t op = h.Op & ~ReplyBit;
    if (op < Hello || op > ControlBlock)
        return "unknown operation";
    if (h.Lane >= MaxLanes)
        return "lane out of range";
    if (h.Size > (reply ? MaxReply(op) : MaxRequest(op)))
        return "payload too large for its operation";
    if (reply && h.Size < 4)
        return "reply without its result";
    return nullptr;
}

const char *CheckRequest(const Header &h, const uint8_t *payload)
{
    switch (h.Op) {
    case Hello:
        if (h.Size < 4)
            return "hello without a version";
        if (Get32(payload) != Version)
            return "unknown version";
        return nullptr;
    case Enum:
        return h.Size == 20 ? nullptr : "enumeration needs a class and a member";
    case Open:
        if (h.Size == 0)
            return "open without a path";
        for (uint32_t i = 0; i < h.Size; ++i)
            if (payload[i] == 0)
                return "NUL inside a path";
        return nullptr;
    case Read:
        if (h.Size != 4)
            return "read needs its length";
        return Get32(payload) <= MaxTransfer ? nullptr : "read too long";
    case Control:
        if (h.Size < 8)
            return "control needs a code and an output length";
        if (h.Size - 8 > MaxControl || Get32(payload + 4) > MaxControl)
            return "control too long";
        return nullptr;
    case ControlBlock:
        if (h.Size < 10 || (payload[8] != 4 && payload[8] != 8) || payload[9] > MaxBlock ||
            h.Size < 10u + payload[9])
            return "start request needs a code, an output length, a width and its block";
        if (h.Size - 10 - payload[9] > MaxControl || Get32(payload + 4) > MaxControl)
            return "control too long";
        return nullptr;
    case Line:
        if (h.Handle > 3)
            return "no such box";
        for (uint32_t i = 0; i < h.Size; ++i)
            if (payload[i] == 0)
                return "NUL inside a line command";
        return nullptr;
    default:
        return nullptr;
    }
}

const char *CheckReply(const Header &h, const uint8_t *payload, uint8_t op, uint32_t asked)
{
    if ((h.Op & ~ReplyBit) != op)
        return "reply to another operation";
    const uint32_t data = h.Size - 4;
    switch (op) {
    case Enum:
        if (h.Size < 12)
            return "enumeration reply too short";
        // A member found carries its path, and the size with its NUL says so.
        if (static_cast<int32_t>(Get32(payload + 4)) == 1 &&
            (h.Size == 12 || Get32(payload + 8) != h.Size - 12 + 1))
            return "enumeration reply with a wrong path";
        return nullptr;
    case Read:
    case Control:
    case ControlBlock:
        return data <= asked ? nullptr : "more data than asked for";
    case Write:
        if (h.Size != 8)
            return "write reply needs its count";
        return Get32(payload + 4) <= asked ? nullptr : "more written than sent";
    default:
        return nullptr;
    }
}

const char *OpName(uint8_t op)
{
    static const char *const names[] = {"?",    "hello",   "enum",   "open", "read",
                                        "write", "control", "cancel", "close", "line", "ping",
                                        "control with block"};
    op &= ~ReplyBit;
    return op <= ControlBlock ? names[op] : "?";
}

}  // namespace zplr::platform::wire
