// An application as Visual C++ builds it against zPLR.h: compiled by clang
// for the Visual C++ ABI, no C or C++ runtime, its own entry point, its
// output through WriteFile. It checks the class's layout and virtual table
// as this compiler sees them against the DLL's, then takes one call on box 0
// (served by `zlbox serve`): caller ID, keys, a recording and its playback,
// and ends the session through `delete`.
//
// The caller rings with 02155501234 once "waiting for a call" shows and
// presses 42# once "PickUp: 1" shows. Exit code 0 when every check passed.
#include "zPLR.h"

extern "C" {
__declspec(dllimport) void *__stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void *file, const void *data, unsigned long size,
                                              unsigned long *written, void *overlapped);
__declspec(dllimport) void __stdcall Sleep(unsigned long ms);
__declspec(dllimport) int __stdcall DeleteFileA(const char *path);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned code);

// Code generation may call it for a zeroed buffer; there is no runtime.
void *memset(void *to, int value, decltype(sizeof 0) n)
{
    volatile unsigned char *p = static_cast<unsigned char *>(to);
    while (n--)
        *p++ = static_cast<unsigned char>(value);
    return to;
}
}

namespace {

const unsigned long StdOutput = static_cast<unsigned long>(-11);
const char Number[] = "02155501234";
const char RecordPath[] = "msvc-call.wav";
int Failures = 0;

unsigned Length(const char *s)
{
    unsigned n = 0;
    while (s[n])
        ++n;
    return n;
}

bool Same(const char *a, const char *b)
{
    while (*a && *a == *b)
        ++a, ++b;
    return *a == *b;
}

void Print(const char *s)
{
    unsigned long written;
    WriteFile(GetStdHandle(StdOutput), s, Length(s), &written, nullptr);
}

void PrintNumber(long v, unsigned base = 10)
{
    char text[16];
    char *p = text + sizeof text;
    *--p = 0;
    unsigned long u = v < 0 ? 0ul - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do
        *--p = "0123456789abcdef"[u % base];
    while (u /= base);
    if (base == 16)
        p -= 2, p[0] = '0', p[1] = 'x';
    if (v < 0)
        *--p = '-';
    Print(p);
}

void Line(const char *what, long value, unsigned base = 10)
{
    Print(what);
    PrintNumber(value, base);
    Print("\n");
}

void Check(bool ok, const char *what)
{
    if (!ok) {
        ++Failures;
        Print("FAILED: ");
        Print(what);
        Print("\n");
    }
}

void Expect(long got, long want, const char *what)
{
    if (got != want) {
        ++Failures;
        Print("FAILED: ");
        Print(what);
        Print(": ");
        PrintNumber(got);
        Print(", wanted ");
        PrintNumber(want);
        Print("\n");
    }
}

// Polls every 10 ms until done(box) holds or ms have passed.
template <class F> bool Await(CZusb_IO &box, int ms, F done)
{
    for (int waited = 0; !done(box); waited += 10) {
        if (waited >= ms)
            return false;
        Sleep(10);
    }
    return true;
}

long Offset(const void *member, const void *object)
{
    return static_cast<const char *>(member) - static_cast<const char *>(object);
}

typedef const void *const *Table;

Table TableOf(const void *object)
{
    return *static_cast<const Table *>(object);
}

// Where an entry of this program's own table leads: the linker's import
// stub for a member of the DLL is `jmp [slot]`, with the slot's address
// absolute on i686 and relative to the next instruction on x86_64.
const void *Target(const void *entry)
{
    const unsigned char *code = static_cast<const unsigned char *>(entry);
    if (code[0] != 0xFF || code[1] != 0x25)
        return entry;
    int disp = code[2] | code[3] << 8 | code[4] << 16 | code[5] << 24;
#if defined(_M_X64)
    const void *const *slot = reinterpret_cast<const void *const *>(code + 6 + disp);
#else
    const void *const *slot = reinterpret_cast<const void *const *>(static_cast<unsigned long>(disp));
#endif
    return *slot;
}

int AppBoxesGone = 0;

// A class of the application derived from the DLL's: its table, made by this
// compiler from zPLR.h, holds the DLL's members in the order it expects.
class AppBox : public CZusb_IO {
public:
    AppBox() : CZusb_IO(3) {}
    ~AppBox() { ++AppBoxesGone; }
};

void LayoutAndTable(CZusb_IO &box)
{
    const bool wide = sizeof(void *) == 8;
    Line("sizeof(CZusb_IO) ", sizeof(CZusb_IO));
    Line("sizeof(zplr::CObject) ", sizeof(zplr::CObject));
    Line("DeviceIndex at ", Offset(&box.DeviceIndex, &box));
    Line("EchoReply at ", Offset(box.EchoReply, &box));
    Expect(sizeof(CZusb_IO), wide ? 80 : 72, "sizeof(CZusb_IO)");
    Expect(sizeof(zplr::CObject), wide ? 8 : 4, "sizeof(zplr::CObject)");
    Expect(Offset(&box.DeviceIndex, &box), wide ? 8 : 4, "offset of DeviceIndex");
    Expect(Offset(box.EchoReply, &box), wide ? 12 : 8, "offset of EchoReply");
    Expect(sizeof box.EchoReply, 64, "size of EchoReply");

    AppBox mine;
    Table dll = TableOf(&box), app = TableOf(&mine);
    const char *names[] = {"GetRuntimeClass", "deleting destructor", "Serialize", "AssertValid", "Dump"};
    Print("virtual table:");
    for (int i = 0; i < 5; ++i) {
        Print(i ? ", " : " ");
        Print(names[i]);
        if (i == 1)
            Check(app[i] != dll[i], "the derived class has its own deleting destructor");
        else
            Check(Target(app[i]) == dll[i], names[i]);
    }
    Print("\n");

    // Through the table, as this compiler calls them.
    const void *runtimeClass = box.GetRuntimeClass();
    Check(runtimeClass != nullptr, "GetRuntimeClass() gives the root's record");
    Check(runtimeClass == box.zplr::CObject::GetRuntimeClass(), "GetRuntimeClass() in slot 0");
    Check(mine.GetRuntimeClass() == runtimeClass, "GetRuntimeClass() inherited");
    int scratch[4] = {0, 0, 0, 0};
    box.Serialize(*reinterpret_cast<zplr::CArchive *>(scratch));
    box.AssertValid();
    box.Dump(*reinterpret_cast<zplr::CDumpContext *>(scratch));
    Expect(box.DeviceIndex, 0, "the object after Serialize, AssertValid, Dump");

    // A million calls with arguments: if the DLL did not pop them (i686),
    // the stack would run out long before the end.
    unsigned wrong = 0;
    for (unsigned i = 0; i < 1000000; ++i)
        wrong += box.mul(i & 0xFFFF, 1) != (i & 0xFFFF);
    Expect(wrong, 0, "mul(x, 1) == x, a million calls");
    Print("a million calls with arguments: stack intact\n");
    Expect(box.mul(3, 5), 15, "mul(3, 5)");
    Expect(box.mul(0, 0), 1, "mul(0, 0): 65536 * 65536 mod 65537");

    CZusb_IO *derived = new AppBox;
    Check(derived != nullptr, "new AppBox");
    delete derived;
    Expect(AppBoxesGone, 1, "delete through the base ran the derived destructor");
}

void Call(CZusb_IO &box)
{
    Print("waiting for a call\n");
    if (!Await(box, 60000, [](CZusb_IO &b) { return b.CheckCallStatus() == 1; })) {
        Check(false, "a call within 60 s");
        return;
    }
    unsigned char number[64];
    number[0] = 0;
    Await(box, 6000, [&](CZusb_IO &b) { return b.Read_Call_Nmb(number) == 1 && number[0]; });
    Print("caller: ");
    Print(reinterpret_cast<char *>(number));
    Print("\n");
    Check(Same(reinterpret_cast<char *>(number), Number), "the caller's number");

    int r = box.PickUp();
    Line("PickUp: ", r);
    Expect(r, 1, "PickUp");
    // Key codes: 1-9 the digits, 10 '0', 11 '*', 12 '#'.
    char keys[16];
    unsigned n = 0;
    Await(box, 30000, [&](CZusb_IO &b) {
        unsigned char code[2];
        while (n < sizeof keys - 1 && b.GetDTMFCode(code) == 1)
            keys[n++] = "?1234567890*#"[code[0] <= 12 ? code[0] : 0];
        return n > 0 && keys[n - 1] == '#';
    });
    keys[n] = 0;
    Print("keys: ");
    Print(keys);
    Print("\n");
    Check(Same(keys, "42#"), "the keys pressed");

    r = box.StartReadSound(RecordPath, 0);
    Line("StartReadSound: ", r);
    Expect(r, 1, "StartReadSound");
    Sleep(1000);
    const int size = box.StopReadSound();
    Line("StopReadSound: ", size);
    // 48-byte header and about a second of 8000 bytes per second.
    Check(size > 48 + 4000, "a second of sound recorded");
    Check(box.CheckWavFileExist(const_cast<char *>(RecordPath)) == 1, "the recording's file");

    r = box.StartPlaySound(RecordPath, 0, 0, 1, 1);
    Line("StartPlaySound: ", r);
    Expect(r, 1, "StartPlaySound");
    const bool played = Await(box, 10000, [](CZusb_IO &b) { return b.GetWriteSoundRate() == 1000; });
    Print(played ? "played\n" : "no end reported\n");
    Check(played, "the playback's end");
    // Once the file played out the count is at least its length (the last,
    // short chunk is counted on top of it).
    const unsigned long long taken = box.GetWriteSoundBytes();
    Line("GetWriteSoundBytes: ", static_cast<long>(taken));
    Check(taken >= static_cast<unsigned long long>(size), "the playback read the whole file");
    r = box.StopPlaySound();
    Line("StopPlaySound: ", r);
    Expect(r, 1, "StopPlaySound");
    r = box.PutDown();
    Line("PutDown: ", r);
    Expect(r, 1, "PutDown");
    DeleteFileA(RecordPath);
}

void Run()
{
    CZusb_IO onStack;
    Expect(onStack.DeviceIndex, 0, "CZusb_IO() drives box 0");
    Expect(onStack.IfConnectUSB(), 1, "box 0 before its start");
    CZusb_IO second(2);
    Expect(second.DeviceIndex, 2, "CZusb_IO(2) drives box 2");

    CZusb_IO *box = new CZusb_IO(0);
    if (!box) {
        Check(false, "new CZusb_IO(0)");
        return;
    }
    char version[23];
    box->ReadzPLRVersion(version);
    Print("zPLR ");
    Print(version);
    Print("\n");
    LayoutAndTable(*box);

    int r = box->InitialUSB_IOEx(0);
    Line("InitialUSB_IOEx: ", r);
    Expect(r, 1, "InitialUSB_IOEx");
    const bool reached = Await(*box, 5000, [](CZusb_IO &b) { return b.IfConnectUSB() == 0; });
    Print(reached ? "box reached\n" : "box not reached\n");
    Check(reached, "box 0 reached");
    Check((box->GetTelStatus() & 0x4) != 0, "InitDone after the start");
    if (reached)
        Call(*box);

    // The destructor, through the DLL's table, ends box 0's session.
    delete box;
    Line("after delete: status ", onStack.GetTelStatus(), 16);
    Expect(onStack.GetTelStatus(), 0x200, "status after delete");
    Expect(onStack.IfConnectUSB(), 1, "box 0 after delete");

    // An explicit destructor call, then freeing apart from it.
    CZusb_IO *spare = new CZusb_IO(1);
    Check(spare != nullptr, "new CZusb_IO(1)");
    spare->~CZusb_IO();
    CZusb_IO::operator delete(spare);

    CZusb_IO *row = new CZusb_IO[2];
    Check(row != nullptr, "new CZusb_IO[2]");
    Expect(row[1].DeviceIndex, 0, "array element built by CZusb_IO()");
    delete[] row;
}

}  // namespace

extern "C" void AppMain()
{
    Run();
    if (Failures) {
        Line("checks failed: ", Failures);
        ExitProcess(1);
    }
    Print("all checks passed\n");
    ExitProcess(0);
}
