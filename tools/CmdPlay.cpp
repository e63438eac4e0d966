// zlbox play: a sound file to the line, with its progress.
#include <cstdio>
#include <filesystem>
#include <vector>

#ifdef _WIN32
#include <process.h>
#define ZLBOX_PID _getpid
#else
#include <unistd.h>
#define ZLBOX_PID getpid
#endif

#include "tools/Convert.h"
#include "tools/Interrupt.h"
#include "tools/Tool.h"
#include "tools/WavFile.h"

#include "sim/VirtualBox.h"

namespace zlbox {

namespace {

std::string TempPath(const char *what)
{
    return (std::filesystem::temp_directory_path() /
            ("zlbox-" + std::string(what) + "-" + std::to_string(ZLBOX_PID()) + ".wav"))
        .string();
}

}  // namespace

int Playable(const std::string &file, std::string &path, std::string &temp, uint64_t &dataSize)
{
    WavInfo info;
    std::string why;
    const bool wav = ReadWavInfo(file, info, why);
    if (wav && IsALaw8k(info)) {
        dataSize = info.DataSize;
        path = file;
        if (IsLibraryLayout(info))
            return 0;
        // The same sound in the library's own layout.
        std::vector<uint8_t> sound;
        temp = TempPath("play");
        if (!ReadSound(file, info, sound) || !WriteLibraryLayout(temp, sound)) {
            std::fprintf(stderr, "zlbox: cannot rewrite %s for playback\n", file.c_str());
            std::remove(temp.c_str());
            return ExitFailed;
        }
        path = temp;
        return 0;
    }
    if (CanConvert()) {
        temp = TempPath("play");
        std::string error;
        if (!ConvertToALaw8k(file, temp, error)) {
            std::fprintf(stderr, "zlbox: %s cannot be played: %s\n", file.c_str(), error.c_str());
            std::remove(temp.c_str());
            return ExitBadArgs;
        }
        WavInfo converted;
        ReadWavInfo(temp, converted, why);
        dataSize = converted.DataSize;
        path = temp;
        return 0;
    }
    if (!wav)
        std::fprintf(stderr, "zlbox: %s %s\n", file.c_str(), why.c_str());
    else
        std::fprintf(stderr, "zlbox: %s is %s\n", file.c_str(), Describe(info).c_str());
    std::fprintf(stderr,
                 "zlbox: this zlbox, built without libsndfile and libsoxr, plays only 8000 Hz 8-bit A-law mono WAV;\n"
                 "       convert with:  sox IN.wav -r 8000 -c 1 -e a-law OUT.wav\n"
                 "                 or:  ffmpeg -i IN.wav -ar 8000 -ac 1 -c:a pcm_alaw OUT.wav\n");
    return ExitBadArgs;
}

namespace {

int Play(const Options &o, Box &box)
{
    const std::string &file = o.File;
    std::vector<const char *> given;
    if (!o.SaveLine.empty())
        given.push_back("--save-line");
    if (o.Unpaced)
        given.push_back("--unpaced");
    if (int refused = VirtualOnly(box, o, given))
        return refused;
    if (!o.SaveLine.empty()) {
        if (int refused = CheckOutput(o.SaveLine, "--save-line"))
            return refused;
        if (SameFile(o.SaveLine, file)) {
            std::fprintf(stderr, "zlbox: --save-line %s would overwrite FILE %s\n", o.SaveLine.c_str(),
                         file.c_str());
            return ExitBadArgs;
        }
    }
    uint64_t dataSize = 0;
    std::string path, temp;
    CatchInterrupts();
    if (int refused = Playable(file, path, temp, dataSize))
        return refused;
    if (box.Virtual && o.Unpaced)
        box.Virtual->SetPacing(zlsim::VirtualBox::Pacing::Unpaced);

    CZusb_IO io(o.Index);
    int rc = ExitFailed;
    if (!Interrupted() && Reached(io, o)) {
        int r = io.PickUp();
        std::printf("PickUp: %d\n", r);
        if (r == 1) {
            r = io.StartPlaySound(path.c_str(), o.StartPermille, 0, 1, 1);
            std::printf("StartPlaySound %s: %d\n", file.c_str(), r);
        }
        if (r == 1) {
            const int rate = FollowPlayback(io, static_cast<double>(dataSize) / 8000);
            std::printf(rate == 1000  ? "played\n"
                        : rate < 0    ? "line released\n"
                        : Interrupted() ? "stopped: interrupted\n"
                                        : "no end reported\n");
            rc = rate == 1000 ? ExitDone : ExitFailed;
            std::printf("StopPlaySound: %d\n", io.StopPlaySound());
        }
        std::printf("PutDown: %d\n", io.PutDown());
        io.ExistUSB_IO();
    }
    if (!temp.empty())
        std::remove(temp.c_str());
    if (box.Virtual && !o.SaveLine.empty()) {
        const std::vector<uint8_t> line = box.Virtual->SoundOut();
        if (!WriteLibraryLayout(o.SaveLine, line)) {
            std::fprintf(stderr, "zlbox: --save-line %s: cannot be written\n", o.SaveLine.c_str());
            return ExitFailed;
        }
        std::printf("line sound: %zu bytes to %s\n", line.size(), o.SaveLine.c_str());
    }
    return rc;
}

}  // namespace

void AddPlay(Registry &r)
{
    Options &o = r.Opts;
    CLI::App *sub = r.App.add_subcommand(
        "play", CanConvert() ? "take the line, play FILE (any format libsndfile reads) with a progress bar, hang up"
                             : "take the line, play FILE (8 kHz A-law mono WAV) with a progress bar, hang up");
    sub->add_option("FILE", o.File, "the sound file to play")->required();
    sub->add_option("--start", o.StartPermille, "play from this many thousandths of the file on")
        ->check(CLI::Range(0, 1000))
        ->capture_default_str();
    sub->add_option("--save-line", o.SaveLine, "virtual: save what the line received as an A-law WAV file");
    sub->add_flag("--unpaced", o.Unpaced, "virtual box asks for sound as fast as it comes");
    sub->callback([&run = r.Run] { run = Play; });
}

}  // namespace zlbox
