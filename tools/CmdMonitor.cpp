// zlbox monitor: every event of the box as it comes, until Ctrl-C.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "tools/Tool.h"

#include "sim/VirtualBox.h"

namespace zlbox {

namespace {

// Rings come every 3 to 6 s in the cadences in use; a call that rang and
// then had no ring for this long was not answered and is over.
constexpr std::chrono::seconds UnansweredAfter{8};

// Bits the monitor reads and clears itself (ring, busy, answer): shown as
// their own events, not as a status change back.
constexpr unsigned Consumed = 0x1 | 0x20 | 0x20000;

volatile std::sig_atomic_t Stop = 0;

extern "C" void OnStopSignal(int) { Stop = 1; }

// A value of an event: its JSON form, and whether it is a text to quote.
struct Field {
    const char *Name;
    std::string Value;
    bool Text;
};

class Printer {
public:
    explicit Printer(bool json) : Json_(json) {}

    // One line: `text` after the time, or the fields as a JSON object.
    void Event(const char *event, const std::string &text = {}, std::initializer_list<Field> fields = {})
    {
        const auto now = std::chrono::system_clock::now();
        const std::time_t secs = std::chrono::system_clock::to_time_t(now);
        const int ms = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
        char stamp[40];
        std::string line;
        if (Json_) {
            std::tm t = *std::gmtime(&secs);
            std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &t);
            line = "{\"time\":\"" + std::string(stamp) + "." + Ms(ms) + "Z\",\"event\":" + JsonText(event);
            for (const Field &f : fields)
                line += std::string(",\"") + f.Name + "\":" + (f.Text ? JsonText(f.Value) : f.Value);
            line += "}";
        } else {
            std::tm t = *std::localtime(&secs);
            std::strftime(stamp, sizeof stamp, "%H:%M:%S", &t);
            line = std::string(stamp) + "." + Ms(ms) + " " + event + (text.empty() ? "" : " " + text);
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

private:
    static std::string Ms(int ms)
    {
        char t[8];
        std::snprintf(t, sizeof t, "%03d", ms);
        return t;
    }
    bool Json_;
};

std::string Hex32(unsigned v)
{
    char t[16];
    std::snprintf(t, sizeof t, "0x%08X", v);
    return t;
}

// The names of `bits` as a JSON array or a '+'/'-' prefixed list.
std::string Names(unsigned bits, bool json, const char *sign)
{
    if (!bits)
        return json ? "[]" : "";
    const std::string names = BitNames(bits);
    std::string out;
    size_t at = 0;
    while (at <= names.size()) {
        size_t end = names.find(' ', at);
        if (end == std::string::npos)
            end = names.size();
        const std::string name = names.substr(at, end - at);
        if (json)
            out += (out.empty() ? "[" : ",") + JsonText(name);
        else
            out += (out.empty() ? "" : " ") + std::string(sign) + name;
        at = end + 1;
    }
    return json ? out + "]" : out;
}

// The demo on the virtual box: a call with its caller ID, answered on the
// telephone set at the box, the keys, the caller hanging up, and the box
// pulled out and plugged in again.
struct Demo {
    zlsim::LineModel *Line = nullptr;
    zlsim::VirtualDriver *Driver = nullptr;
    int Index = 0;
    const Options *O = nullptr;
    int Step = 0;

    void Run(double elapsed)
    {
        if (!Line || O->DemoCall.empty())
            return;
        static const double At[] = {0.5, 1.5, 3.0, 3.5, 4.5};
        while (Step < 5 && elapsed >= At[Step]) {
            switch (Step++) {
            case 0: Line->Ring(O->DemoCall, O->Format); break;
            case 1:
                Line->PhonePickUp();
                if (!O->DemoKeys.empty())
                    Line->PressKeys(O->DemoKeys);
                break;
            case 2: Line->Release(); break;
            case 3:
                if (O->DemoUnplug && Driver)
                    Driver->Unplug(Index);
                break;
            case 4:
                if (O->DemoUnplug && Driver)
                    Driver->Plug(Index);
                break;
            }
        }
    }
};

int Monitor(const Options &o, Box &box)
{
    Stop = 0;
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    Printer out(o.Json);
    CZusb_IO io(o.Index);
    if (!Reached(io, o))
        return ExitFailed;
    out.Event("connected", "device " + std::to_string(o.Index), {{"device", std::to_string(o.Index), false}});
    // Measurements flow only while the box is asked for them.
    io.SetContinueReturn450Hz(1);

    Demo demo{box.Line, box.Driver, o.Index, &o};
    const auto t0 = std::chrono::steady_clock::now();
    unsigned last = static_cast<unsigned>(io.GetTelStatus()) & ~Consumed;
    out.Event("status", Hex32(last) + " " + BitNames(last),
              {{"word", Hex32(last), true}, {"set", Names(last, true, ""), false}, {"cleared", "[]", false}});
    bool connected = true;
    std::string lastNumber;
    bool numberAhead = false;  // a number shown before its call's ring was seen
    auto numberAt = t0;
    bool unanswered = false;  // a call rang and nobody took the line
    auto lastRing = t0;
    while (!Stop) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (o.MonitorSeconds > 0 && elapsed >= o.MonitorSeconds)
            break;
        demo.Run(elapsed);

        const unsigned word = static_cast<unsigned>(io.GetTelStatus());
        const unsigned changed = word ^ last;
        if (changed) {
            const unsigned set = changed & word, cleared = changed & ~word;
            std::string diff = Names(set, false, "+");
            const std::string gone = Names(cleared, false, "-");
            diff += diff.empty() || gone.empty() ? gone : " " + gone;
            out.Event("status", Hex32(word) + " " + diff,
                      {{"word", Hex32(word), true},
                       {"set", Names(set, true, ""), false},
                       {"cleared", Names(cleared, true, ""), false}});
        }
        last = word & ~Consumed;

        const bool up = io.IfConnectUSB() == 0;
        if (up != connected) {
            connected = up;
            out.Event(up ? "connection regained" : "connection lost");
            if (up)
                io.SetContinueReturn450Hz(1);
        }
        // The line released: the off-hook bit falls, whoever held the line.
        if ((changed & 0x2) && !(word & 0x2))
            out.Event("hang-up", "", {{"answered", "true", false}});
        if (word & 0x2)
            unanswered = false;
        // A call that only rang: the box's release of a line that was never
        // off hook changes nothing the library shows, so the call is over
        // when its rings stop.
        if (unanswered && std::chrono::steady_clock::now() - lastRing > UnansweredAfter) {
            out.Event("hang-up", "unanswered", {{"answered", "false", false}});
            unanswered = false;
        }
        // Reading the number acknowledges the call: a ring that comes just
        // before it is taken from the status word read right ahead of it.
        bool ring = io.CheckCallStatus() == 1;
        ring = (static_cast<unsigned>(io.GetTelStatus()) & 0x1) != 0 || ring;
        const std::string number = io.ReadstrCallNmb();
        if (ring) {
            out.Event("ring");
            unanswered = !(word & 0x2);
            lastRing = std::chrono::steady_clock::now();
            // A ring starts a new call, whose number shows even when it is the
            // last one again; unless that number came just ahead of its ring.
            if (!numberAhead)
                lastNumber.clear();
            numberAhead = false;
        }
        if (numberAhead && std::chrono::steady_clock::now() - numberAt > std::chrono::seconds(2))
            numberAhead = false;
        // A closed box reads as no number.
        if (number.empty()) {
            if (connected)
                lastNumber.clear();
        } else if (number != lastNumber) {
            out.Event("caller ID", number, {{"number", number, true}});
            lastNumber = number;
            numberAhead = !ring;
            numberAt = std::chrono::steady_clock::now();
        }
        unsigned char code[2];
        while (io.GetDTMFCode(code) == 1) {
            const std::string key(1, zlsim::LineModel::KeyChar(code[0]));
            out.Event("key", key, {{"key", key, true}});
        }
        unsigned short pair[2];
        while (io.Get450HzRecd(pair) == 1)
            out.Event("450 Hz", std::string(pair[0] ? "tone " : "silence ") + std::to_string(pair[1] * 10) + " ms",
                      {{"tone", pair[0] ? "true" : "false", false}, {"ms", std::to_string(pair[1] * 10), false}});
        if (io.ReadBusyBit() == 1)
            out.Event("busy");
        if (io.GetCalledPickUpStatus() == 1)
            out.Event("far end answered");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    io.ExistUSB_IO();
    out.Event("end");
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    return ExitDone;
}

}  // namespace

void AddMonitor(Registry &r)
{
    Options &o = r.Opts;
    CLI::App *sub = r.App.add_subcommand(
        "monitor", "print every event of the box with a timestamp until Ctrl-C: status-word changes, rings, "
                   "caller ID, keys, 450 Hz measurements (length in ms), busy, far end answered, hang-up, "
                   "connection lost and regained");
    sub->add_flag("--json", o.Json, "one JSON object per line");
    sub->add_option("--seconds", o.MonitorSeconds, "end after this many seconds")->check(PositiveSeconds);
    sub->add_option("--demo-call", o.DemoCall, "virtual: a call from this number half a second in")->check(NumberChars);
    AddCallerOptions(*sub, o);
    sub->add_option("--demo-keys", o.DemoKeys, "virtual: keys the caller presses a second later")->check(KeyChars);
    sub->add_flag("--demo-unplug", o.DemoUnplug, "virtual: after the call, pull the box out and plug it in again");
    sub->callback([&run = r.Run] {
        run = [](const Options &o, Box &box) {
            std::vector<const char *> given;
            if (!o.DemoCall.empty())
                given.push_back("--demo-call");
            if (!o.DemoKeys.empty())
                given.push_back("--demo-keys");
            if (o.DemoUnplug)
                given.push_back("--demo-unplug");
            if (o.FormatGiven)
                given.push_back("--format");
            if (int refused = VirtualOnly(box, o, given))
                return refused;
            return Monitor(o, box);
        };
    });
}

}  // namespace zlbox
