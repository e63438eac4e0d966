// zlbox dial: an outgoing call, followed until the far end answers or is busy.
#include <cstdio>

#include "tools/Tool.h"

namespace zlbox {

namespace {

int Dial(const Options &o, Box &box)
{
    zlsim::LineModel *line = box.Line;
    CZusb_IO io(o.Index);
    if (!Reached(io, o))
        return ExitFailed;
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
    return r == 1 ? ExitDone : ExitFailed;
}

}  // namespace

void AddDial(Registry &r)
{
    Options &o = r.Opts;
    CLI::App *sub = r.App.add_subcommand(
        "dial", "pick up, dial NUMBER, follow the 450 Hz measurements until the far end answers or is busy, hang up");
    sub->add_option("NUMBER", o.Number, "the number to dial: 0-9, *, #, A-L")->required()->check(NumberChars);
    sub->add_flag("--busy", o.Busy, "virtual far end is busy instead of answering");
    sub->callback([&run = r.Run] { run = Dial; });
}

}  // namespace zlbox
