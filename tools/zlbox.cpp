// zlbox: drive a ZL box, real or virtual, from the command line.
#include <cstdio>
#include <memory>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#define ZLBOX_ISATTY _isatty
#define ZLBOX_FILENO _fileno
#define ZLBOX_PID _getpid
#else
#include <unistd.h>
#define ZLBOX_ISATTY isatty
#define ZLBOX_FILENO fileno
#define ZLBOX_PID getpid
#endif

#include "tools/WavFile.h"
#include "tools/serve/Serve.h"

#include "sim/ALaw.h"

#include "sim/LineModel.h"
#include "sim/RecordModel.h"
#include "sim/VirtualBox.h"
#include "zPLR.h"

namespace {

struct Bit {
    unsigned Mask;
    const char *Name;
};
const Bit Bits[] = {
    {0x1, "IncomingCall"},     {0x2, "OffHook"},          {0x4, "InitDone"},
    {0x8, "PhoneOffHook"},     {0x10, "AwaitingReply"},   {0x20, "CalledPickedUp"},
    {0x40, "PlayEnded"},       {0x80, "ConnectTried"},    {0x100, "Reconnecting"},
    {0x200, "Closed"},         {0x8000, "LinkEvent"},     {0x20000, "BusyTone"},
    {0x40000, "Report3Seen"},  {0x80000, "Report6Seen"},  {0x100000, "PhonePickedUp"},
    {0x200000, "PickUpMode1"}, {0x400000, "PickUpMode2"},
};

int Usage(FILE *to)
{
    std::fprintf(to,
                 "usage: zlbox [options] status\n"
                 "       zlbox [options] call [NUMBER]\n"
                 "       zlbox [options] dial NUMBER\n"
                 "       zlbox [options] info\n"
                 "       zlbox [options] play FILE\n"
                 "       zlbox [options] record FILE\n"
                 "  status   start a session, tell whether the box was reached and\n"
                 "           show its status word, then end the session\n"
                 "  call     wait for an incoming call, show the caller's number,\n"
                 "           answer, show the keys pressed until '#', hang up; on\n"
                 "           the virtual box NUMBER calls in and presses --keys\n"
                 "  dial     pick up, dial NUMBER, follow the 450 Hz measurements\n"
                 "           until the far end answers or is busy, hang up\n"
                 "  info     show the library version and the box's identity records\n"
                 "  play     take the line, play the WAV file FILE (8 kHz A-law mono)\n"
                 "           with a progress bar, hang up\n"
                 "  record   wait for a call, answer, record it to FILE (A-law WAV) for\n"
                 "           --seconds or until the caller hangs up or presses '#'\n"
                 "  --device N    device index 0 to 3 (default 0)\n"
                 "  --driver      virtual: the built-in virtual box (default);\n"
                 "                system: the box's own driver\n"
                 "  --format F    virtual caller ID: sdmf (default), mdmf or digits\n"
                 "  --number N    virtual caller's number (default 13800138000)\n"
                 "  --keys K      virtual keys pressed after the answer (default 123#;\n"
                 "                record: none, pressed a second into the recording)\n"
                 "  --far-end F   virtual caller's voice: an 8 kHz A-law mono WAV file\n"
                 "  --seconds S   record: longest recording (default 10)\n"
                 "  --greeting F  record: play the WAV file F to the caller first\n"
                 "  --busy        virtual far end of dial is busy instead of answering\n"
                 "  --wait S      seconds to wait for the call or the far end (default 30)\n"
                 "  --start P     play from P thousandths of the file on (default 0)\n"
                 "  --save-line OUT.wav  virtual: save what the line received\n"
                 "  --unpaced     virtual box asks for sound as fast as it comes\n");
    return to == stdout ? 0 : 2;
}

struct Options {
    int Index = 0;
    bool Virtual = true;
    std::string Number;
    zlsim::CallerIdType Format = zlsim::CallerIdType::Sdmf;
    std::string Keys = "123#";
    bool KeysGiven = false;
    bool Busy = false;
    int WaitS = 30;
    int StartPermille = 0;
    std::string SaveLine;
    bool Unpaced = false;
    int Seconds = 10;
    std::string FarEnd;
    std::string Greeting;
};

// Polls `done` every 20 ms for up to `seconds`.
template <class F> bool WaitFor(int seconds, F done)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool Reached(CZusb_IO &io)
{
    io.InitialUSB_IOEx(0);
    if (WaitFor(2, [&] { return io.IfConnectUSB() == 0; }))
        return true;
    std::printf("device %d: box not reached\n", io.DeviceIndex);
    return false;
}

std::string Hex(const unsigned char *b, int n)
{
    std::string out;
    char two[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02X", b[i]);
        out += two;
    }
    return out;
}

// The version and the identity records.
int Info(const Options &o)
{
    CZusb_IO io(o.Index);
    char version[23];
    io.ReadzPLRVersion(version);
    std::printf("zPLR %s\n", version);
    if (!Reached(io))
        return 1;
    unsigned char b[18] = {};
    int failures = 0;
    auto show = [&](const char *name, int r, const std::string &value) {
        if (r == 1) {
            std::printf("%-22s %s\n", name, value.c_str());
        } else {
            std::printf("%-22s failed (%d)\n", name, r);
            ++failures;
        }
    };
    int r = io.ReadCustomerID(b);
    show("customer ID", r, r == 1 ? Hex(b, 7) + " " + std::string(reinterpret_cast<char *>(b + 7)) : "");
    r = io.ReadModuleNmb(b);
    show("module number (client)", r, Hex(b, 16));
    r = io.ReadManuSerial(b);
    show("serial (client)", r, Hex(b, 16));
    r = io.ReadAdaptChar(b);
    show("adapter (client)", r, Hex(b, 16));
    r = io.ReadSTMDeviceID(b);
    show("STM32 device ID", r, Hex(b, 16));
    r = io.ReadZL_Type(b);
    show("type", r, std::to_string(b[0]));
    r = io.ReadWritingInfoCounter(b);
    show("writing counter", r, std::to_string(b[0]));
    r = io.ReadHSPInfo(b);
    show("HSP information", r, Hex(b, 11));
    r = io.ReadSP_Sum(b);
    show("sum record", r, Hex(b, 5));
    r = io.ReadSTM32Temp();
    show("STM32 temperature", r < 0 ? r : 1, std::to_string(r));
    io.ExistUSB_IO();
    return failures ? 1 : 0;
}

// Rings the virtual line, if any, and waits for the call; false, with the
// session ended, when none comes within --wait.
bool AwaitCall(CZusb_IO &io, const Options &o, zlsim::LineModel *line)
{
    if (line)
        line->Ring(o.Number, o.Format);
    std::printf("waiting for a call\n");
    if (WaitFor(o.WaitS, [&] { return io.CheckCallStatus() == 1; }))
        return true;
    std::printf("no call\n");
    io.ExistUSB_IO();
    return false;
}

// An incoming call, handled as an application would.
int Call(const Options &o, zlsim::LineModel *line)
{
    CZusb_IO io(o.Index);
    if (!Reached(io))
        return 1;
    if (!AwaitCall(io, o, line))
        return 1;
    std::printf("incoming call\n");
    // The caller ID follows the first ring.
    std::string number;
    WaitFor(line ? 2 : 6, [&] { return !(number = io.ReadstrCallNmb()).empty(); });
    std::printf("caller: %s\n", number.empty() ? "(no number)" : number.c_str());
    int r = io.PickUp();
    std::printf("PickUp: %d\n", r);
    if (r == 1) {
        if (line)
            line->PressKeys(o.Keys);
        std::string keys;
        WaitFor(o.WaitS, [&] {
            unsigned char code[2];
            while (io.GetDTMFCode(code) == 1)
                keys += zlsim::LineModel::KeyChar(code[0]);
            return !keys.empty() && keys.back() == '#';
        });
        std::printf("keys: %s\n", keys.empty() ? "(none)" : keys.c_str());
    }
    std::printf("PutDown: %d\n", io.PutDown());
    io.ExistUSB_IO();
    return r == 1 ? 0 : 1;
}

// An outgoing call: dial, then follow the call progress.
int Dial(const Options &o, zlsim::LineModel *line)
{
    CZusb_IO io(o.Index);
    if (!Reached(io))
        return 1;
    int r = io.PickUp();
    std::printf("PickUp: %d\n", r);
    std::string number = o.Number;
    if (r == 1) {
        r = io.DialNmb(number.data());
        std::printf("DialNmb %s: %d\n", number.c_str(), r);
    }
    if (r == 1) {
        r = io.SetContinueReturn450Hz(1);
        std::printf("SetContinueReturn450Hz: %d\n", r);
    }
    const char *outcome = "no answer";
    if (r == 1) {
        // The virtual far end picks up (or is busy) after one ringback.
        auto farEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        bool farEndDone = line == nullptr;
        WaitFor(o.WaitS, [&] {
            unsigned short pair[2];
            while (io.Get450HzRecd(pair) == 1)
                std::printf("450 Hz: %u %u\n", pair[0], pair[1]);
            if (!farEndDone && std::chrono::steady_clock::now() >= farEnd) {
                farEndDone = true;
                o.Busy ? line->Busy() : line->Answer();
            }
            if (io.GetCalledPickUpStatus() == 1)
                outcome = "answered";
            else if (io.ReadBusyBit() == 1)
                outcome = "busy";
            else
                return false;
            return true;
        });
        std::printf("%s\n", outcome);
    }
    std::printf("PutDown: %d\n", io.PutDown());
    io.ExistUSB_IO();
    return r == 1 ? 0 : 1;
}

// Shows playback progress until the box reports the end: a bar on a
// terminal, a line per tenth elsewhere. Returns the last rate.
int FollowPlayback(CZusb_IO &io, double seconds)
{
    const bool tty = ZLBOX_ISATTY(ZLBOX_FILENO(stdout)) != 0;
    int lastTenth = -1, rate = 0;
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<long>(seconds * 1500) + 5000);
    for (;;) {
        rate = io.GetWriteSoundRate();
        if (rate < 0)
            break;
        const int shown = rate > 1000 ? 1000 : rate;
        if (tty) {
            char bar[41];
            int filled = shown * 40 / 1000;
            for (int i = 0; i < 40; ++i)
                bar[i] = i < filled ? '#' : '-';
            bar[40] = 0;
            std::printf("\r[%s] %3d%%", bar, shown / 10);
            std::fflush(stdout);
        } else if (shown / 100 > lastTenth) {
            lastTenth = shown / 100;
            std::printf("progress %d%%\n", lastTenth * 10);
        }
        if (rate == 1000 || std::chrono::steady_clock::now() >= end)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (tty)
        std::printf("\n");
    return rate;
}

// A file the library can play: `file` itself when it is in the library's
// layout, else a temporary copy (`temp`) of its A-law sound in that layout.
// 0, or the exit status of a refusal.
int Playable(const std::string &file, std::string &path, std::string &temp, zlbox::WavInfo &info)
{
    std::string why;
    if (!zlbox::ReadWavInfo(file, info, why)) {
        std::fprintf(stderr, "zlbox: %s %s\n", file.c_str(), why.c_str());
        return 2;
    }
    if (!zlbox::IsALaw8k(info)) {
        std::fprintf(stderr, "zlbox: %s is %s; only 8000 Hz 8-bit A-law mono plays\n", file.c_str(),
                     zlbox::Describe(info).c_str());
        return 2;
    }
    path = file;
    if (!zlbox::IsLibraryLayout(info)) {
        std::vector<uint8_t> sound;
        temp = (std::filesystem::temp_directory_path() /
                ("zlbox-play-" + std::to_string(ZLBOX_PID()) + ".wav"))
                   .string();
        if (!zlbox::ReadSound(file, info, sound) || !zlbox::WriteLibraryLayout(temp, sound)) {
            std::fprintf(stderr, "zlbox: cannot rewrite %s for playback\n", file.c_str());
            std::remove(temp.c_str());
            return 1;
        }
        path = temp;
    }
    return 0;
}

// Plays a WAV file to the line.
int Play(const Options &o, zlsim::VirtualBox *box, const std::string &file)
{
    zlbox::WavInfo info;
    std::string path, temp;
    if (int refused = Playable(file, path, temp, info))
        return refused;
    if (box && o.Unpaced)
        box->SetPacing(zlsim::VirtualBox::Pacing::Unpaced);

    CZusb_IO io(o.Index);
    int rc = 1;
    if (Reached(io)) {
        int r = io.PickUp();
        std::printf("PickUp: %d\n", r);
        if (r == 1) {
            r = io.StartPlaySound(path.c_str(), o.StartPermille, 0, 1, 1);
            std::printf("StartPlaySound %s: %d\n", file.c_str(), r);
        }
        if (r == 1) {
            const int rate = FollowPlayback(io, static_cast<double>(info.DataSize) / 8000);
            std::printf(rate == 1000 ? "played\n" : rate < 0 ? "line released\n" : "no end reported\n");
            rc = rate == 1000 ? 0 : 1;
            std::printf("StopPlaySound: %d\n", io.StopPlaySound());
        }
        std::printf("PutDown: %d\n", io.PutDown());
        io.ExistUSB_IO();
    }
    if (!temp.empty())
        std::remove(temp.c_str());
    if (box && !o.SaveLine.empty()) {
        const std::vector<uint8_t> line = box->SoundOut();
        if (!zlbox::WriteLibraryLayout(o.SaveLine, line)) {
            std::fprintf(stderr, "zlbox: cannot write %s\n", o.SaveLine.c_str());
            return 1;
        }
        std::printf("line sound: %zu bytes to %s\n", line.size(), o.SaveLine.c_str());
    }
    return rc;
}

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

// An incoming call, answered and recorded as a call recorder does it.
int Record(const Options &o, zlsim::LineModel *line, const std::string &path)
{
    zlbox::WavInfo greetingInfo;
    std::string greeting, greetingTemp;
    if (!o.Greeting.empty()) {
        if (int refused = Playable(o.Greeting, greeting, greetingTemp, greetingInfo))
            return refused;
    }
    struct RemoveTemp {
        const std::string &Path;
        ~RemoveTemp()
        {
            if (!Path.empty())
                std::remove(Path.c_str());
        }
    } removeTemp{greetingTemp};
    CZusb_IO io(o.Index);
    if (line && !o.FarEnd.empty()) {
        std::string error;
        if (!line->Audio().LoadFarEnd(o.FarEnd, &error)) {
            std::fprintf(stderr, "zlbox: %s: %s\n", o.FarEnd.c_str(), error.c_str());
            return 2;
        }
    }
    if (!Reached(io))
        return 1;
    if (!AwaitCall(io, o, line))
        return 1;
    int r = io.PickUp();
    std::printf("PickUp: %d\n", r);
    if (r == 1 && !greeting.empty()) {
        // The answering machine: the greeting first, then the message.
        r = io.StartPlaySound(greeting.c_str(), 0, 0, 1, 1);
        std::printf("StartPlaySound %s: %d\n", o.Greeting.c_str(), r);
        if (r == 1) {
            const int rate = FollowPlayback(io, static_cast<double>(greetingInfo.DataSize) / 8000);
            std::printf(rate == 1000 ? "greeting played\n" : rate < 0 ? "line released\n" : "no end reported\n");
            std::printf("StopPlaySound: %d\n", io.StopPlaySound());
            if (rate < 0)
                r = -1;
        }
        // The virtual caller speaks after the greeting.
        if (r == 1 && line && !o.FarEnd.empty())
            line->Audio().StartFarEnd();
    }
    if (r == 1) {
        r = io.StartReadSoundCStrF(path.c_str());
        std::printf("StartReadSound: %d\n", r);
    }
    if (r != 1) {
        io.PutDown();
        io.ExistUSB_IO();
        return 1;
    }
    const bool live = ZLBOX_ISATTY(ZLBOX_FILENO(stdout)) != 0;
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
        unsigned char code[2];
        while (io.GetDTMFCode(code) == 1)
            keys += zlsim::LineModel::KeyChar(code[0]);
        if (!keys.empty() && keys.back() == '#') {
            why = "caller pressed #";
            break;
        }
        if (io.CheckPutDown() == 0) {
            why = "caller hung up";
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
    long audio = 0;
    if (size < 48 || !CompleteWav(path, audio) || audio + 48 != size) {
        std::printf("%s: incomplete\n", path.c_str());
        return 1;
    }
    std::printf("%s: %.2f s of A-law audio\n", path.c_str(), audio / 8000.0);
    return 0;
}

// A whole number in [lo, hi], nothing before or after it.
bool ParseWhole(const std::string &text, long lo, long hi, int &out)
{
    char *end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || v < lo || v > hi)
        return false;
    out = static_cast<int>(v);
    return true;
}

std::string BitNames(unsigned word)
{
    std::string names;
    unsigned known = 0;
    for (const Bit &b : Bits) {
        known |= b.Mask;
        if (word & b.Mask) {
            if (!names.empty())
                names += ' ';
            names += b.Name;
        }
    }
    if (word & ~known) {
        char extra[32];
        std::snprintf(extra, sizeof extra, "%s0x%X", names.empty() ? "" : " ", word & ~known);
        names += extra;
    }
    return names.empty() ? "(none)" : names;
}

int Status(int index)
{
    CZusb_IO io(index);
    io.InitialUSB_IOEx(0);
    int reached = io.IfConnectUSB() == 0;
    unsigned word = static_cast<unsigned>(io.GetTelStatus());
    std::printf("device %d: %s\n", index, reached ? "box reached" : "box not reached");
    std::printf("DeviceStatus 0x%08X: %s\n", word, BitNames(word).c_str());
    io.ExistUSB_IO();
    return reached ? 0 : 1;
}

}  // namespace

namespace {
int ServeMain(int argc, char **argv)
{
    zlbox::ServeOptions so;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "zlbox serve: %s needs a value\n", argv[i]);
            return 2;
        }
        if (a == "--boxes") {
            so.Boxes.clear();
            for (char c : std::string(argv[++i]))
                if (c >= '0' && c <= '3')
                    so.Boxes.push_back(c - '0');
                else if (c != ',')
                    return 2;
        } else if (a == "--listen") {
            so.Listen = argv[++i];
        } else if (a == "--script") {
            so.Script = argv[++i];
        } else if (a == "--pace") {
            so.Pace = std::atof(argv[++i]);
        } else {
            return 2;
        }
    }
    return so.Boxes.empty() ? 2 : zlbox::Serve(so);
}

int LineMain(int argc, char **argv)
{
    std::string connect;
    int box = 0;
    std::vector<std::string> words;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--connect" && i + 1 < argc)
            connect = argv[++i];
        else if ((a == "--device" || a == "-d") && i + 1 < argc)
            box = std::atoi(argv[++i]);
        else if (a == "--format" && i + 1 < argc)
            words.push_back(argv[++i]);
        else
            words.push_back(a);
    }
    return zlbox::LineCommand(connect, box, words);
}
}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::string(argv[1]) == "serve")
        return ServeMain(argc, argv);
    if (argc > 1 && std::string(argv[1]) == "line")
        return LineMain(argc, argv);
    Options o;
    const char *command = nullptr;
    const char *number = nullptr;   // --number
    const char *operand = nullptr;  // NUMBER of call and dial, FILE of record
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string next = i + 1 < argc ? argv[i + 1] : "";
        if (a == "-h" || a == "--help")
            return Usage(stdout);
        // Takes the option's value, or says what it takes.
        auto whole = [&](long lo, long hi, int &out, const char *takes) {
            if (!ParseWhole(next, lo, hi, out)) {
                std::fprintf(stderr, "zlbox: %s\n", takes);
                return false;
            }
            ++i;
            return true;
        };
        if (a == "--device" || a == "-d") {
            if (!whole(0, 3, o.Index, "--device takes an index from 0 to 3"))
                return 2;
        } else if (a == "--driver") {
            ++i;
            if (next == "virtual")
                o.Virtual = true;
            else if (next == "system")
                o.Virtual = false;
            else {
                std::fprintf(stderr, "zlbox: --driver takes virtual or system\n");
                return 2;
            }
        } else if (a == "--format") {
            ++i;
            if (next == "sdmf")
                o.Format = zlsim::CallerIdType::Sdmf;
            else if (next == "mdmf")
                o.Format = zlsim::CallerIdType::Mdmf;
            else if (next == "digits")
                o.Format = zlsim::CallerIdType::Digits;
            else {
                std::fprintf(stderr, "zlbox: --format takes sdmf, mdmf or digits\n");
                return 2;
            }
        } else if (a == "--keys" && i + 1 < argc) {
            o.Keys = argv[++i];
            o.KeysGiven = true;
        } else if (a == "--start") {
            if (!whole(0, 1000, o.StartPermille, "--start takes 0 to 1000 thousandths"))
                return 2;
        } else if (a == "--save-line" && i + 1 < argc) {
            o.SaveLine = argv[++i];
        } else if (a == "--unpaced") {
            o.Unpaced = true;
        } else if (a == "--number" && i + 1 < argc) {
            number = argv[++i];
        } else if (a == "--greeting" && i + 1 < argc) {
            o.Greeting = argv[++i];
        } else if (a == "--far-end" && i + 1 < argc) {
            o.FarEnd = argv[++i];
        } else if (a == "--seconds") {
            if (!whole(1, 86400, o.Seconds, "--seconds takes 1 to 86400 seconds"))
                return 2;
        } else if (a == "--busy") {
            o.Busy = true;
        } else if (a == "--wait") {
            if (!whole(1, 3600, o.WaitS, "--wait takes 1 to 3600 seconds"))
                return 2;
        } else if (!command && a[0] != '-') {
            command = argv[i];
        } else if (command && !operand && a[0] != '-') {
            operand = argv[i];
        } else {
            std::fprintf(stderr, "zlbox: unexpected argument '%s'\n", argv[i]);
            return Usage(stderr);
        }
    }
    if (!command)
        return Usage(stderr);
    const std::string cmd = command;
    if (cmd != "status" && cmd != "call" && cmd != "dial" && cmd != "info" && cmd != "record" &&
        cmd != "play") {
        std::fprintf(stderr, "zlbox: unknown command '%s'\n", command);
        return Usage(stderr);
    }
    std::string file;
    if (cmd == "record" || cmd == "play") {
        if (!operand) {
            std::fprintf(stderr, "zlbox: %s needs a file\n", cmd.c_str());
            return 2;
        }
        file = operand;
        operand = nullptr;
        if (cmd == "record" && !o.KeysGiven)
            o.Keys.clear();
    } else if (operand) {
        if (number) {
            std::fprintf(stderr, "zlbox: the number is given twice\n");
            return 2;
        }
        number = operand;
    }
    if (((cmd == "status" || cmd == "info") && number) || (cmd == "dial" && !number)) {
        std::fprintf(stderr, "zlbox: %s\n", number ? "only call, dial and record take a number" : "dial needs a number");
        return 2;
    }
    o.Number = number ? number : "13800138000";

    const char *served = std::getenv("ZPLR_DRIVER");
    if (served && *served)
        o.Virtual = false;
    zlsim::VirtualDriver driver;
    std::unique_ptr<zlsim::LineModel> line;
    std::unique_ptr<zlsim::RecordModel> records;
    if (o.Virtual) {
        driver.Plug(o.Index);
        ZlSetDriverBackend(&driver);
        line = std::make_unique<zlsim::LineModel>(driver.Box(o.Index));
        records = std::make_unique<zlsim::RecordModel>(driver.Box(o.Index));
    }
    int rc = cmd == "status" ? Status(o.Index)
             : cmd == "call" ? Call(o, line.get())
             : cmd == "dial" ? Dial(o, line.get())
             : cmd == "play" ? Play(o, o.Virtual ? &driver.Box(o.Index) : nullptr, file)
             : cmd == "record" ? Record(o, line.get(), file)
                             : Info(o);
    records.reset();
    line.reset();
    ZlSetDriverBackend(nullptr);
    return rc;
}
