#include "platform/Message.h"

#include <atomic>
#include <cstdint>

namespace zplr::platform {
namespace {
std::atomic<ZlMessageHandler> g_Handler{nullptr};

struct Glyph {
    uint16_t Gbk;
    uint16_t Unicode;
};
// The double-byte characters of the library's messages.
constexpr Glyph Glyphs[] = {
    {0xA1A3, 0x3002}, {0xA3AC, 0xFF0C}, {0xB0CE, 0x62D4}, {0xB2BB, 0x4E0D},
    {0xB3A3, 0x5E38}, {0xB3CC, 0x7A0B}, {0xB3F6, 0x51FA}, {0xB4A5, 0x89E6},
    {0xBAF3, 0x540E}, {0xBBF2, 0x6216}, {0xBDD3, 0x63A5}, {0xC1AC, 0x8FDE},
    {0xC1B4, 0x94FE}, {0xC1BC, 0x826F}, {0xC7EB, 0x8BF7}, {0xCDB7, 0x5934},
    {0xCDCB, 0x9000}, {0xCFC8, 0x5148}, {0xD0F2, 0x5E8F}, {0xD3A6, 0x5E94},
    {0xD3C3, 0x7528}, {0xD4D9, 0x518D}, {0xD5FD, 0x6B63},
};

void AppendUtf8(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}
}  // namespace

std::string Cp936ToUtf8(const char *text)
{
    std::string out;
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (*p) {
        if (*p < 0x80) {
            out += static_cast<char>(*p++);
            continue;
        }
        if (!p[1]) {
            AppendUtf8(out, 0xFFFD);
            break;
        }
        uint16_t code = static_cast<uint16_t>(p[0] << 8 | p[1]);
        uint32_t cp = 0xFFFD;
        for (const Glyph &g : Glyphs)
            if (g.Gbk == code)
                cp = g.Unicode;
        AppendUtf8(out, cp);
        p += 2;
    }
    return out;
}

void ShowMessage(const char *textCp936, unsigned style)
{
    ZlMessageHandler h = g_Handler.load();
    if (h)
        h(textCp936, style);
    else
        DefaultMessage(textCp936, style);
}

}  // namespace zplr::platform

void ZlSetMessageHandler(ZlMessageHandler handler) { zplr::platform::g_Handler.store(handler); }
