// zlbox: drive a ZL box, real or virtual, from the command line.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <map>
#include <memory>

#include "tools/Interrupt.h"
#include "tools/Tool.h"

#include "sim/RecordModel.h"
#include "sim/VirtualBox.h"

namespace {

using namespace zlbox;

const char *ExitText = "Exit status:\n"
                       "  0  done\n"
                       "  1  box not reached, or the command failed\n"
                       "  2  bad arguments, or a file that cannot be taken\n"
                       "  3  timed out: no call, no answer or no '#' within --wait\n"
                       "  4  the far end was busy\n"
                       "  130, 143  ended by Ctrl-C (SIGINT) or SIGTERM\n";

// The in-process virtual box with its line and records.
struct VirtualSetup {
    zlsim::VirtualDriver Driver;
    std::unique_ptr<zlsim::LineModel> Line;
    std::unique_ptr<zlsim::RecordModel> Records;
    ~VirtualSetup()
    {
        Records.reset();
        Line.reset();
        ZlSetDriverBackend(nullptr);
    }
};

// The one place that chooses what the commands talk to: the virtual box
// plugged in at the chosen index, or the library's own choice: the box
// served at ZPLR_DRIVER, else the platform's own driver.
std::unique_ptr<VirtualSetup> ChooseBackend(const Options &o, Box &box)
{
    const char *served = std::getenv("ZPLR_DRIVER");
    if (!o.Virtual || o.StandAlone || (served && *served))
        return nullptr;
    auto v = std::make_unique<VirtualSetup>();
    v->Driver.Plug(o.Index);
    ZlSetDriverBackend(&v->Driver);
    v->Line = std::make_unique<zlsim::LineModel>(v->Driver.Box(o.Index));
    v->Records = std::make_unique<zlsim::RecordModel>(v->Driver.Box(o.Index));
    box.Driver = &v->Driver;
    box.Virtual = &v->Driver.Box(o.Index);
    box.Line = v->Line.get();
    return v;
}

// A trace file that cannot be written would send the trace to stderr.
int CheckTraceFile()
{
    const char *trace = std::getenv("ZPLR_TRACE");
    if (!trace || !*trace || std::strcmp(trace, "0") == 0 || std::strcmp(trace, "1") == 0)
        return 0;
    std::FILE *f = std::fopen(trace, "a");
    if (!f) {
        std::fprintf(stderr, "zlbox: ZPLR_TRACE=%s: the trace file cannot be written: %s\n", trace,
                     std::strerror(errno));
        return ExitBadArgs;
    }
    std::fclose(f);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    // Every line goes out as it is printed, also into a pipe. The Windows C
    // runtime has no line buffering, so there nothing is buffered.
#ifdef _WIN32
    std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
#endif

    Options o;
    Runner run;
    CLI::App app{"zlbox: drive a ZL telephone-line box, real or virtual, from the command line.", "zlbox"};
    app.fallthrough();  // the global options may also follow the subcommand
    app.allow_windows_style_options(false);  // "/path/file.wav" is a file, also on Windows
    app.require_subcommand(1);
    app.footer(ExitText);

    app.add_option("-d,--device", o.Index, "device index, 0 to 3")->check(CLI::Range(0, 3))->capture_default_str();
    std::string driver = "virtual";
    app.add_option("--driver", driver,
                   "virtual: the built-in virtual box; system: the platform's own driver")
        ->check(CLI::IsMember({"virtual", "system"}))
        ->capture_default_str();
    app.add_option("--wait", o.WaitS, "seconds any wait of the command may take: for the call, the answer, the keys")
        ->check(PositiveSeconds)
        ->capture_default_str();

    bool trace = false;
    app.add_flag("--trace", trace,
                 "every transfer with the box on stderr, decoded (as ZPLR_TRACE=1; "
                 "ZPLR_TRACE=FILE writes to a file)");

    Registry r{app, o, run};
    AddStatus(r);
    AddCall(r);
    AddDial(r);
    AddInfo(r);
    AddRecord(r);
    AddRepair(r);
    AddPlay(r);
    AddMonitor(r);
    AddServe(r);
    AddLine(r);
    const std::string subFooter = std::string("Global options, before or after the command: -d,--device N, "
                                              "--driver virtual|system, --wait S (see zlbox --help).\n\n") +
                                  ExitText;
    for (CLI::App *sub : app.get_subcommands({}))
        sub->footer(subFooter);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // Help is 0; every other parse error is 2, whatever CLI11's own code.
        const int code = app.exit(e);
        return code == 0 ? ExitDone : ExitBadArgs;
    }
    o.Virtual = driver == "virtual";
    // Read by the library when it first reaches a box, which is later.
    if (trace) {
#ifdef _WIN32
        _putenv_s("ZPLR_TRACE", "1");
#else
        setenv("ZPLR_TRACE", "1", 1);
#endif
    }

    if (!o.StandAlone) {
        if (int refused = CheckTraceFile())
            return refused;
        ShowLibraryMessages();
    }
    Box box;
    auto backend = ChooseBackend(o, box);
    const int rc = run ? run(o, box) : ExitBadArgs;
    if (const int sig = Interruption()) {
        std::fprintf(stderr, "zlbox: interrupted\n");
        return 128 + sig;
    }
    return rc;
}
