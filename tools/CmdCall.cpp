// zlbox call: an incoming call, handled as an application would.
#include <cstdio>

#include "tools/Interrupt.h"
#include "tools/Tool.h"

namespace zlbox {

namespace {

int Call(const Options &o, Box &box)
{
    zlsim::LineModel *line = box.Line;
    if (int refused = VirtualOnly(box, o, o.CallVirtualGiven))
        return refused;
    CatchInterrupts();
    CZusb_IO io(o.Index);
    if (!Reached(io, o))
        return ExitFailed;
    if (!AwaitCall(io, o, line))
        return ExitTimedOut;
    int r = io.PickUp();
    std::printf("PickUp: %d\n", r);
    int rc = r == 1 ? ExitDone : ExitFailed;
    if (r == 1) {
        if (line)
            line->PressKeys(o.Keys);
        std::string keys;
        const bool hash = WaitFor(o.WaitS, [&] {
            TakeKeys(io, keys);
            return Interrupted() || (!keys.empty() && keys.back() == '#');
        }) && !Interrupted();
        std::printf("keys: %s\n", keys.empty() ? "(none)" : keys.c_str());
        if (!hash && !Interrupted()) {
            std::fprintf(stderr, "zlbox: no '#' within %s\n", Seconds(o.WaitS).c_str());
            rc = ExitTimedOut;
        }
    }
    std::printf("PutDown: %d\n", io.PutDown());
    io.ExistUSB_IO();
    return rc;
}

}  // namespace

void AddCall(Registry &r)
{
    Options &o = r.Opts;
    CLI::App *sub = r.App.add_subcommand(
        "call", "wait for an incoming call, show the caller's number, answer, show the keys pressed until '#', "
                "hang up; on the virtual box NUMBER calls in and presses --keys");
    CLI::Option *number =
        sub->add_option("NUMBER,--number", o.Number, "virtual caller's number")->check(NumberChars)->capture_default_str();
    AddCallerOptions(*sub, o);
    CLI::Option *noCall = sub->add_flag("--no-call", o.NoCall, "virtual: no call comes");
    CLI::Option *keys =
        sub->add_option("--keys", o.Keys, "virtual keys pressed after the answer")->check(KeyChars)->capture_default_str();
    sub->callback([&run = r.Run, &o, number, noCall, keys] {
        for (CLI::Option *opt : {number, noCall, keys})
            if (opt->count())
                o.CallVirtualGiven.push_back(opt == number ? "NUMBER" : opt == keys ? "--keys" : "--no-call");
        if (o.FormatGiven)
            o.CallVirtualGiven.push_back("--format");
        run = Call;
    });
}

}  // namespace zlbox
