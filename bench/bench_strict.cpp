// The library against the strict virtual box at real time, with its
// default limits (a 4 KiB sound-in FIFO, one 512-byte chunk of sound-out
// buffer draining at 8000 bytes a second, jittered replies):
//   - a long recording with a command every second loses no sample;
//   - the same with a playback in the middle loses only the audio of the
//     time the recording gave way, as the box counts it, and keeps the rest
//     in order;
//   - a PC-side write takes the real time of its sound.
// Each figure stands beside its floor: no sample dropped, the gap the box
// itself counted, the sound's own duration.
//
//   zplr_bench_strict [--record-seconds N] [--play-seconds N] [--write-seconds N]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "BenchCommon.h"
#include "sim/VirtualBox.h"
#include "zPLR.h"

using namespace zplr;
using namespace zplr::bench;

namespace {

constexpr size_t WavHeader = 48;

uint8_t Sample(uint64_t k) { return static_cast<uint8_t>((k * 7 + k / 256) & 0xFF); }

std::vector<uint8_t> ReadAll(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

struct Recording {
    size_t Audio = 0;      // audio bytes in the file
    uint64_t Dropped = 0;  // audio bytes the box counted as lost
    size_t Gaps = 0;       // places where the file's samples jump
    uint64_t Skipped = 0;  // samples the jumps skip, in all
    size_t Wrong = 0;      // samples that are neither in order nor after a jump
    int Commands = 0, CommandsFailed = 0;
};

// Follows the file's samples through the numbered line: each one is the next
// sample, or the first after a jump forward (what the box dropped).
void Check(const std::vector<uint8_t> &file, Recording &r)
{
    r.Audio = file.size() > WavHeader ? file.size() - WavHeader : 0;
    uint64_t k = 0;
    for (size_t i = 0; i < r.Audio; ++i, ++k) {
        const uint8_t got = file[WavHeader + i];
        if (got == Sample(k))
            continue;
        // A jump: the box drops whole 250-sample frames.
        uint64_t j = k + 250;
        const uint64_t limit = k + 250 * 4096;
        while (j < limit && !(file[WavHeader + i] == Sample(j) &&
                              (i + 1 >= r.Audio || file[WavHeader + i + 1] == Sample(j + 1))))
            j += 250;
        if (j >= limit) {
            ++r.Wrong;
            continue;
        }
        ++r.Gaps;
        r.Skipped += j - k;
        k = j;
    }
}

Recording Record(CZusb_IO &io, zlsim::VirtualBox &box, const std::string &file, int seconds,
                 const std::string *play)
{
    Recording r;
    std::atomic<uint64_t> produced{0};
    box.SetSoundInSource([&](uint8_t *p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            p[i] = Sample(produced++);
    });
    const uint64_t dropped0 = box.SoundInDropped();
    if (io.StartReadSound(file.c_str(), 0) != 1) {
        std::fprintf(stderr, "StartReadSound failed\n");
        std::exit(1);
    }
    // A command every second; the playback starts half-way and is stopped
    // once it has played out, as an application does (that lets the
    // recording read again).
    const auto t0 = Steady::now();
    const int ticks = seconds * 20;
    bool playing = false;
    for (int tick = 1; tick <= ticks; ++tick) {
        std::this_thread::sleep_until(t0 + std::chrono::milliseconds(50 * tick));
        if (play && tick == ticks / 2) {
            if (io.StartPlaySound(play->c_str(), 0, 0, 1, 0) != 1) {
                std::fprintf(stderr, "StartPlaySound failed\n");
                std::exit(1);
            }
            playing = true;
        } else if (playing && io.GetWriteSoundRate() == 1000) {
            io.StopPlaySound();
            playing = false;
        }
        if (tick % 20 == 0) {
            ++r.Commands;
            r.CommandsFailed += io.SetEstimateStatus(0) != 1;
        }
    }
    if (playing)
        io.StopPlaySound();
    const int size = io.StopReadSound();
    box.SetSoundInSource(nullptr);
    r.Dropped = (box.SoundInDropped() - dropped0) / 256 * 250;
    const std::vector<uint8_t> bytes = ReadAll(file);
    if (size < 0 || static_cast<size_t>(size) != bytes.size())
        std::fprintf(stderr, "StopReadSound gave %d, the file has %zu bytes\n", size, bytes.size());
    Check(bytes, r);
    return r;
}

// Seconds that `seconds` of sound take through WriteSoundFromPCToBuffer.
double PcWrite(CZusb_IO &io, int seconds)
{
    if (io.OpenWriteSoundToBuff() != 1) {
        std::fprintf(stderr, "OpenWriteSoundToBuff failed\n");
        std::exit(1);
    }
    std::vector<uint8_t> chunk(512);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<uint8_t>(i * 3);
    const size_t chunks = static_cast<size_t>(seconds) * 8000 / 512;
    // The first chunk fills the box's empty buffer at once; the clock starts
    // when the box begins to play it.
    io.WriteSoundFromPCToBuffer(chunk.data(), 512);
    const auto t0 = Steady::now();
    for (size_t c = 1; c <= chunks; ++c)
        if (io.WriteSoundFromPCToBuffer(chunk.data(), 512) != 512) {
            std::fprintf(stderr, "WriteSoundFromPCToBuffer failed at chunk %zu\n", c);
            std::exit(1);
        }
    const double s = std::chrono::duration<double>(Steady::now() - t0).count();
    io.CloseWriteSoundToBuff();
    return s;
}

void Show(const char *what, int seconds, const Recording &r)
{
    std::printf("%s, %d s:\n", what, seconds);
    std::printf("  audio in the file %zu bytes (%.3f s); commands %d, failed %d\n", r.Audio, r.Audio / 8000.0,
                r.Commands, r.CommandsFailed);
    std::printf("  skipped in the file %llu samples in %zu gap(s), out of order %zu; "
                "floor: dropped by the box %llu; ratio %.3f\n",
                static_cast<unsigned long long>(r.Skipped), r.Gaps, r.Wrong,
                static_cast<unsigned long long>(r.Dropped),
                r.Dropped ? static_cast<double>(r.Skipped) / r.Dropped : (r.Skipped ? 1e9 : 1.0));
}

}  // namespace

int main(int argc, char **argv)
{
    if (HelpAsked(argc, argv,
                  "usage: zplr_bench_strict [--record-seconds N] [--play-seconds N] [--write-seconds N]\n"
                  "The library on the strict virtual box (default limits, jittered replies) at real time:\n"
                  "  recording of N s with a command every second (default 60): samples lost and out\n"
                  "    of order, beside what the box dropped (its floor: 0)\n"
                  "  the same with a playback of N s in the middle (default 3): what the file skips,\n"
                  "    beside what the box counted as dropped while the recording gave way\n"
                  "  a PC-side write of N s of sound (default 10): its wall time beside the sound's\n"
                  "Targets (exit status 1 when one is missed): nothing dropped and every sample in\n"
                  "order without a playback; with one, the file skips exactly what the box dropped,\n"
                  "in one gap at most; the write within 2 % of the sound's time; every command answered.\n"))
        return 0;
    int recordSeconds = 60, playSeconds = 3, writeSeconds = 10;
    if (!ParseOptions(argc, argv, {{"--record-seconds", &recordSeconds, 2}, {"--play-seconds", &playSeconds, 1},
                                   {"--write-seconds", &writeSeconds, 1}}))
        return 2;

    zlsim::VirtualDriver driver;
    driver.Plug(0);
    zlsim::VirtualBox &box = driver.Box(0);
    driver.SetSoundPace(1);  // the line's own time
    ZlSetDriverBackend(&driver);
    CZusb_IO io(0);
    io.InitialUSB_IOEx(0);
    if (io.IfConnectUSB() != 0) {
        std::fprintf(stderr, "virtual box not reached\n");
        return 1;
    }
    io.PickUp();
    const auto dir = std::filesystem::temp_directory_path();
    const std::string rec = (dir / "zplr_bench_strict.wav").string();
    const std::string play = (dir / "zplr_bench_strict_play.wav").string();
    WriteSound(play, playSeconds);

    const Recording plain = Record(io, box, rec, recordSeconds, nullptr);
    const Recording mixed = Record(io, box, rec, recordSeconds, &play);
    const double write = PcWrite(io, writeSeconds);
    const uint64_t underruns = box.SoundOutUnderruns();
    io.PutDown();
    io.ExistUSB_IO();
    ZlSetDriverBackend(nullptr);
    std::remove(rec.c_str());
    std::remove(play.c_str());

    Show("recording", recordSeconds, plain);
    Show("recording with a playback in the middle", recordSeconds, mixed);
    const double sound = static_cast<double>(static_cast<size_t>(writeSeconds) * 8000 / 512 * 512) / 8000;
    std::printf("PC-side write: %.3f s; floor: the sound's own %.3f s; ratio %.4f (box buffer ran empty %llu times)\n",
                write, sound, write / sound, static_cast<unsigned long long>(underruns));

    const bool ok = plain.Dropped == 0 && plain.Skipped == 0 && plain.Wrong == 0 && !plain.CommandsFailed &&
                    mixed.Wrong == 0 && mixed.Skipped == mixed.Dropped && mixed.Gaps <= 1 &&
                    !mixed.CommandsFailed && write >= 0.98 * sound && write <= 1.02 * sound;
    std::printf("targets %s\n", ok ? "met" : "MISSED");
    return ok ? 0 : 1;
}
