// zlbox: drive a ZL box, real or virtual, from the command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
                 "usage: zlbox [--device N] [--driver virtual|system] status\n"
                 "  status   start a session, tell whether the box was reached and\n"
                 "           show its status word, then end the session\n"
                 "  --device N   device index 0 to 3 (default 0)\n"
                 "  --driver     virtual: the built-in virtual box (default);\n"
                 "               system: the box's own driver\n");
    return to == stdout ? 0 : 2;
}

bool ParseIndex(const char *s, int &out)
{
    char *end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (!*s || *end || v < 0 || v > 3)
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

int main(int argc, char **argv)
{
    int index = 0;
    bool virtualBox = true;
    const char *command = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help")
            return Usage(stdout);
        if (a == "--device" || a == "-d") {
            if (i + 1 >= argc || !ParseIndex(argv[i + 1], index)) {
                std::fprintf(stderr, "zlbox: --device takes an index from 0 to 3\n");
                return 2;
            }
            ++i;
        } else if (a == "--driver") {
            std::string v = i + 1 < argc ? argv[++i] : "";
            if (v == "virtual")
                virtualBox = true;
            else if (v == "system")
                virtualBox = false;
            else {
                std::fprintf(stderr, "zlbox: --driver takes virtual or system\n");
                return 2;
            }
        } else if (!command && a[0] != '-') {
            command = argv[i];
        } else {
            std::fprintf(stderr, "zlbox: unexpected argument '%s'\n", argv[i]);
            return Usage(stderr);
        }
    }
    if (!command)
        return Usage(stderr);
    if (std::strcmp(command, "status") != 0) {
        std::fprintf(stderr, "zlbox: unknown command '%s'\n", command);
        return Usage(stderr);
    }

    zlsim::VirtualDriver driver;
    if (virtualBox) {
        driver.Plug(index);
        ZlSetDriverBackend(&driver);
    }
    int rc = Status(index);
    ZlSetDriverBackend(nullptr);
    return rc;
}
