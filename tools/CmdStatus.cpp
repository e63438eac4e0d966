// zlbox status: whether the box is reached, and its status word.
#include <cstdio>

#include "tools/Tool.h"

namespace zlbox {

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

int Status(const Options &o, Box &)
{
    CZusb_IO io(o.Index);
    io.InitialUSB_IOEx(0);
    int reached = io.IfConnectUSB() == 0;
    unsigned word = static_cast<unsigned>(io.GetTelStatus());
    std::printf("device %d: %s\n", o.Index, reached ? "box reached" : "box not reached");
    std::printf("DeviceStatus 0x%08X: %s\n", word, BitNames(word).c_str());
    io.ExistUSB_IO();
    if (!reached)
        ExplainNotReached(o.Index);
    return reached ? ExitDone : ExitFailed;
}

}  // namespace

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

void AddStatus(Registry &r)
{
    CLI::App *sub = r.App.add_subcommand(
        "status", "start a session, tell whether the box was reached and show its status word, then end the session");
    sub->callback([&run = r.Run] { run = Status; });
}

}  // namespace zlbox
