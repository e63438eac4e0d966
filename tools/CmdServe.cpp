// zlbox serve: virtual boxes for other processes, over a socket.
#include <cstdlib>

#include "tools/Tool.h"
#include "tools/serve/Serve.h"

namespace zlbox {

void AddServe(Registry &r)
{
    static ServeOptions so;
    static std::vector<int> boxes{0};
    CLI::App *sub = r.App.add_subcommand(
        "serve", "serve virtual boxes to applications on this machine (ZPLR_DRIVER) until Ctrl-C");
    sub->add_option("--boxes", boxes, "box indices to plug, e.g. 0,1")
        ->delimiter(',')
        ->check(CLI::Range(0, 3))
        ->capture_default_str();
    const CLI::Validator address(
        [](std::string &v) -> std::string {
            if (v.rfind("unix:", 0) == 0 && v.size() > 5)
                return {};
            const std::string loopback = "tcp:127.0.0.1:";
            if (v.rfind(loopback, 0) == 0) {
                const std::string port = v.substr(loopback.size());
                char *end = nullptr;
                const long n = std::strtol(port.c_str(), &end, 10);
                if (!port.empty() && *end == 0 && n >= 1 && n <= 65535)
                    return {};
            }
            return "'" + v + "' is not unix:PATH or tcp:127.0.0.1:PORT";
        },
        "ADDRESS");
    sub->add_option("--listen", so.Listen,
                    "unix:PATH or tcp:127.0.0.1:PORT (default: a socket of this user's)")
        ->check(address);
    sub->add_option("--script", so.Script,
                    "line commands on a timeline: lines \"AT[/EVERY] [@BOX] COMMAND\", in seconds")
        ->check(CLI::ExistingFile);
    sub->add_option("--pace", so.Pace, "time scale of the boxes (1 real time, below 1 faster)")
        ->check(CLI::Range(0.001, 1000.0))
        ->capture_default_str();
    sub->add_option("--reply-delay", so.ReplyDelay,
                    "ms the boxes take to answer, 0 at once (default: a box's own, 1 to 12 ms)")
        ->check(CLI::Range(0, 60000));
    static std::vector<std::string> web;
    CLI::Option *webOption =
        sub->add_option("--web", web,
                        "also serve a web phone per box on loopback, at ADDRESS (default 127.0.0.1:8765; "
                        "port 0: any free one); it prints the page's URL")
            ->expected(0, 1)
            ->type_name("[ADDRESS]");
    sub->callback([&run = r.Run, &o = r.Opts, webOption] {
        o.StandAlone = true;
        so.Web = webOption->count() > 0;
        so.WebAddress = web.empty() ? std::string() : web.front();
        run = [](const Options &, Box &) {
            so.Boxes = boxes;
            return Serve(so);
        };
    });
}

void AddLine(Registry &r)
{
    static std::string connect;
    static std::vector<std::string> words;
    CLI::App *sub = r.App.add_subcommand(
        "line", "act on the line of a served box: ring NUMBER [--format F], keys KEYS, far-end "
                "FILE.wav, answer, busy, hangup, unplug, plug, save-playback FILE.wav");
    sub->add_option("--connect", connect, "the server (default: ZPLR_DRIVER, else this user's socket)");
    sub->add_option("command", words, "the line command and its arguments")->required();
    static std::string format;
    sub->add_option("--format", format, "ring: the caller ID's format")
        ->check(CLI::IsMember({"sdmf", "mdmf", "digits"}));
    sub->callback([&run = r.Run, &o = r.Opts] {
        o.StandAlone = true;
        run = [](const Options &o, Box &) {
            std::vector<std::string> w = words;
            if (!format.empty())
                w.push_back(format);
            return LineCommand(connect, o.Index, w);
        };
    });
}

}  // namespace zlbox
