// zlbox repair: a recording whose process was killed (SIGKILL, power loss)
// keeps the placeholder sizes its header carries while it runs, and players
// then see a quarter of a second of it. Its header is rewritten for the
// audio actually in the file.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "tools/Tool.h"
#include "tools/WavFile.h"

namespace zlbox {

namespace {

// The library's header with both sizes zero.
const uint8_t Layout[48] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                            20, 0, 0, 0, 6, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0,
                            1, 0, 8, 0, 0, 0, 0, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
constexpr uint32_t PlaceholderRiff = 16376, PlaceholderData = 2016;

bool Refuse(const std::string &file, const char *why)
{
    std::printf("%s: refused: %s\n", file.c_str(), why);
    return false;
}

// True when the file is complete, as found or once repaired.
bool Repair(const std::string &file)
{
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(file, ec);
    if (ec || !std::filesystem::exists(st))
        return Refuse(file, "no such file");
    // Opened only once known to be a file: a FIFO would hold zlbox.
    if (!std::filesystem::is_regular_file(st))
        return Refuse(file, "not a regular file");
    std::FILE *f = std::fopen(file.c_str(), "r+b");
    if (!f)
        return Refuse(file, "cannot be opened for writing");
    uint8_t h[48];
    const bool whole = std::fread(h, 1, sizeof h, f) == sizeof h;
    long end = -1;
    if (whole && std::fseek(f, 0, SEEK_END) == 0)
        end = std::ftell(f);
    auto close = [&](bool ok, const char *why) {
        std::fclose(f);
        return ok ? true : Refuse(file, why);
    };
    uint8_t sizesZero[48];
    std::memcpy(sizesZero, h, sizeof h);
    std::memset(sizesZero + 4, 0, 4);
    std::memset(sizesZero + 44, 0, 4);
    if (!whole || std::memcmp(sizesZero, Layout, sizeof Layout) != 0)
        return close(false, "not a recording of the library (48-byte header, 8 kHz A-law mono)");
    if (end < 48 || static_cast<unsigned long>(end) - 48 > 0xFFFFFFFFul - 40)
        return close(false, "its size cannot be told by a WAV header");
    const uint32_t audio = static_cast<uint32_t>(end - 48);
    const uint32_t riff = Le32(h + 4), data = Le32(h + 44);
    if (riff == audio + 40 && data == audio) {
        std::printf("%s: complete, nothing done: %.2f s of audio\n", file.c_str(), audio / 8000.0);
        return close(true, "");
    }
    if (riff != PlaceholderRiff || data != PlaceholderData)
        return close(false, "its sizes are neither a recording's placeholders nor the file's own");
    Put32(h + 4, audio + 40);
    Put32(h + 44, audio);
    if (std::fseek(f, 0, SEEK_SET) != 0 || std::fwrite(h, 1, sizeof h, f) != sizeof h)
        return close(false, "its header cannot be written");
    if (std::fclose(f) != 0)
        return Refuse(file, "its header cannot be written");
    std::printf("%s: repaired: %u bytes of audio (%.2f s), where the header said %u\n", file.c_str(),
                audio, audio / 8000.0, PlaceholderData);
    return true;
}

}  // namespace

void AddRepair(Registry &r)
{
    Options &o = r.Opts;
    CLI::App *sub = r.App.add_subcommand(
        "repair", "complete recordings that a killed process left with the placeholder sizes in their header "
                  "(exit 0: each is complete now, 2: one was refused)");
    sub->add_option("FILE", o.RepairFiles, "recordings to repair")->required();
    sub->callback([&run = r.Run] {
        run = [](const Options &opts, Box &) {
            bool ok = true;
            for (const std::string &f : opts.RepairFiles)
                ok = Repair(f) && ok;
            return ok ? ExitDone : ExitBadArgs;
        };
    });
}

}  // namespace zlbox
