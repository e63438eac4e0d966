// zlbox record: an incoming call, answered and recorded as a call recorder
// (or, with a greeting, an answering machine) does it.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "tools/Convert.h"
#include "tools/Interrupt.h"
#include "tools/Tool.h"

#include "sim/ALaw.h"

namespace zlbox {

namespace {

// Level of the latest audio in a recording being written, in dBm0.
double LatestLevel(const std::string &path)
{
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return -99;
    unsigned char b[800];
    size_t n = 0;
    if (std::fseek(f, 0, SEEK_END) == 0) {
        long end = std::ftell(f);
        if (end > 48 + static_cast<long>(sizeof b) && std::fseek(f, end - sizeof b, SEEK_SET) == 0)
            n = std::fread(b, 1, sizeof b, f);
    }
    std::fclose(f);
    if (n == 0)
        return -99;
    double sum = 0;
    for (size_t i = 0; i < n; ++i) {
        double v = zlsim::ALawToLinear(b[i]);
        sum += v * v;
    }
    // A-law's full-scale sine is +3.14 dBm0.
    double rms = std::sqrt(sum / n);
    return rms < 1 ? -99 : 20 * std::log10(rms / 32768 * std::sqrt(2.0)) + 3.14;
}

// A complete recording: its header's sizes agree with the file.
bool CompleteWav(const std::string &path, long &audio)
{
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    unsigned char h[48];
    bool ok = std::fread(h, 1, 48, f) == 48 && std::fseek(f, 0, SEEK_END) == 0;
    long size = ok ? std::ftell(f) : 0;
    std::fclose(f);
    auto u32 = [&](int at) {
        return static_cast<long>(h[at] | h[at + 1] << 8 | h[at + 2] << 16 | static_cast<unsigned long>(h[at + 3]) << 24);
    };
    audio = size - 48;
    return ok && std::memcmp(h, "RIFF", 4) == 0 && u32(4) == size - 8 && u32(44) == audio;
}

// Everything checked before a session starts: the files to read, the files
// to write, and that none of the outputs is one of the inputs.
int CheckRecordFiles(const Options &o, const std::string &path)
{
    if (path.empty() || o.File.size() > 1023 || path.size() > 263) {
        std::fprintf(stderr, "zlbox: FILE %s: %s\n", o.File.c_str(),
                     path.empty() ? "nothing is left once '*' and '#' are left out"
                                  : "too long (at most 263 characters without '*' and '#', 1023 with them)");
        return ExitBadArgs;
    }
    if (int refused = CheckOutput(path, "FILE"))
        return refused;
    if (!o.To.empty())
        if (int refused = CheckOutput(o.To, "--to"))
            return refused;
    const std::pair<const char *, const std::string *> inputs[] = {{"--greeting", &o.Greeting},
                                                                   {"--far-end", &o.FarEnd}};
    for (const auto &[name, in] : inputs) {
        for (const auto &[outName, out] : {std::pair<const char *, const std::string *>{"FILE", &path},
                                           std::pair<const char *, const std::string *>{"--to", &o.To}})
            if (SameFile(*in, *out)) {
                std::fprintf(stderr, "zlbox: %s %s would overwrite %s %s\n", outName, out->c_str(), name,
                             in->c_str());
                return ExitBadArgs;
            }
    }
    if (SameFile(o.To, path)) {
        std::fprintf(stderr, "zlbox: --to %s is the recording itself; give another name\n", o.To.c_str());
        return ExitBadArgs;
    }
    return 0;
}

struct RemoveTemp {
    std::string Path;
    ~RemoveTemp()
    {
        if (!Path.empty())
            std::remove(Path.c_str());
    }
};

int Record(const Options &o, Box &box)
{
    zlsim::LineModel *line = box.Line;
    if (int refused = VirtualOnly(box, o,
                                  [&] {
                                      std::vector<const char *> given;
                                      if (!o.FarEnd.empty())
                                          given.push_back("--far-end");
                                      if (!o.Keys.empty())
                                          given.push_back("--keys");
                                      if (o.NumberGiven)
                                          given.push_back("--number");
                                      if (o.FormatGiven)
                                          given.push_back("--format");
                                      if (o.NoCall)
                                          given.push_back("--no-call");
                                      return given;
                                  }()))
        return refused;
    // The library leaves '*' and '#' out of the path: that is the file.
    const std::string path = RecordedPath(o.File);
    if (int refused = CheckRecordFiles(o, path))
        return refused;
    if (path != o.File)
        std::printf("recording to %s ('*' and '#' are left out of a recording's path)\n", path.c_str());
    CatchInterrupts();
    uint64_t greetingSize = 0;
    std::string greeting;
    RemoveTemp greetingTemp, farEndTemp;
    if (!o.Greeting.empty()) {
        if (int refused = Playable(o.Greeting, greeting, greetingTemp.Path, greetingSize))
            return refused;
    }
    if (line && !o.FarEnd.empty()) {
        // The caller's voice, converted as play converts a file.
        std::string voice, error;
        uint64_t voiceSize = 0;
        if (int refused = Playable(o.FarEnd, voice, farEndTemp.Path, voiceSize))
            return refused;
        if (!line->LoadFarEnd(voice, &error)) {
            std::fprintf(stderr, "zlbox: --far-end %s: %s\n", o.FarEnd.c_str(), error.c_str());
            return ExitBadArgs;
        }
    }
    CZusb_IO io(o.Index);
    if (!Reached(io, o))
        return ExitFailed;
    if (!AwaitCall(io, o, line))
        return ExitTimedOut;
    int r = io.PickUp();
    std::printf("PickUp: %d\n", r);
    if (r == 1 && !greeting.empty()) {
        // The answering machine: the greeting first, then the message.
        r = io.StartPlaySound(greeting.c_str(), 0, 0, 1, 1);
        std::printf("StartPlaySound %s: %d\n", o.Greeting.c_str(), r);
        if (r == 1) {
            const int rate = FollowPlayback(io, static_cast<double>(greetingSize) / 8000);
            std::printf(rate == 1000    ? "greeting played\n"
                        : rate < 0      ? "line released\n"
                        : Interrupted() ? "greeting stopped: interrupted\n"
                                        : "no end reported\n");
            std::printf("StopPlaySound: %d\n", io.StopPlaySound());
            if (rate < 0)
                r = -1;
        }
        // The virtual caller speaks after the greeting.
        if (r == 1 && line && !o.FarEnd.empty())
            line->Audio().StartFarEnd();
    }
    // Interrupted before the message: nothing to record.
    if (r == 1 && Interrupted())
        r = -1;
    if (r == 1) {
        r = io.StartReadSoundCStrF(o.File.c_str());
        std::printf("StartReadSound: %d\n", r);
    }
    if (r != 1) {
        std::printf("PutDown: %d\n", io.PutDown());
        io.ExistUSB_IO();
        return ExitFailed;
    }
    const bool live = StdoutIsTerminal();
    const auto t0 = std::chrono::steady_clock::now();
    std::string keys;
    bool keysPressed = false;
    const char *why = "time";
    int lastLine = -1;
    auto voiceOver = t0;
    for (;;) {
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (line && !keysPressed && elapsed >= 1.0) {
            keysPressed = true;
            if (!o.Keys.empty())
                line->PressKeys(o.Keys);
        }
        TakeKeys(io, keys, live ? "\n" : "");  // on a terminal the meter goes on below
        if (!keys.empty() && keys.back() == '#') {
            why = "caller pressed #";
            break;
        }
        if (io.CheckPutDown() == 0) {
            why = "caller hung up";
            break;
        }
        if (Interrupted()) {
            why = "interrupted";
            break;
        }
        if (elapsed >= o.Seconds)
            break;
        // The virtual caller hangs up a second after it has said its piece.
        if (line && !o.FarEnd.empty() && keysPressed) {
            if (line->Audio().FarEndSpeaking() || line->Audio().KeysPending())
                voiceOver = std::chrono::steady_clock::now();
            else if (std::chrono::steady_clock::now() - voiceOver > std::chrono::seconds(1))
                line->Release();
        }
        const unsigned bytes = io.ReadRecLength();
        const double level = LatestLevel(path);
        if (live) {
            int bar = level <= -60 ? 0 : static_cast<int>((level + 60) / 3);
            bar = bar > 20 ? 20 : bar;
            std::printf("\r%6.1f s %9u bytes [%-20.*s] %6.1f dBm0 ", elapsed, bytes, bar,
                        "####################", level);
            std::fflush(stdout);
        } else if (static_cast<int>(elapsed) != lastLine) {
            lastLine = static_cast<int>(elapsed);
            std::printf("%.0f s %u bytes %.1f dBm0\n", elapsed, bytes, level);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (live)
        std::printf("\n");
    const int size = io.StopReadSound();
    std::printf("stopped: %s\n", why);
    std::printf("StopReadSound: %d\n", size);
    if (!keys.empty())
        std::printf("keys: %s\n", keys.c_str());
    std::printf("PutDown: %d\n", io.PutDown());
    io.ExistUSB_IO();
    // The file is judged by itself: a stop that failed (the box lost, the
    // stop timed out) still leaves a completed file with what was read.
    long audio = 0;
    if (!CompleteWav(path, audio)) {
        std::fprintf(stderr, "zlbox: %s: the recording's file is not complete\n", path.c_str());
        return ExitFailed;
    }
    std::printf("%s: %.2f s of A-law audio\n", path.c_str(), audio / 8000.0);
    if (size < 0)
        std::fprintf(stderr, "zlbox: the stop failed (%d: %s); %s holds the audio read up to then\n", size,
                     size == -3 ? "the recording did not end in time" : "the box was not reached", path.c_str());
    if (!o.To.empty()) {
        std::string why;
        if (!ConvertRecording(path, o.To, why)) {
            std::fprintf(stderr, "zlbox: --to %s: %s (the recording is kept in %s)\n", o.To.c_str(), why.c_str(),
                         path.c_str());
            return ExitFailed;
        }
        std::printf("%s: converted\n", o.To.c_str());
    }
    return size < 0 ? ExitFailed : ExitDone;
}

}  // namespace

void AddRecord(Registry &r)
{
    Options &o = r.Opts;
    CLI::App *sub = r.App.add_subcommand(
        "record", "wait for a call, answer, record it to FILE (A-law WAV) for --seconds or until the caller "
                  "hangs up or presses '#'");
    sub->add_option("FILE", o.File, "the WAV file to write")->required();
    sub->add_option("--seconds", o.Seconds, "longest recording, in seconds")
        ->check(PositiveSeconds)
        ->capture_default_str();
    sub->add_option("--greeting", o.Greeting, "play this sound file (as play takes it) to the caller first");
    sub->add_option("--number", o.Number, "virtual caller's number")
        ->check(NumberChars)
        ->capture_default_str()
        ->each([&o](const std::string &) { o.NumberGiven = true; });
    AddCallerOptions(*sub, o);
    sub->add_flag("--no-call", o.NoCall, "virtual: no call comes");
    CLI::Option *keys = sub->add_option("--keys", o.Keys, "virtual keys, pressed a second into the recording (default none)")
                            ->check(KeyChars);
    sub->add_option("--to", o.To, "also write the finished recording as 16-bit FLAC (OUT.flac) or PCM WAV (OUT.wav)")
        ->check(CLI::Validator(
            [](std::string &v) -> std::string {
                if (!CanConvert())
                    return "this zlbox was built without libsndfile";
                auto ends = [&](const char *ext) {
                    const std::string e = ext;
                    if (v.size() <= e.size())
                        return false;
                    std::string tail = v.substr(v.size() - e.size());
                    for (char &c : tail)
                        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
                    return tail == e;
                };
                return ends(".flac") || ends(".wav") ? "" : "'" + v + "' does not end in .flac or .wav";
            },
            "OUT.flac|OUT.wav"));
    sub->add_option("--far-end", o.FarEnd,
                    CanConvert() ? "virtual caller's voice: a sound file, taken as play takes it"
                                 : "virtual caller's voice: an 8 kHz A-law mono WAV file");
    sub->callback([&run = r.Run, &o, keys] {
        if (keys->count() == 0)
            o.Keys.clear();
        run = Record;
    });
}

}  // namespace zlbox
