// WAV files for zlbox: what a file holds, and the library's own layout
// (48-byte header, 8 kHz A-law mono) that playback takes every file as.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace zlbox {

struct WavInfo {
    unsigned FmtSize = 0;
    unsigned Tag = 0;
    unsigned Channels = 0;
    unsigned Rate = 0;
    unsigned Bits = 0;
    uint64_t DataOffset = 0;
    uint64_t DataSize = 0;
};

inline unsigned Le16(const uint8_t *p) { return p[0] | p[1] << 8; }
inline uint32_t Le32(const uint8_t *p) { return Le16(p) | static_cast<uint32_t>(Le16(p + 2)) << 16; }

// Walks the RIFF chunks up to "data". False with a reason when the file is
// not a WAV file or has no format or data.
inline bool ReadWavInfo(const std::string &path, WavInfo &info, std::string &why)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        why = "cannot be opened";
        return false;
    }
    uint8_t head[12];
    if (!f.read(reinterpret_cast<char *>(head), 12) || std::string(reinterpret_cast<char *>(head), 4) != "RIFF" ||
        std::string(reinterpret_cast<char *>(head) + 8, 4) != "WAVE") {
        why = "is not a WAV file";
        return false;
    }
    uint64_t at = 12;
    bool haveFmt = false;
    for (;;) {
        uint8_t ch[8];
        if (!f.read(reinterpret_cast<char *>(ch), 8)) {
            why = haveFmt ? "has no data chunk" : "has no format chunk";
            return false;
        }
        const std::string id(reinterpret_cast<char *>(ch), 4);
        const uint32_t size = Le32(ch + 4);
        at += 8;
        if (id == "fmt ") {
            uint8_t fmt[16];
            if (size < 16 || !f.read(reinterpret_cast<char *>(fmt), 16)) {
                why = "has a broken format chunk";
                return false;
            }
            info.FmtSize = size;
            info.Tag = Le16(fmt);
            info.Channels = Le16(fmt + 2);
            info.Rate = Le32(fmt + 4);
            info.Bits = Le16(fmt + 14);
            haveFmt = true;
            f.seekg(static_cast<std::streamoff>(at + size + (size & 1)));
        } else if (id == "data") {
            if (!haveFmt) {
                why = "has no format chunk before its data";
                return false;
            }
            info.DataOffset = at;
            f.seekg(0, std::ios::end);
            const uint64_t end = static_cast<uint64_t>(f.tellg());
            info.DataSize = std::min<uint64_t>(size, end > at ? end - at : 0);
            return true;
        } else {
            f.seekg(static_cast<std::streamoff>(at + size + (size & 1)));
        }
        at += size + (size & 1);
    }
}

inline bool IsALaw8k(const WavInfo &i) { return i.Tag == 6 && i.Channels == 1 && i.Rate == 8000 && i.Bits == 8; }

// The library's layout exactly: a 20-byte format chunk and the sound at 48.
inline bool IsLibraryLayout(const WavInfo &i) { return IsALaw8k(i) && i.FmtSize == 20 && i.DataOffset == 48; }

inline std::string Describe(const WavInfo &i)
{
    std::string tag;
    switch (i.Tag) {
    case 1: tag = "PCM"; break;
    case 3: tag = "IEEE float"; break;
    case 6: tag = "A-law"; break;
    case 7: tag = "mu-law"; break;
    case 0xFFFE: tag = "extensible"; break;
    default: tag = "format tag " + std::to_string(i.Tag);
    }
    return tag + " " + std::to_string(i.Bits) + "-bit " + std::to_string(i.Rate) + " Hz " +
           (i.Channels == 1 ? std::string("mono") : std::to_string(i.Channels) + " channels");
}

inline void Put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Writes `sound` as a file of the library's layout.
inline bool WriteLibraryLayout(const std::string &path, const std::vector<uint8_t> &sound)
{
    uint8_t h[48] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                     20, 0, 0, 0, 6, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0,
                     1, 0, 8, 0, 0, 0, 0, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    const uint32_t n = static_cast<uint32_t>(sound.size());
    Put32(h + 4, n + 40);
    Put32(h + 44, n);
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(h), sizeof h);
    f.write(reinterpret_cast<const char *>(sound.data()), static_cast<std::streamsize>(sound.size()));
    return static_cast<bool>(f);
}

inline bool ReadSound(const std::string &path, const WavInfo &i, std::vector<uint8_t> &sound)
{
    std::ifstream f(path, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(i.DataOffset));
    sound.resize(static_cast<size_t>(i.DataSize));
    return static_cast<bool>(f.read(reinterpret_cast<char *>(sound.data()), static_cast<std::streamsize>(sound.size())));
}

}  // namespace zlbox
