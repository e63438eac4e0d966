// A program that ends while a box's session still runs, in one of several
// ways; the exit tests run it as a child process and check that it ends by
// itself, with its own exit status.
//
//   zplr_exit_child MODE box|nobox [FILE]
//
// MODE global: a global CZusb_IO holds the session; main returns 3.
// MODE open:   a session left open on a heap object; main returns 4.
// MODE exit:   another thread calls exit(5) while main sends commands.
// MODE record-exit:   a heap object of device 1 (no global object ends its
//                     session) records to FILE; exit(6) from another thread
//                     once some audio is in.
// MODE record-return: the same; main returns 7.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/VirtualBox.h"
#include "zPLR.h"

namespace {
CZusb_IO g_Io(0);
CZusb_IO *g_Open = nullptr;  // still reachable at exit, never deleted

// Never destroyed: the session's threads use it until the very end.
zlsim::VirtualDriver &Driver()
{
    static zlsim::VirtualDriver *d = new zlsim::VirtualDriver;
    return *d;
}
}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    const bool box = std::strcmp(argv[2], "box") == 0;
    if (box) {
        Driver().Plug(0);
        ZlSetDriverBackend(&Driver());
    }  // else the platform's own driver, which finds no box

    if (!std::strcmp(argv[1], "global")) {
        g_Io.InitialUSB_IOEx(0);
        if (box && g_Io.PickUp() != 1)
            return 1;
        return 3;
    }
    if (!std::strcmp(argv[1], "open")) {
        g_Open = new CZusb_IO(0);
        g_Open->InitialUSB_IOEx(0);
        if (box && g_Open->PickUp() != 1)
            return 1;
        return 4;
    }
    if (!std::strncmp(argv[1], "record-", 7) && box && argc > 3) {
        Driver().Plug(1);
        g_Open = new CZusb_IO(1);
        g_Open->InitialUSB_IOEx(0);
        while (g_Open->IfConnectUSB() != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (g_Open->StartReadSound(argv[3], 1) != 1)
            return 1;
        while (g_Open->ReadRecLength() < 2500)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!std::strcmp(argv[1], "record-exit")) {
            std::thread([] { std::exit(6); }).detach();
            for (;;)
                g_Open->ReaddiFlagsValue();
        }
        return 7;
    }
    if (!std::strcmp(argv[1], "exit")) {
        g_Io.InitialUSB_IOEx(0);
        std::thread([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::exit(5);
        }).detach();
        for (;;) {
            g_Io.PickUp();
            g_Io.ReaddiFlagsValue();
            g_Io.PutDown();
        }
    }
    return 2;
}
