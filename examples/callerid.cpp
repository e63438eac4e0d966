// callerid: a caller-ID pop-up on the console. It waits for calls on a ZL
// box, shows each caller's number with the time, answers, shows the keys the
// caller presses until '#' and hangs up; then it waits for the next call,
// until Ctrl-C or --calls N calls.
//
//   callerid [--device N] [--calls N] [--virtual]
//
// --virtual runs it without hardware: the virtual box of zlsim stands in for
// the box, and its line rings with a number and presses keys once the call
// is answered.
#include <zPLR.h>
#include <zlsim/LineModel.h>
#include <zlsim/VirtualBox.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

namespace {

std::atomic<bool> Stop{false};

void OnSigint(int) { Stop = true; }

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// One event line, stamped with the local time and shown at once.
void Show(const char *what, const std::string &detail = "")
{
    char now[16];
    std::time_t t = std::time(nullptr);
    std::strftime(now, sizeof now, "%H:%M:%S", std::localtime(&t));
    std::printf("%s  %s%s\n", now, what, detail.c_str());
    std::fflush(stdout);
}

// Key codes as the box reports them: 1-9, 10 for '0', 11 '*', 12 '#'.
char KeyOf(unsigned char code)
{
    static const char keys[] = "?1234567890*#ABCD";
    return code < sizeof keys - 1 ? keys[code] : '?';
}

// Polls every 50 ms until done() holds; false on Ctrl-C or after `ms`
// (-1: no limit).
template <class F> bool Await(int ms, F done)
{
    for (int waited = 0; !done(); waited += 50) {
        if (Stop || (ms >= 0 && waited >= ms))
            return false;
        Pause(50);
    }
    return true;
}

// One call: its number, the answer, the keys up to '#', the hang-up.
void TakeCall(CZusb_IO &box)
{
    // The number follows the first ring; the second ring comes 4 s later.
    std::string number;
    Await(6000, [&] { return !(number = box.ReadstrCallNmb()).empty(); });
    Show("call from ", number.empty() ? "(no number)" : number);
    if (box.PickUp() != 1) {
        Show("could not answer");
        return;
    }
    Show("answered");
    std::string keys;
    while (keys.empty() || keys.back() != '#') {
        unsigned char code[2];
        bool gone = false;
        // 30 s without a key ends the call too.
        if (!Await(30000, [&] {
                return box.GetDTMFCode(code) == 1 || (gone = box.CheckPutDown() == 0);
            }))
            break;
        if (gone) {
            Show("caller hung up");
            break;
        }
        keys += KeyOf(code[0]);
        Show("key ", keys.substr(keys.size() - 1));
    }
    box.PutDown();
    Show("hung up, keys: ", keys.empty() ? "(none)" : keys);
}

// The virtual line's caller: rings, presses keys once answered, and waits
// for the hang-up before the next call.
void VirtualCaller(zlsim::LineModel &line, int calls)
{
    for (int i = 0; i < calls && !Stop; ++i) {
        Pause(500);
        line.Ring("02155501234", zlsim::CallerIdType::Mdmf);
        if (!Await(10000, [&] { return line.OffHook(); }))
            continue;
        Pause(300);
        line.PressKeys("42#");
        Await(10000, [&] { return !line.OffHook(); });
    }
}

// A whole number from lo to hi, or false.
bool Whole(const char *text, int lo, int hi, int &out)
{
    char *end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end || v < lo || v > hi)
        return false;
    out = static_cast<int>(v);
    return true;
}

int Usage()
{
    std::fprintf(stderr, "usage: callerid [--device 0-3] [--calls N] [--virtual]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    int device = 0, calls = 0;  // 0 calls: until Ctrl-C
    bool virtualBox = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--virtual"))
            virtualBox = true;
        else if (!std::strcmp(argv[i], "--device") && i + 1 < argc && Whole(argv[i + 1], 0, 3, device))
            ++i;
        else if (!std::strcmp(argv[i], "--calls") && i + 1 < argc && Whole(argv[i + 1], 1, 1000000, calls))
            ++i;
        else
            return Usage();
    }
    if (virtualBox && calls == 0)
        calls = 1;
    std::signal(SIGINT, OnSigint);

    // The virtual box must outlive the session that talks to it.
    zlsim::VirtualDriver driver;
    std::unique_ptr<zlsim::LineModel> line;
    std::thread caller;
    if (virtualBox) {
        driver.Plug(device);
        ZlSetDriverBackend(&driver);
        line = std::make_unique<zlsim::LineModel>(driver.Box(device));
        caller = std::thread(VirtualCaller, std::ref(*line), calls);
    }

    {
        CZusb_IO box(device);
        box.InitialUSB_IOEx(0);  // the library keeps trying until the box is there
        Show("waiting for the box on device ", std::to_string(device));
        if (Await(-1, [&] { return box.IfConnectUSB() == 0; })) {
            Show("waiting for calls");
            for (int taken = 0; calls == 0 || taken < calls; ++taken) {
                if (!Await(-1, [&] { return box.CheckCallStatus() == 1; }))
                    break;
                TakeCall(box);
            }
        }
        box.ExistUSB_IO();
    }

    Stop = true;
    if (caller.joinable())
        caller.join();
    ZlSetDriverBackend(nullptr);
    return 0;
}
