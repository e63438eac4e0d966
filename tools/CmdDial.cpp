// zlbox dial: an outgoing call, followed until the far end answers or is busy.
#include <cstdio>
#include <vector>

#include "tools/Interrupt.h"
#include "tools/Tool.h"

namespace zlbox {

namespace {

int Dial(const Options &o, Box &box)
{
    zlsim::LineModel *line = box.Line;
    std::vector<const char *> given;
    if (o.Busy)
        given.push_back("--busy");
    if (o.NoAnswer)
        given.push_back("--no-answer");
    if (int refused = VirtualOnly(box, o, given))
        return refused;
    CatchInterrupts();
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
    int rc = r == 1 ? ExitTimedOut : ExitFailed;
    if (r == 1) {
        // The virtual far end picks up (or is busy) after one ringback.
        auto farEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        bool farEndDone = line == nullptr || o.NoAnswer;
        const char *outcome = nullptr;
        WaitFor(o.WaitS, [&] {
            unsigned short pair[2];
            while (io.Get450HzRecd(pair) == 1)
                std::printf("450 Hz: %s %u ms\n", pair[0] ? "tone" : "silence", pair[1] * 10u);
            if (!farEndDone && std::chrono::steady_clock::now() >= farEnd) {
                farEndDone = true;
                o.Busy ? line->Busy() : line->Answer();
            }
            if (Interrupted())
                return true;
            if (io.GetCalledPickUpStatus() == 1) {
                outcome = "answered";
                rc = ExitDone;
            } else if (io.ReadBusyBit() == 1) {
                outcome = "busy";
                rc = ExitBusy;
            } else {
                return false;
            }
            return true;
        });
        if (outcome)
            std::printf("%s\n", outcome);
        else if (!Interrupted())
            std::fprintf(stderr, "zlbox: far end did not answer within %s\n", Seconds(o.WaitS).c_str());
    }
    std::printf("PutDown: %d\n", io.PutDown());
    io.ExistUSB_IO();
    return rc;
}

}  // namespace

void AddDial(Registry &r)
{
    Options &o = r.Opts;
    CLI::App *sub = r.App.add_subcommand(
        "dial", "pick up, dial NUMBER, follow the 450 Hz measurements until the far end answers or is busy, hang up");
    sub->add_option("NUMBER", o.Number, "the number to dial: 0-9, *, #, A-L")->required()->check(NumberChars);
    CLI::Option *busy = sub->add_flag("--busy", o.Busy, "virtual far end is busy instead of answering");
    sub->add_flag("--no-answer", o.NoAnswer, "virtual far end never answers")->excludes(busy);
    sub->callback([&run = r.Run] { run = Dial; });
}

}  // namespace zlbox
