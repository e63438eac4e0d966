// Helpers the subcommands share.
#include "tools/Tool.h"
#include "tools/Interrupt.h"

#include <cmath>
#include <cstdio>
#include <map>

#ifdef _WIN32
#include <io.h>
#define ZLBOX_ISATTY _isatty
#define ZLBOX_FILENO _fileno
#else
#include <unistd.h>
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
    sub.add_option("--format", o.Format, "virtual caller ID: sdmf (default), mdmf or digits")
        ->transform(CLI::CheckedTransformer(formats, CLI::ignore_case))
        ->option_text("sdmf|mdmf|digits");
}

std::string Seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

bool StdoutIsTerminal() { return ZLBOX_ISATTY(ZLBOX_FILENO(stdout)) != 0; }

bool Reached(CZusb_IO &io, const Options &o)
{
    io.InitialUSB_IOEx(0);
    if (WaitFor(o.WaitS < 2 ? o.WaitS : 2, [&] { return io.IfConnectUSB() == 0; }))
        return true;
    std::fprintf(stderr, "zlbox: device %d: box not reached\n", io.DeviceIndex);
    return false;
}

bool AwaitCall(CZusb_IO &io, const Options &o, zlsim::LineModel *line)
{
    if (line && !o.NoCall)
        line->Ring(o.Number, o.Format);
    std::printf("waiting for a call\n");
    if (WaitFor(o.WaitS, [&] { return Interrupted() || io.CheckCallStatus() == 1; }) && !Interrupted())
        return true;
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
