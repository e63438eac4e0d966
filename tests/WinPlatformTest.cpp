// The Windows platform layer itself: SetupAPI walk, handles, cancel, threads.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/Clock.h"
#include "platform/Driver.h"
#include "platform/Thread.h"
#include "transport/DeviceSlot.h"
#include "zPLR.h"

using namespace zplr;

namespace {

const ZlGuid Box0 = {0x77F49321, 0x16EF, 0x11D2, {0xAD, 0x51, 0x00, 0x60, 0x97, 0xB5, 0x14, 0xDD}};

TEST(WinPlatformTest, NoBoxAfterTheRealSetupApiWalk)
{
    ZlSetDriverBackend(nullptr);  // the platform's own backend
    char path[256];
    size_t needed = 99;
    EXPECT_EQ(platform::PlatformDriver().EnumInterface(Box0, 0, path, sizeof path, &needed), ZL_ENUM_NO_MORE);
    EXPECT_EQ(needed, 0u);

    platform::SetTimeScale(0.05);
    {
        CZusb_IO io(0);
        ASSERT_EQ(io.InitialUSB_IOEx(0), 1);
        EXPECT_TRUE(io.GetTelStatus() & transport::Closed);
        // The report thread's second failed walk shows as ConnectTried.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!(io.GetTelStatus() & transport::ConnectTried) && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_TRUE(io.GetTelStatus() & transport::ConnectTried);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a few open cycles
        EXPECT_TRUE(io.GetTelStatus() & transport::Closed);
        EXPECT_EQ(io.IfConnectUSB(), 1);
        io.ExistUSB_IO();
        EXPECT_EQ(io.GetTelStatus(), static_cast<int>(transport::Closed));
    }
    platform::SetTimeScale(1.0);
}

TEST(WinPlatformTest, HandlesOfTheBackend)
{
    ZlDriverBackend &d = platform::PlatformDriver();
    EXPECT_EQ(d.Open("\\\\?\\usb#vid_0000&pid_0000#none#{77f49321-16ef-11d2-ad51-006097b514dd}\\ZLDrv0"),
              ZL_INVALID_HANDLE);
    EXPECT_EQ(d.Open(nullptr), ZL_INVALID_HANDLE);
    unsigned char b[64];
    unsigned done = 7;
    EXPECT_EQ(d.Read(ZL_INVALID_HANDLE, b, 64, &done), 0);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(d.Write(ZL_INVALID_HANDLE, b, 64, &done), 0);
    EXPECT_EQ(d.Control(ZL_INVALID_HANDLE, 0x220008, nullptr, 0, nullptr, 0, &done), 0);
    d.CancelIo(ZL_INVALID_HANDLE);
    d.Close(ZL_INVALID_HANDLE);
}

// Every pipe thread opens the device path for its own handle while the
// others hold theirs, so opens must share; transfers report their counts.
TEST(WinPlatformTest, OpensShareAndTransfersCount)
{
    char dir[MAX_PATH], file[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof dir, dir), 0u);
    ASSERT_NE(GetTempFileNameA(dir, "zpl", 0, file), 0u);
    ZlDriverBackend &d = platform::PlatformDriver();
    ZlHandle a = d.Open(file), b = d.Open(file);
    ASSERT_NE(a, ZL_INVALID_HANDLE);
    ASSERT_NE(b, ZL_INVALID_HANDLE);

    unsigned char out[64], in[64] = {};
    for (int i = 0; i < 64; ++i)
        out[i] = static_cast<unsigned char>(i * 7);
    unsigned done = 0;
    EXPECT_EQ(d.Write(a, out, 64, &done), 1);
    EXPECT_EQ(done, 64u);
    EXPECT_EQ(d.Read(b, in, 64, &done), 1);
    EXPECT_EQ(done, 64u);
    EXPECT_EQ(0, std::memcmp(in, out, 64));
    EXPECT_EQ(d.Read(b, in, 64, &done), 1);  // at the end: success, nothing read
    EXPECT_EQ(done, 0u);

    // A request that the file system does not know fails, with no count.
    done = 5;
    EXPECT_EQ(d.Control(a, 0x8000200C, in, 16, out, 1, &done), 0);
    EXPECT_EQ(done, 0u);
    d.Close(a);
    d.Close(b);
    DeleteFileA(file);
    EXPECT_EQ(d.Open(file), ZL_INVALID_HANDLE);  // existing paths only
}

// Shut-down must be able to end a read that blocks in another thread, as the
// report thread's read of pipe 0 does while the box stays silent.
TEST(WinPlatformTest, CancelEndsABlockedRead)
{
    const char *name = "\\\\.\\pipe\\zplr-cancel-test";
    HANDLE server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 64, 64, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    ZlDriverBackend &d = platform::PlatformDriver();
    ZlHandle client = d.Open(name);
    ASSERT_NE(client, ZL_INVALID_HANDLE);

    std::atomic<int> result{-1};
    std::thread reader([&] {
        unsigned char b[64];
        unsigned done = 0;
        result = d.Read(client, b, 64, &done);
    });
    auto start = std::chrono::steady_clock::now();
    while (result == -1 && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
        d.CancelIo(client);  // again, in case the read had not begun
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const bool cancelled = result != -1;
    CloseHandle(server);  // ends the read anyway, so the test can finish
    reader.join();
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(result.load(), 0);
    d.Close(client);
}

TEST(WinPlatformTest, HighestPriorityAndTheSoundInStack)
{
    static std::atomic<int> priority{0};
    platform::Thread t;
    ASSERT_TRUE(t.Start([](void *) { priority = GetThreadPriority(GetCurrentThread()); }, nullptr,
                        platform::ThreadPriority::Highest, 10000));
    t.Join();
    EXPECT_TRUE(t.RaisedPriority());
    EXPECT_EQ(priority.load(), THREAD_PRIORITY_HIGHEST);
    EXPECT_GE(t.StackBytes(), 10000u);

    platform::Thread n;
    ASSERT_TRUE(n.Start([](void *) { priority = GetThreadPriority(GetCurrentThread()); }, nullptr,
                        platform::ThreadPriority::Normal, 0));
    n.Join();
    EXPECT_EQ(priority.load(), THREAD_PRIORITY_NORMAL);
}

}  // namespace
