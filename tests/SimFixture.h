// A virtual box behind the driver interface, and a clock 20 times faster.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "platform/Clock.h"
#include "sim/VirtualBox.h"
#include "transport/DeviceSlot.h"
#include "zPLR.h"

namespace zplr::test {

constexpr double Scale = 0.05;

// Real milliseconds of a protocol interval under the test clock.
inline double ScaledMs(double ms) { return ms * Scale; }

inline bool Eventually(const std::function<bool()> &done, int timeoutMs = 3000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return done();
}

inline uint32_t Status(int index) { return transport::SlotFor(index).DeviceStatus.load(); }

class SimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetTimeScale(Scale);
        ZlSetDriverBackend(&Driver);
    }
    void TearDown() override
    {
        for (int i = -1; i < 4; ++i) {
            CZusb_IO end(i);  // its destructor ends the slot's session
        }
        for (int i = 0; i <= transport::SlotCount; ++i) {
            transport::DeviceSlot &s = transport::SlotFor(i);
            EXPECT_EQ(s.ReportThreadAlive.load() | s.CommandThreadAlive.load() |
                          s.SoundInThreadAlive.load() | s.SoundOutThreadAlive.load() |
                          s.AlarmThreadAlive.load(),
                      0)
                << "slot " << i << " left a thread running";
        }
        EXPECT_EQ(Driver.OpenHandles(), 0u);
        ZlSetDriverBackend(nullptr);
        ZlSetMessageHandler(nullptr);
        platform::SetPurePolling(false);
        platform::SetTimeScale(1.0);
    }

    // Starts slot `index` with its box plugged in and waits until it is open.
    void StartOpen(CZusb_IO &io)
    {
        Driver.Plug(io.DeviceIndex);
        ASSERT_EQ(io.InitialUSB_IOEx(0), 1);
        ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }));
    }

    zlsim::VirtualDriver Driver;
};

}  // namespace zplr::test
