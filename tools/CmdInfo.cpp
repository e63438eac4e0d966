// zlbox info: the library version and the box's identity records.
#include <cstdio>

#include "tools/Tool.h"

namespace zlbox {

namespace {

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

int Info(const Options &o, Box &)
{
    CZusb_IO io(o.Index);
    char version[23];
    io.ReadzPLRVersion(version);
    // The library's version text stays as applications of the box expect it;
    // the package version is this build's own.
    std::printf("zPLR %s (package %s)\n", version, ZPLR_PACKAGE_VERSION);
    if (!Reached(io, o))
        return ExitFailed;
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
    return failures ? ExitFailed : ExitDone;
}

}  // namespace

void AddInfo(Registry &r)
{
    CLI::App *sub = r.App.add_subcommand("info", "show the library version and the box's identity records");
    sub->callback([&run = r.Run] { run = Info; });
}

}  // namespace zlbox
