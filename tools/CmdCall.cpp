// zlbox call: an incoming call, handled as an application would.
#include <cstdio>

#include "tools/Tool.h"

namespace zlbox {

namespace {

int Call(const Options &o, Box &box)
{
    zlsim::LineModel *line = box.Line;
    CZusb_IO io(o.Index);
    if (!Reached(io, o))
        return ExitFailed;
    if (!AwaitCall(io, o, line))
        return ExitFailed;
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
    return r == 1 ? ExitDone : ExitFailed;
}

}  // namespace

void AddCall(Registry &r)
{
    Options &o = r.Opts;
    CLI::App *sub = r.App.add_subcommand(
        "call", "wait for an incoming call, show the caller's number, answer, show the keys pressed until '#', "
                "hang up; on the virtual box NUMBER calls in and presses --keys");
    sub->add_option("NUMBER,--number", o.Number, "virtual caller's number")->check(NumberChars)->capture_default_str();
    AddCallerOptions(*sub, o);
    sub->add_option("--keys", o.Keys, "virtual keys pressed after the answer")->check(KeyChars)->capture_default_str();
    sub->callback([&run = r.Run] { run = Call; });
}

}  // namespace zlbox
