// zlbox serve and zlbox line, apart from their argument parsing.
#pragma once

#include <string>
#include <vector>

namespace zlbox {

struct ServeOptions {
    std::vector<int> Boxes{0};
    std::string Listen;      // empty: the per-user default socket
    std::string Script;      // line commands on a timeline
    double Pace = 1.0;       // the boxes' time scale
    int ReplyDelay = -1;     // the boxes' reply delay in ms; -1: their own latency
    bool Web = false;        // the web phone too
    std::string WebAddress;  // its HOST:PORT; empty: 127.0.0.1:8765
};

// Serves until SIGINT or SIGTERM; the exit status.
int Serve(const ServeOptions &o);

// The per-user default address: unix:$XDG_RUNTIME_DIR/zplr.sock, else
// unix:/tmp/zplr-UID/zplr.sock (made when `make` is set).
std::string DefaultServeAddress(bool make = false);

// Sends one line command to box `index` of the server at `address` (empty:
// ZPLR_DRIVER, else the default); prints the answer; the exit status.
int LineCommand(const std::string &address, int index, const std::vector<std::string> &words);

// Whether a box server answers at `address` (connection and hello); false
// with the reason.
bool ServerAnswers(const std::string &address, std::string &why);

// One line of a script: "AT[/EVERY] [@BOX] COMMAND", seconds. Returns false
// with the reason for a malformed line; blank lines and '#' comments give
// true with an empty command.
struct ScriptLine {
    double At = 0;
    double Every = 0;  // 0: once
    int Box = -1;      // -1: the first served box
    std::string Command;
};
bool ParseScriptLine(const std::string &text, ScriptLine &out, std::string &why);

}  // namespace zlbox
