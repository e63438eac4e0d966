// The recipes of the API reference's main page. The [name] markers delimit
// what the page shows.
#include "Recipes.h"

#include <cstdio>

#include "sim/VirtualBox.h"
#include "zPLR.h"

namespace recipes {

int RunAgainstVirtualBox(int index)
{
    //! [virtual box]
    zlsim::VirtualDriver driver;      // outlives every session that uses it
    driver.Plug(index);               // a box at this device index
    ZlSetDriverBackend(&driver);      // before the first session starts

    int status = -1;
    {
        CZusb_IO box(index);
        box.InitialUSB_IOEx(0);       // always 1; the threads go on trying
        for (int i = 0; i < 100 && box.IfConnectUSB() != 0; ++i)
            box.TelSleep(10);
        if (box.IfConnectUSB() == 0)
            status = box.GetTelStatus();
        box.ExistUSB_IO();            // the destructor would do it too
    }
    ZlSetDriverBackend(NULL);         // back to the platform's driver
    //! [virtual box]
    return status;
}

std::string TakeIncomingCall(CZusb_IO &box, int waitMs, std::string &keys)
{
    //! [incoming call]
    // A ring sets the incoming-call bit; CheckCallStatus() takes it.
    int waited = 0;
    while (box.CheckCallStatus() != 1) {
        if (waited >= waitMs)
            return "";
        box.TelSleep(50);
        waited += 50;
    }
    // The caller ID follows the first ring; give it a moment to arrive.
    unsigned char number[61] = {0};
    for (int i = 0; i < 40 && number[0] == 0; ++i) {
        if (box.Read_Call_Nmb(number) != 1)
            break;                    // -2: the box could not read the caller ID
        if (number[0] == 0)
            box.TelSleep(50);
    }
    if (box.PickUp() != 1)
        return "";
    // Keys pressed by the caller, until '#'.
    keys.clear();
    unsigned char code[2];
    for (waited = 0; waited < waitMs && (keys.empty() || keys.back() != '#');) {
        if (box.GetDTMFCode(code) == 1) {
            static const char names[] = "?1234567890*#ABCD";   // by key code
            keys += code[0] < sizeof names - 1 ? names[code[0]] : '?';
        } else {
            box.TelSleep(20);
            waited += 20;
        }
    }
    box.PutDown();
    //! [incoming call]
    return reinterpret_cast<char *>(number);
}

std::string DialAndDetectBusy(CZusb_IO &box, const char *number, int waitMs)
{
    //! [dial]
    if (box.PickUp() != 1)
        return "no line";
    box.ClearBusyCheckBit();
    box.SetContinueReturn450Hz(1);    // measure the call-progress tone
    char digits[42];
    std::snprintf(digits, sizeof digits, "%s", number);
    std::string outcome = "no answer";
    if (box.DialNmb(digits) == 1) {
        for (int waited = 0; waited < waitMs; waited += 20) {
            if (box.GetCalledPickUpStatus() == 1) {
                outcome = "answered";
                break;
            }
            if (box.ReadBusyBit() == 1) {
                outcome = "busy";
                break;
            }
            box.TelSleep(20);
        }
    }
    box.PutDown();
    //! [dial]
    return outcome;
}

int RecordCall(CZusb_IO &box, const char *path, int seconds)
{
    //! [record]
    // The call is answered (PickUp), so mode 0 applies: off hook only.
    int r = box.StartReadSoundCStrF(path);
    if (r != 1)
        return r;                     // -4: bad path, line on hook, or already recording
    for (int waited = 0; waited < seconds * 1000; waited += 100) {
        if (box.CheckPutDown() == 0)
            break;                    // the line was released
        box.TelSleep(100);            // ReadRecLength() tells the bytes so far
    }
    return box.StopReadSound();       // the file's size, or -3 if it broke
    //! [record]
}

int PlayGreeting(CZusb_IO &box, const char *path)
{
    //! [play]
    if (!box.CheckWavFileExist(const_cast<char *>(path)))
        return -4;
    int r = box.PickUp();
    if (r != 1)
        return r;
    r = box.StartPlaySound(path, 0, 0, 1, 1);   // from the start, mode 0
    if (r == 1) {
        int rate;                     // thousandths; 1000 once it has ended
        while ((rate = box.GetWriteSoundRate()) >= 0 && rate != 1000)
            box.TelSleep(50);
        r = box.StopPlaySound();      // also needed after the end
    }
    box.PutDown();
    //! [play]
    return r;
}

}  // namespace recipes
