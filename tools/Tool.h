// What zlbox's subcommands share: the options, the box they run on, exit
// statuses and small helpers. Each subcommand lives in its own Cmd*.cpp and
// registers itself through one Add* function called from Main.cpp.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "sim/LineModel.h"
#include "zPLR.h"

namespace zlsim {
class VirtualBox;
class VirtualDriver;
}

namespace zlbox {

// Exit statuses, listed in --help and the README.
enum Exit {
    ExitDone = 0,
    ExitFailed = 1,    // box not reached, or the command failed
    ExitBadArgs = 2,   // bad arguments, or a file that cannot be taken
    ExitTimedOut = 3,  // a wait ran out (--wait)
    ExitBusy = 4,      // the far end was busy
};

// Every option of every subcommand; each subcommand binds the ones it takes.
struct Options {
    // Global
    int Index = 0;
    bool Virtual = true;
    double WaitS = 30;
    bool StandAlone = false;  // serve and line: no box of the process's own
    // The virtual line
    std::string Number = "13800138000";  // call/record: the caller; dial: the number dialled
    bool NumberGiven = false;
    std::vector<const char *> CallVirtualGiven;  // call: its options for the virtual line
    zlsim::CallerIdType Format = zlsim::CallerIdType::Sdmf;
    bool FormatGiven = false;
    std::string Keys = "123#";
    bool Busy = false;
    bool NoAnswer = false;
    bool NoCall = false;
    std::string FarEnd;
    // play and record
    std::string File;
    int StartPermille = 0;
    std::string SaveLine;
    bool Unpaced = false;
    double Seconds = 10;
    std::string Greeting;
    std::string To;  // record: a converted copy
    std::vector<std::string> RepairFiles;
    // monitor
    bool Json = false;
    double MonitorSeconds = 0;  // 0: until Ctrl-C
    std::string DemoCall;
    std::string DemoKeys;
    bool DemoUnplug = false;
};

// The box a command runs on: with the virtual driver, its box and line;
// null when the commands drive a box they cannot script.
struct Box {
    zlsim::VirtualDriver *Driver = nullptr;
    zlsim::VirtualBox *Virtual = nullptr;
    zlsim::LineModel *Line = nullptr;
};

// What the chosen subcommand runs once the arguments are checked and the
// backend is chosen; returns the exit status.
using Runner = std::function<int(const Options &, Box &)>;

struct Registry {
    CLI::App &App;
    Options &Opts;
    Runner &Run;
};

void AddStatus(Registry &r);
void AddCall(Registry &r);
void AddDial(Registry &r);
void AddInfo(Registry &r);
void AddPlay(Registry &r);
void AddRecord(Registry &r);
void AddRepair(Registry &r);
void AddMonitor(Registry &r);
void AddServe(Registry &r);
void AddLine(Registry &r);

// Option checks with messages that say what the option takes.
extern const CLI::Validator NumberChars;
extern const CLI::Validator KeyChars;
extern const CLI::Validator PositiveSeconds;

// Polls `done` every 20 ms for up to `seconds`.
template <class F> bool WaitFor(double seconds, F done)
{
    auto end = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// "30 s", "0.5 s": a wait as the user gave it.
std::string Seconds(double s);

// A JSON string literal of `s`, quotes included.
std::string JsonText(const std::string &s);

// Starts the session; false, with "box not reached" on stderr, when the box
// does not answer within 2 s (or --wait, if shorter).
bool Reached(CZusb_IO &io, const Options &o);

// Why a served box was not reached, as far as zlbox can tell, on stderr.
void ExplainNotReached(int index);

// Rings the virtual line, if any, waits for the call and shows it with its
// caller; false, with the session ended and "no call within" on stderr, when
// none comes in --wait.
bool AwaitCall(CZusb_IO &io, const Options &o, zlsim::LineModel *line);

// Takes the keys pressed since the last call, each shown as it comes
// (`before` ahead of the first); true when there were any.
bool TakeKeys(CZusb_IO &io, std::string &keys, const char *before = "");

// Playback progress until the box reports the end; the last rate.
int FollowPlayback(CZusb_IO &io, double seconds);

// A file the library can play (see CmdPlay.cpp); 0 or an exit status.
int Playable(const std::string &file, std::string &path, std::string &temp, uint64_t &dataSize);

bool StdoutIsTerminal();

// The set bits of a status word by name.
std::string BitNames(unsigned word);

// Options of the virtual caller that call, record and monitor share.
void AddCallerOptions(CLI::App &sub, Options &o);

// True when ZPLR_DRIVER names a served box: zlbox has no line of its own.
bool ServedBox();

// Options that only zlbox's own virtual box acts on, refused (exit 2) when
// the commands drive another box, with what to use instead. `given` lists
// the options the user gave; 0 when none is, else ExitBadArgs.
int VirtualOnly(const Box &box, const Options &o, const std::vector<const char *> &given);

// An output file, checked before any session starts: not a folder, in a
// folder that exists and may be written. 0, or ExitBadArgs with the reason
// on stderr. `what` names the option.
int CheckOutput(const std::string &path, const char *what);

// Whether two paths name one file (also when neither exists yet).
bool SameFile(const std::string &a, const std::string &b);

// The path the library records to: '*' and '#' are left out of it.
std::string RecordedPath(const std::string &path);

// The library's messages shown with an English text beside them.
void ShowLibraryMessages();

}  // namespace zlbox
