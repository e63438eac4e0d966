// A virtual box behind the driver interface, and a clock 5 times faster.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "sim/VirtualBox.h"
#include "sound/WavLayout.h"
#include "transport/DeviceSlot.h"
#include "zPLR.h"

namespace zplr::test {

// Fast enough for a quick suite, slow enough that a command's 30 polls
// (620 ms) outlast any stall of a loaded machine.
constexpr double Scale = 0.2;

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

// The packets of `code` the box received, in order.
inline std::vector<zlsim::Bytes64> PacketsOf(const zlsim::VirtualBox &box, uint8_t code)
{
    std::vector<zlsim::Bytes64> out;
    for (const zlsim::Bytes64 &p : box.Packets())
        if (p[0] == code)
            out.push_back(p);
    return out;
}

// How many control calls of `code` the box saw on pipe `on`.
inline int ControlCount(const zlsim::VirtualBox &box, unsigned code, zlsim::Pipe on)
{
    int n = 0;
    for (const zlsim::ControlCall &c : box.Controls())
        n += c.Code == code && c.On == on;
    return n;
}

// Words 0, 1 and the last word of a start request's input: 16 bytes from a
// 32-bit build, 20 from a 64-bit one (the block's address as 64 bits at 8).
inline std::vector<uint32_t> StartWords(const zlsim::ControlCall &c)
{
    const size_t size = sizeof(void *) == 8 ? 20 : 16;
    EXPECT_EQ(c.Input.size(), size);
    if (c.Input.size() != size)
        return {};
    auto word = [&](size_t at) {
        const uint8_t *p = &c.Input[at];
        return uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24);
    };
    return {word(0), word(4), word(size - 4)};
}

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

// A directory of the running test's own, removed after it. The random part
// keeps runs of the same test in parallel processes apart.
class ScratchDir {
public:
    explicit ScratchDir(const std::string &prefix)
    {
        std::string name = prefix + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char &c : name)
            if (c == '/')
                c = '_';
        Path = std::filesystem::path(::testing::TempDir()) /
               (name + "-" + std::to_string(std::random_device()()));
        std::filesystem::create_directories(Path);
    }
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(Path, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    std::string File(const std::string &name) const { return (Path / name).string(); }

    std::filesystem::path Path;
};

inline std::vector<uint8_t> ReadFile(const std::filesystem::path &p)
{
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// A file of the library's own recording layout around `sound`.
inline std::string WriteWav(const std::string &path, const std::vector<uint8_t> &sound)
{
    uint8_t header[sound::WavHeaderSize];
    sound::MakeCompletedWavHeader(header, static_cast<uint32_t>(sound.size()));
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(header), sizeof header);
    f.write(reinterpret_cast<const char *>(sound.data()), static_cast<std::streamsize>(sound.size()));
    return path;
}

// Box 0, opened once Prepare has set the box up.
class BoxTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        Prepare();
        StartOpen(io);
    }
    virtual void Prepare() {}

    // The sound-out stream on the test clock; the box asks for no chunk by
    // itself, a test sends each request.
    void PaceSoundOutByHand()
    {
        Box().SetTimeScale(Scale);
        Box().SetPacing(zlsim::VirtualBox::Pacing::Manual);
    }
    // The sound-in stream on the test clock, every sample of the line
    // numbered, so that a drop, a duplicate or a swap shows.
    void NumberSoundIn()
    {
        Driver.SetSoundPace(Scale);
        Box().SetSoundInSource([this](uint8_t *p, size_t n) {
            for (size_t i = 0; i < n; ++i)
                p[i] = Sample(Produced++);
        });
    }
    static uint8_t Sample(uint64_t k) { return static_cast<uint8_t>((k * 7 + k / 256) & 0xFF); }

    zlsim::VirtualBox &Box() { return Driver.Box(0); }
    transport::DeviceSlot &Slot() { return transport::SlotFor(0); }

    CZusb_IO io{0};
    std::atomic<uint64_t> Produced{0};
};

}  // namespace zplr::test
