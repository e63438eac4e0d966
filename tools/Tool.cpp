// Helpers the subcommands share.
#include "tools/Tool.h"
#include "tools/Interrupt.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "tools/serve/Serve.h"
#include "zPLR_host.h"

#ifdef _WIN32
#include <io.h>
#define ZLBOX_ACCESS_W(p) _access(p, 2)
#define ZLBOX_ISATTY _isatty
#define ZLBOX_FILENO _fileno
#else
#include <unistd.h>
#define ZLBOX_ACCESS_W(p) access(p, W_OK)
#define ZLBOX_ISATTY isatty
#define ZLBOX_FILENO fileno
#endif

namespace zlbox {

namespace {

// Empty when every character of `text` is in `allowed` (letters in either
// case), else what is wrong.
std::string OnlyFrom(const std::string &text, const std::string &allowed, const char *what)
{
    for (char c : text) {
        const char upper = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        if (allowed.find(upper) == std::string::npos)
            return std::string("'") + c + "' is not " + what;
    }
    return {};
}

}  // namespace

const CLI::Validator NumberChars(
    [](std::string &v) -> std::string {
        if (v.empty())
            return "the number is empty";
        return OnlyFrom(v, "0123456789*#ABCDEFGHIJKL", "a dial code (0-9, *, #, A-L)");
    },
    "0-9*#A-L");

const CLI::Validator KeyChars(
    [](std::string &v) -> std::string {
        for (char &c : v)
            if (c >= 'a' && c <= 'd')
                c = static_cast<char>(c - 'a' + 'A');
        return OnlyFrom(v, "0123456789*#ABCD", "a key (0-9, *, #, A-D)");
    },
    "0-9*#A-D");

const CLI::Validator PositiveSeconds(
    [](std::string &v) -> std::string {
        char *end = nullptr;
        const double s = std::strtod(v.c_str(), &end);
        if (v.empty() || *end || !std::isfinite(s) || s <= 0 || s > 86400)
            return "'" + v + "' is not a number of seconds above 0 (at most 86400)";
        return {};
    },
    "SECONDS");

void AddCallerOptions(CLI::App &sub, Options &o)
{
    const std::map<std::string, zlsim::CallerIdType> formats{
        {"sdmf", zlsim::CallerIdType::Sdmf},
        {"mdmf", zlsim::CallerIdType::Mdmf},
        {"digits", zlsim::CallerIdType::Digits},
    };
    // A validator of our own: CLI11's transformer would show the enum's
    // values as raw bytes in its message.
    sub.add_option_function<std::string>(
           "--format",
           [&o, formats](const std::string &v) {
               o.Format = formats.at(v);
               o.FormatGiven = true;
           },
           "virtual caller ID: sdmf (default), mdmf or digits")
        ->check(CLI::Validator(
            [](std::string &v) -> std::string {
                std::string lower = v;
                for (char &c : lower)
                    c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
                if (lower != "sdmf" && lower != "mdmf" && lower != "digits")
                    return "'" + v + "' is not a caller-ID format: sdmf, mdmf or digits";
                v = lower;
                return {};
            },
            "sdmf|mdmf|digits"))
        ->option_text("sdmf|mdmf|digits");
}

bool ServedBox()
{
    const char *served = std::getenv("ZPLR_DRIVER");
    return served && *served;
}

int VirtualOnly(const Box &box, const Options &, const std::vector<const char *> &given)
{
    if (box.Line || given.size() == 0)
        return 0;
    std::string names;
    for (const char *g : given) {
        if (!names.empty())
            names += ", ";
        names += g;
    }
    if (ServedBox())
        std::fprintf(stderr,
                     "zlbox: %s: acts only on zlbox's own virtual box, and ZPLR_DRIVER names a served one;\n"
                     "       drive its line with zlbox line (ring, keys, far-end, answer, busy, hangup, "
                     "save-playback)\n",
                     names.c_str());
    else
        std::fprintf(stderr, "zlbox: %s: acts only on the virtual box (--driver virtual)\n", names.c_str());
    return ExitBadArgs;
}

int CheckOutput(const std::string &path, const char *what)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path p(path);
    auto refuse = [&](const std::string &why) {
        std::fprintf(stderr, "zlbox: %s %s: %s\n", what, path.c_str(), why.c_str());
        return ExitBadArgs;
    };
    if (path.empty())
        return refuse("no file named");
    if (fs::is_directory(p, ec))
        return refuse("is a folder, not a file");
    const fs::path folder = p.has_parent_path() ? p.parent_path() : fs::path(".");
    if (!fs::is_directory(folder, ec))
        return refuse("the folder " + folder.string() + " does not exist");
    if (fs::exists(p, ec) ? ZLBOX_ACCESS_W(path.c_str()) != 0 : ZLBOX_ACCESS_W(folder.string().c_str()) != 0)
        return refuse(std::string("cannot be written: ") + std::strerror(errno));
    return 0;
}

bool SameFile(const std::string &a, const std::string &b)
{
    namespace fs = std::filesystem;
    if (a.empty() || b.empty())
        return false;
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec))
        return fs::equivalent(a, b, ec);
    return fs::weakly_canonical(fs::absolute(a, ec), ec) == fs::weakly_canonical(fs::absolute(b, ec), ec);
}

std::string RecordedPath(const std::string &path)
{
    std::string out;
    for (char c : path)
        if (c != '*' && c != '#')
            out += c;
    return out;
}


std::string JsonText(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

bool StdoutIsTerminal() { return ZLBOX_ISATTY(ZLBOX_FILENO(stdout)) != 0; }

void ExplainNotReached(int index)
{
    if (!ServedBox())
        return;
    // The server knows why; say what can be seen from here.
    const std::string address = std::getenv("ZPLR_DRIVER");
    std::string why;
    if (ServerAnswers(address, why))
        std::fprintf(stderr,
                     "zlbox: the server at %s answers: box %d is in use by another process, or not "
                     "served there (its log says which)\n",
                     address.c_str(), index);
    else
        std::fprintf(stderr, "zlbox: no server at ZPLR_DRIVER=%s: %s\n", address.c_str(), why.c_str());
}

bool Reached(CZusb_IO &io, const Options &o)
{
    io.InitialUSB_IOEx(0);
    if (WaitFor(o.WaitS < 2 ? o.WaitS : 2, [&] { return io.IfConnectUSB() == 0; }))
        return true;
    std::fprintf(stderr, "zlbox: device %d: box not reached\n", io.DeviceIndex);
    ExplainNotReached(io.DeviceIndex);
    return false;
}

bool AwaitCall(CZusb_IO &io, const Options &o, zlsim::LineModel *line)
{
    if (line && !o.NoCall)
        line->Ring(o.Number, o.Format);
    std::printf("waiting for a call\n");
    if (WaitFor(o.WaitS, [&] { return Interrupted() || io.CheckCallStatus() == 1; }) && !Interrupted()) {
        std::printf("incoming call\n");
        // The caller ID follows the first ring.
        std::string number;
        const double idWait = line ? 2 : 6;
        WaitFor(idWait < o.WaitS ? idWait : o.WaitS, [&] { return !(number = io.ReadstrCallNmb()).empty(); });
        std::printf("caller: %s\n", number.empty() ? "(no number)" : number.c_str());
        return true;
    }
    if (!Interrupted())
        std::fprintf(stderr, "zlbox: no call within %s\n", Seconds(o.WaitS).c_str());
    io.ExistUSB_IO();
    return false;
}

bool TakeKeys(CZusb_IO &io, std::string &keys, const char *before)
{
    unsigned char code[2];
    bool any = false;
    while (io.GetDTMFCode(code) == 1) {
        const char key = zlsim::LineModel::KeyChar(code[0]);
        if (!any)
            std::printf("%s", before);
        keys += key;
        std::printf("key: %c\n", key);
        any = true;
    }
    return any;
}

int FollowPlayback(CZusb_IO &io, double seconds)
{
    const bool tty = StdoutIsTerminal();
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
        if (rate == 1000 || Interrupted() || std::chrono::steady_clock::now() >= end)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (tty)
        std::printf("\n");
    return rate;
}

}  // namespace zlbox

namespace zlbox {

namespace {

// The alarm as the library formats it: code page 936 around the box number.
const char AlarmHead[] = "          ZL(";
const char AlarmBody[] = "\xC1\xAC\xBD\xD3\xB2\xBB\xD5\xFD\xB3\xA3";  // "connection abnormal"

extern "C" void OnLibraryMessage(const char *text, unsigned)
{
    if (!text)
        return;
    const std::string t = text;
    std::string original, english;
    if (t.rfind(AlarmHead, 0) == 0 && t.find(AlarmBody) != std::string::npos) {
        const int box = std::atoi(t.c_str() + sizeof AlarmHead - 1);
        original = "ZL(" + std::to_string(box) +
                   ")\xE8\xBF\x9E\xE6\x8E\xA5\xE4\xB8\x8D\xE6\xAD\xA3\xE5\xB8\xB8! "
                   "\xE6\x88\x96\xE8\xAF\xB7\xE5\x85\x88\xE9\x80\x80\xE5\x87\xBA\xE5\xBA\x94\xE7\x94\xA8"
                   "\xE7\xA8\x8B\xE5\xBA\x8F\xE5\x90\x8E\xEF\xBC\x8C\xE5\x86\x8D\xE6\x8B\x94\xE5\x87\xBA"
                   "USB\xE6\x8E\xA5\xE5\xA4\xB4\xE3\x80\x82 "
                   "\xE6\x88\x96USB\xE9\x93\xBE\xE6\x8E\xA5\xE5\xA4\xB4\xE6\x8E\xA5\xE8\xA7\xA6\xE4\xB8\x8D"
                   "\xE8\x89\xAF\xE3\x80\x82";
        english = "the connection to box ZL(" + std::to_string(box) +
                  ") is broken: close the application before pulling out the USB plug, or the plug has a "
                  "bad contact";
    } else if (t == "In StopReadSound Error!") {
        original = t;
        english = "the recording did not end in time; its file holds the audio read up to then";
    } else if (t == "Receive Error!") {
        original = t;
        english = "the box's test echo did not come back as it was sent";
    } else {
        // A text of no known message: its bytes as they came.
        original = t;
        english = "(no translation)";
    }
    std::fprintf(stderr, "zlbox: library message: %s\n       in English: %s\n", original.c_str(), english.c_str());
    std::fflush(stderr);
}

}  // namespace

void ShowLibraryMessages() { ZlSetMessageHandler(OnLibraryMessage); }

}  // namespace zlbox
