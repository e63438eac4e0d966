// The recipes of the API reference run as an application would run them,
// against the virtual box and its line.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "SimFixture.h"
#include "WavBytes.h"
#include "docs/recipes/Recipes.h"
#include "sim/LineModel.h"

using namespace zplr;
using namespace zplr::test;

namespace {

TEST(RecipeTest, VirtualBoxSessionReachesTheBox)
{
    platform::SetTimeScale(Scale);
    const int status = recipes::RunAgainstVirtualBox(2);
    platform::SetTimeScale(1.0);
    ASSERT_GE(status, 0) << "the box was not reached";
    EXPECT_EQ(status & 0x200, 0) << "Closed must be clear once the pipes are open";
    EXPECT_NE(status & 0x4, 0) << "InitDone";
    // The session ended with the recipe: the slot is closed again.
    EXPECT_EQ(CZusb_IO(2).IfConnectUSB(), 1);
}

class RecipeCallTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        Driver.SetSoundPace(0);
        Driver.Box(0).SetPacing(zlsim::VirtualBox::Pacing::Unpaced);
        StartOpen(io);
    }
    // Runs `act` on the line once `ready` holds, beside the recipe.
    std::thread When(std::function<bool()> ready, std::function<void()> act)
    {
        return std::thread([ready, act] {
            if (Eventually(ready, 5000))
                act();
        });
    }
    std::string TempPath(const char *name) { return Dir.File(name); }
    ScratchDir Dir{"zplr_recipe_"};
    CZusb_IO io{0};
    zlsim::LineModel line{Driver.Box(0), Scale};
};

TEST_F(RecipeCallTest, IncomingCallGivesNumberAndKeys)
{
    line.Ring("13800138000", zlsim::CallerIdType::Mdmf);
    std::thread caller = When([&] { return line.OffHook(); }, [&] { line.PressKeys("42#"); });
    std::string keys;
    const std::string number = recipes::TakeIncomingCall(io, 20000, keys);
    caller.join();
    EXPECT_EQ(number, "13800138000");
    EXPECT_EQ(keys, "42#");
    EXPECT_FALSE(line.OffHook()) << "the recipe hangs up";
}

TEST_F(RecipeCallTest, DialTellsBusyFromAnswered)
{
    std::thread far = When([&] { return line.LastDialled() == "5551234"; }, [&] { line.Busy(); });
    EXPECT_EQ(recipes::DialAndDetectBusy(io, "5551234", 20000), "busy");
    far.join();
    EXPECT_FALSE(line.OffHook());

    far = When([&] { return line.LastDialled() == "5559876"; }, [&] { line.Answer(); });
    EXPECT_EQ(recipes::DialAndDetectBusy(io, "5559876", 20000), "answered");
    far.join();
}

TEST_F(RecipeCallTest, RecordedCallIsPlayedBackAsGreeting)
{
    // Record one second of an answered call.
    const std::string rec = TempPath("call.wav");
    line.Ring("6100123", zlsim::CallerIdType::Sdmf);
    ASSERT_EQ(io.PickUp(), 1);
    const int size = recipes::RecordCall(io, rec.c_str(), 1);
    ASSERT_GT(size, 48 + 512);
    EXPECT_EQ(std::filesystem::file_size(rec), static_cast<uintmax_t>(size));
    {
        // Closed before the end: Windows cannot remove an open file.
        std::ifstream in(rec, std::ios::binary);
        char riff[4];
        in.read(riff, 4);
        EXPECT_EQ(std::string(riff, 4), "RIFF");
    }
    ASSERT_EQ(io.PutDown(), 1);

    // A greeting of 4 chunks of 512 bytes reaches the line whole.
    const std::string greeting = TempPath("greeting.wav");
    std::vector<uint8_t> audio(2048);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<uint8_t>(0xD5 ^ (i & 0x3F));
    std::ofstream(greeting, std::ios::binary) << WavBytes(WavShape{}, audio);
    EXPECT_EQ(recipes::PlayGreeting(io, greeting.c_str()), 1);
    const std::vector<uint8_t> out = Driver.Box(0).SoundOut();
    ASSERT_GE(out.size(), audio.size());
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), out.begin()));
    EXPECT_FALSE(line.OffHook());
    EXPECT_EQ(recipes::PlayGreeting(io, TempPath("missing.wav").c_str()), -4);
}

}  // namespace
