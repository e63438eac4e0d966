// Recording from the line to WAV files, against the virtual box's stream.
#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <climits>
#include <thread>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "SimFixture.h"

using namespace zplr;
using namespace zplr::test;
using transport::SlotFor;
namespace fs = std::filesystem;

namespace {

std::mutex MessageMutex;
std::vector<std::string> MessageTexts;
void KeepMessage(const char *text, unsigned)
{
    std::lock_guard<std::mutex> lock(MessageMutex);
    MessageTexts.push_back(text);
}
int CountMessages(const std::string &text)
{
    std::lock_guard<std::mutex> lock(MessageMutex);
    int n = 0;
    for (const std::string &t : MessageTexts)
        n += t == text;
    return n;
}
size_t AllMessages()
{
    std::lock_guard<std::mutex> lock(MessageMutex);
    return MessageTexts.size();
}

uint32_t U32(const std::vector<uint8_t> &b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// A completed recording: A-law, 8000 Hz, mono, 8 bits, the fmt chunk of 20
// bytes, and both sizes agree with the file.
void ExpectCompletedWav(const std::vector<uint8_t> &b)
{
    ASSERT_GE(b.size(), 48u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(U32(b, 4), b.size() - 8);
    const uint8_t head[] = {'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 20, 0, 0, 0, 6, 0, 1, 0, 0x40, 0x1F, 0, 0,
                            0x40, 0x1F, 0, 0, 1, 0, 8, 0, 0, 0, 0, 0, 'd', 'a', 't', 'a'};
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 8, b.begin() + 44), std::vector<uint8_t>(head, head + 36));
    EXPECT_EQ(U32(b, 44), b.size() - 48);
}

class RecordTest : public BoxTest {
protected:
    void Prepare() override
    {
        {
            std::lock_guard<std::mutex> lock(MessageMutex);
            MessageTexts.clear();
        }
        ZlSetMessageHandler(KeepMessage);
        NumberSoundIn();
    }
    std::string File(const char *name) { return Dir.File(name); }
    bool AwaitBytes(unsigned bytes)
    {
        return Eventually([&] { return io.ReadRecLength() >= bytes; });
    }
    std::vector<uint8_t> Packets7()
    {
        std::vector<uint8_t> out;
        for (const zlsim::Bytes64 &p : Box().Packets())
            if (p[0] == 7)
                out.push_back(p[1]);
        return out;
    }
    // The audio of the file is the line's, frame by frame, without the
    // frames listed, and without up to `lost` frames more that the box
    // itself dropped (a loaded machine may let its FIFO fill on the test
    // clock): each gap is whole frames, the rest in order.
    static bool MatchesLine(const std::vector<uint8_t> &b, std::vector<uint64_t> dropped = {},
                            uint64_t lost = 0)
    {
        auto frameAt = [&](size_t at, uint64_t frame) {
            for (uint64_t k = 0; k < 250 && at + k < b.size(); ++k)
                if (b[at + k] != Sample(frame * 250 + k))
                    return false;
            return true;
        };
        uint64_t frame = 0;
        size_t at = 48;
        while (at < b.size()) {
            if (std::find(dropped.begin(), dropped.end(), frame) == dropped.end()) {
                uint64_t skip = 0;
                while (skip <= lost && !frameAt(at, frame + skip))
                    ++skip;
                if (skip > lost)
                    return false;
                lost -= skip;
                frame += skip;
                at += 250;
            }
            ++frame;
        }
        return true;
    }
    void ExpectLineAudio(const std::vector<uint8_t> &b)
    {
        EXPECT_TRUE(MatchesLine(b, {}, Box().SoundInDropped() / 256));
    }
    // A recording after a fault: the file is complete, and as long as the
    // stop said.
    void RecordAgain(const char *name, std::vector<uint8_t> &b)
    {
        const std::string path = File(name);
        ASSERT_EQ(io.StartReadSound(path.c_str(), 1), 1);
        ASSERT_TRUE(AwaitBytes(1000));
        const int size = io.StopReadSound();
        b = ReadFile(path);
        EXPECT_EQ(static_cast<size_t>(size), b.size());
        ExpectCompletedWav(b);
    }

    ScratchDir Dir{"zplr-record-"};
};

TEST_F(RecordTest, RecordingMakesACompleteFileOfTheLineAudio)
{
    const std::string path = File("call.wav");
    ASSERT_EQ(io.StartReadSound(path.c_str(), 0x101), 1);  // mode 1: on hook is fine
    ASSERT_TRUE(AwaitBytes(20 * 500));
    const unsigned during = io.ReadRecLength();
    EXPECT_EQ(during % 500, 0u);
    const int size = io.StopReadSound();
    std::vector<uint8_t> b = ReadFile(path);
    ASSERT_EQ(static_cast<size_t>(size), b.size());
    ASSERT_EQ((b.size() - 48) % 500, 0u);
    ExpectCompletedWav(b);
    EXPECT_EQ(io.ReadRecLength(), b.size());
    ExpectLineAudio(b);

    // Switched on with the mode's low byte, off with 0, around the stream.
    std::vector<zlsim::Bytes64> packets = Box().Packets();
    ASSERT_GE(packets.size(), 2u);
    EXPECT_EQ(packets.front()[0], 7);
    EXPECT_EQ(packets.front()[1], 1);
    EXPECT_EQ(packets.front()[2], 0x01);
    EXPECT_EQ(packets.back()[0], 7);
    EXPECT_EQ(packets.back()[1], 0);
    EXPECT_EQ(packets.back()[2], 0);
    // One stream start on the device handle: 0, 6, the block's address, 1137.
    ASSERT_EQ(ControlCount(Box(), 0x80002010, zlsim::Pipe::Device), 1);
    for (const zlsim::ControlCall &c : Box().Controls())
        if (c.Code == 0x80002010) {
            EXPECT_EQ(StartWords(c), (std::vector<uint32_t>{0, 6, 0x471}));
        }
    // Every read of the stream was two frames.
    for (unsigned n : Box().SoundInReads())
        EXPECT_EQ(n, 512u);
    EXPECT_EQ(AllMessages(), 0u);
}

TEST_F(RecordTest, PathAndHookPreconditions)
{
    // '*' and '#' are left out of the name.
    ASSERT_EQ(io.StartReadSound(File("12*3#.wav").c_str(), 1), 1);
    EXPECT_GE(io.StopReadSound(), 48);
    EXPECT_TRUE(fs::exists(Dir.Path / "123.wav"));
    EXPECT_FALSE(fs::exists(Dir.Path / "12*3#.wav"));
    Box().ClearPackets();

    // Refused before anything is sent.
    EXPECT_EQ(io.StartReadSound(nullptr, 1), -4);
    EXPECT_EQ(io.StartReadSound(std::string(1024, 'a').c_str(), 1), -4);
    EXPECT_EQ(io.StartReadSound((Dir.Path / std::string(264, 'b')).string().c_str(), 1), -4);
    EXPECT_EQ(io.StartReadSound((Dir.Path / "no-such-dir" / "x.wav").string().c_str(), 1), -4);
    EXPECT_EQ(io.StartReadSound(File("onhook.wav").c_str(), 0), -4);
    EXPECT_EQ(io.StartReadSoundCStrF(File("onhook.wav").c_str()), -4);
    EXPECT_FALSE(fs::exists(Dir.Path / "onhook.wav"));
    EXPECT_EQ(Box().PacketCount(), 0u);

    // Off hook, the file-name variant sends mode 0.
    ASSERT_EQ(io.PickUp(), 1);
    Box().ClearPackets();
    Produced = 0;
    ASSERT_EQ(io.StartReadSoundCStrF(File("offhook.wav").c_str()), 1);
    // A second start while the first runs changes nothing.
    EXPECT_EQ(io.StartReadSound(File("second.wav").c_str(), 1), -4);
    EXPECT_FALSE(fs::exists(Dir.Path / "second.wav"));
    ASSERT_TRUE(AwaitBytes(1000));
    const int size = io.StopReadSound();
    std::vector<zlsim::Bytes64> packets = Box().Packets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0][1], 1);
    EXPECT_EQ(packets[0][2], 0);
    std::vector<uint8_t> b = ReadFile(Dir.Path / "offhook.wav");
    EXPECT_EQ(static_cast<size_t>(size), b.size());
    ExpectCompletedWav(b);
    ExpectLineAudio(b);
}

TEST_F(RecordTest, StopWithoutRecordingReturnsLastLengthAndSwitchesOff)
{
    EXPECT_EQ(io.StopReadSound(), 0);
    ASSERT_EQ(Packets7(), std::vector<uint8_t>{0});
    EXPECT_EQ(AllMessages(), 0u);
    io.ExistUSB_IO();
    EXPECT_EQ(io.StopReadSound(), -1);
    EXPECT_EQ(io.StartReadSound(File("x.wav").c_str(), 1), -1);
}

TEST_F(RecordTest, FramesOutOfStepAreDroppedAndTheStreamResynchronised)
{
    // Frame 5 (the second of the third read) lacks its marker.
    Box().SetFrameHook([](uint64_t n, uint8_t *frame) {
        if (n == 5)
            frame[0] = 'x';
    });
    const std::string path = File("resync.wav");
    ASSERT_EQ(io.StartReadSound(path.c_str(), 1), 1);
    ASSERT_TRUE(AwaitBytes(6 * 500));
    // Out of step by 128: the next read finds its marker at 128.
    Box().ShiftSoundIn(128);
    ASSERT_TRUE(Eventually([&] {
        std::vector<unsigned> r = Box().SoundInReads();
        return std::find(r.begin(), r.end(), 128u) != r.end();
    }));
    const unsigned before = io.ReadRecLength();
    ASSERT_TRUE(AwaitBytes(before + 2000));
    ASSERT_GT(io.StopReadSound(), 0);

    // Only one discard read, of 128 bytes; the missing marker caused none.
    std::vector<unsigned> reads = Box().SoundInReads();
    unsigned discards = 0;
    for (unsigned n : reads)
        if (n != 512) {
            EXPECT_EQ(n, 128u);
            ++discards;
        }
    EXPECT_EQ(discards, 1u);
    std::vector<uint8_t> b = ReadFile(path);
    ExpectCompletedWav(b);
    // Frames 4 and 5 went with their read. The read that met the shift
    // held filler, frame F and the start of F + 1, the discard read the rest
    // of F + 1: nothing of them is lost.
    EXPECT_TRUE(MatchesLine(b, {4, 5}, Box().SoundInDropped() / 256));
}

TEST_F(RecordTest, InBandStatusAndKeys)
{
    ASSERT_EQ(io.PickUp(), 1);
    // Bit 0x80 makes a frame's status and key count for nothing.
    Box().QueueFrameStatus(0x80 | 0x04 | 0x02, 9);
    Box().QueueFrameStatus(0x00, 0);
    // Keys of the two frames of one read, in frame order.
    Box().QueueFrameStatus(0x01 | 0x20 | 0x40, 4);
    Box().QueueFrameStatus(0x00, 7);
    // 0x04 before 0x08: the line falls, then the set is off hook.
    Box().QueueFrameStatus(0x04 | 0x08, 0);
    Box().QueueFrameStatus(0x00, 0);
    ASSERT_EQ(io.StartReadSound(File("status.wav").c_str(), 1), 1);
    ASSERT_TRUE(AwaitBytes(3 * 500));
    uint32_t st = Status(0);
    EXPECT_EQ(st & transport::BusyTone, 0u);
    EXPECT_EQ(st & transport::OffHook, 0u);
    EXPECT_EQ(st & (transport::PhoneOffHook | transport::PhonePickedUp),
              transport::PhoneOffHook | transport::PhonePickedUp);
    unsigned char key[2];
    ASSERT_EQ(io.GetDTMFCode(key), 1);
    EXPECT_EQ(key[0], 4);
    ASSERT_EQ(io.GetDTMFCode(key), 1);
    EXPECT_EQ(key[0], 7);
    EXPECT_NE(io.GetDTMFCode(key), 1);

    // 0x08 before 0x10: picked up stays, the set is on hook again; busy.
    Box().QueueFrameStatus(0x08 | 0x10 | 0x02, 0);
    Box().QueueFrameStatus(0x00, 0);
    ASSERT_TRUE(Eventually([&] { return (Status(0) & transport::BusyTone) != 0; }));
    ASSERT_TRUE(AwaitBytes(io.ReadRecLength() + 500));  // that frame's bits are all in
    st = Status(0);
    EXPECT_EQ(st & transport::PhoneOffHook, 0u);
    EXPECT_NE(st & transport::PhonePickedUp, 0u);
    EXPECT_GT(io.StopReadSound(), 48);
}

TEST_F(RecordTest, CommandsPauseTheReadsAndNoAudioIsLost)
{
    const std::string path = File("pause.wav");
    ASSERT_EQ(io.StartReadSound(path.c_str(), 1), 1);
    ASSERT_TRUE(AwaitBytes(2 * 500));
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(io.SetEstimateStatus(0), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const unsigned before = io.ReadRecLength();
    ASSERT_TRUE(AwaitBytes(before + 1000));
    const int size = io.StopReadSound();
    std::vector<uint8_t> b = ReadFile(path);
    ASSERT_EQ(static_cast<size_t>(size), b.size());
    ExpectCompletedWav(b);
    ExpectLineAudio(b);
    EXPECT_EQ(AllMessages(), 0u);
}

TEST_F(RecordTest, CommandWithoutReplyEndsTheRecordingCompleted)
{
    const std::string path = File("noreply.wav");
    ASSERT_EQ(io.StartReadSound(path.c_str(), 1), 1);
    ASSERT_TRUE(AwaitBytes(1000));
    Box().WithholdReplies(true);
    unsigned char packet[64] = {24};
    ASSERT_EQ(io.Write_Data_to_USB(packet), 1);
    auto t0 = std::chrono::steady_clock::now();
    // 301 pause polls of 100 ms.
    ASSERT_TRUE(Eventually([&] { return SlotFor(0).RecordFinished.load() == 1; }, 10000));
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, ScaledMs(300 * 100));
    EXPECT_LT(ms, ScaledMs(350 * 100));
    Box().WithholdReplies(false);
    Box().ReleaseWithheld();
    std::vector<uint8_t> b = ReadFile(path);
    ExpectCompletedWav(b);
    ExpectLineAudio(b);
    EXPECT_EQ(io.StopReadSound(), static_cast<int>(b.size()));
}

TEST_F(RecordTest, StopDuringAPauseForALostReplyEndsAtOnce)
{
    const std::string path = File("lostreply.wav");
    ASSERT_EQ(io.StartReadSound(path.c_str(), 1), 1);
    ASSERT_TRUE(AwaitBytes(1000));
    Box().WithholdReplies(true);
    EXPECT_EQ(io.SetEstimateStatus(0), -3);
    // The reads stay paused for the reply; the stop still ends the cycle
    // at once and completes the file, though the box is not told.
    EXPECT_EQ(io.StopReadSound(), -1);
    EXPECT_EQ(CountMessages("In StopReadSound Error!"), 0);
    EXPECT_EQ(SlotFor(0).RecordFinished.load(), 1);
    std::vector<uint8_t> b = ReadFile(path);
    ExpectCompletedWav(b);
    ExpectLineAudio(b);
    Box().WithholdReplies(false);
    Box().ReleaseWithheld();
}

TEST_F(RecordTest, FailedOrStalledReadsKeepTheAudioAndTheNextRecordingWorks)
{
    const std::string path = File("broken.wav");
    ASSERT_EQ(io.StartReadSound(path.c_str(), 1), 1);
    ASSERT_TRUE(AwaitBytes(4 * 500));
    Box().FailNext(zlsim::Pipe::SoundIn, zlsim::Op::Read);
    ASSERT_TRUE(Eventually([&] { return SlotFor(0).RecordBroken.load() == 1; }));
    const unsigned recorded = io.ReadRecLength();
    std::vector<uint8_t> b = ReadFile(path);
    ExpectCompletedWav(b);
    EXPECT_EQ(b.size(), recorded + 48u);
    ExpectLineAudio(b);
    // The pipe was reset, and its failure is told at once by the stop.
    EXPECT_GE(ControlCount(Box(), 0x220008, zlsim::Pipe::SoundIn), 1);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(io.StopReadSound(), -3);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(int(ScaledMs(60 * 100))));  // not 121 polls
    EXPECT_EQ(CountMessages("In StopReadSound Error!"), 1);
    EXPECT_EQ(static_cast<int>(io.ReadRecLength()), -3);
    // Once pipe 2 is open again the alarm is no longer held back.
    EXPECT_TRUE(Eventually([&] { return (SlotFor(0).AlarmFlags.load() & 0x2) == 0; }));

    std::vector<uint8_t> b2;
    ASSERT_NO_FATAL_FAILURE(RecordAgain("after.wav", b2));

    // A read the box never completes: the stop gives up after its 121 polls,
    // with the message, and the file holds what was read.
    const std::string stalled = File("stalled.wav");
    Produced = 0;
    const size_t before = Box().SoundInReads().size();
    ASSERT_EQ(io.StartReadSound(stalled.c_str(), 1), 1);
    ASSERT_TRUE(AwaitBytes(4 * 500));
    Box().StallSoundIn(true);
    // More reads begun than completed: the thread is held in one, and the
    // stop cannot find it between two reads.
    EXPECT_TRUE(Eventually([&] { return Box().SoundInReads().size() - before > io.ReadRecLength() / 500; }));
    EXPECT_EQ(io.StopReadSound(), -3);
    EXPECT_EQ(CountMessages("In StopReadSound Error!"), 2);
    EXPECT_EQ(SlotFor(0).SoundInPipeCtx.StartRecord.load(), 0);
    b = ReadFile(stalled);
    ExpectCompletedWav(b);
    EXPECT_GE(b.size(), 48u + 4 * 500);
    ExpectLineAudio(b);
    Box().StallSoundIn(false);
    ASSERT_NO_FATAL_FAILURE(RecordAgain("next.wav", b2));
}

// The stop waits up to 121 polls of 100 ms for the cycle to end: a cycle
// held half that long still ends normally, one held for good does not.
TEST_F(RecordTest, StopWaitsOneHundredTwentyOnePollsForTheCycle)
{
    const std::string path = File("held.wav");
    ASSERT_EQ(io.StartReadSound(path.c_str(), 1), 1);
    ASSERT_TRUE(AwaitBytes(2 * 500));
    Box().StallSoundIn(true);
    std::thread letGo([&] {
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(ScaledMs(60 * 100) * 1000)));
        Box().StallSoundIn(false);
    });
    const int size = io.StopReadSound();
    letGo.join();
    const std::vector<uint8_t> b = ReadFile(path);
    EXPECT_EQ(static_cast<size_t>(size), b.size());
    ExpectCompletedWav(b);
    EXPECT_EQ(CountMessages("In StopReadSound Error!"), 0);

    ASSERT_EQ(io.StartReadSound(File("never.wav").c_str(), 1), 1);
    ASSERT_TRUE(AwaitBytes(2 * 500));
    Box().StallSoundIn(true);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(io.StopReadSound(), -3);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, ScaledMs(121 * 100) * 0.99);
    EXPECT_EQ(CountMessages("In StopReadSound Error!"), 1);
    Box().StallSoundIn(false);
}

TEST_F(RecordTest, StreamStartFailureLeavesAnEmptyValidFile)
{
    Box().FailNext(zlsim::Pipe::Device, zlsim::Op::Control);
    const std::string path = File("nostream.wav");
    ASSERT_EQ(io.StartReadSound(path.c_str(), 1), 1);
    ASSERT_TRUE(Eventually([&] { return SlotFor(0).RecordBroken.load() == 1; }));
    std::vector<uint8_t> b = ReadFile(path);
    ASSERT_EQ(b.size(), 48u);
    EXPECT_EQ(U32(b, 4), 40u);
    EXPECT_EQ(U32(b, 44), 0u);
    EXPECT_EQ(io.StopReadSound(), -3);
    EXPECT_EQ(CountMessages("In StopReadSound Error!"), 1);
}

TEST_F(RecordTest, UnplugMidRecordingKeepsTheAudioAndAlarmsLaterLosses)
{
    const std::string path = File("unplug.wav");
    ASSERT_EQ(io.StartReadSound(path.c_str(), 1), 1);
    ASSERT_TRUE(AwaitBytes(4 * 500));
    const uint32_t losses = SlotFor(0).LossCount.load();
    Driver.Unplug(0);
    ASSERT_TRUE(Eventually([&] { return SlotFor(0).RecordBroken.load() == 1; }));
    // A person plugs back long after the library saw the loss; a loaded
    // machine may have the record thread see it well before the report
    // thread does.
    ASSERT_TRUE(Eventually([&] { return SlotFor(0).LossCount.load() != losses; }));
    std::vector<uint8_t> b = ReadFile(path);
    ExpectCompletedWav(b);
    ExpectLineAudio(b);
    EXPECT_GE(b.size(), 48u + 4 * 500);
    EXPECT_EQ(io.StopReadSound(), -1);  // the slot is closed

    Driver.Plug(0);
    ASSERT_TRUE(Eventually([&] { return io.IfConnectUSB() == 0; }));
    ASSERT_TRUE(Eventually([&] { return (SlotFor(0).AlarmFlags.load() & 0x2) == 0; }));
    // The loss that broke the recording passed in silence.
    EXPECT_EQ(AllMessages(), 0u);

    Produced = 0;
    std::vector<uint8_t> b2;
    ASSERT_NO_FATAL_FAILURE(RecordAgain("replugged.wav", b2));
    ExpectLineAudio(b2);

    // A loss with no recording is announced again.
    Driver.Unplug(0);
    EXPECT_TRUE(Eventually([&] { return AllMessages() == 1; }));
    Driver.Plug(0);
}

TEST_F(RecordTest, StopAndStartBackToBackNeverLoseAStart)
{
    Driver.SetSoundPace(0);
    for (int i = 0; i < 100; ++i) {
        const std::string path = File(("b2b" + std::to_string(i % 3) + ".wav").c_str());
        ASSERT_EQ(io.StartReadSound(path.c_str(), 1), 1) << i;
        if (i % 2) {
            ASSERT_TRUE(AwaitBytes(500)) << i;
        }
        const int size = io.StopReadSound();
        ASSERT_GE(size, 48) << i;
        std::vector<uint8_t> b = ReadFile(path);
        ASSERT_EQ(static_cast<size_t>(size), b.size()) << i;
        ExpectCompletedWav(b);
    }
    EXPECT_EQ(AllMessages(), 0u);
}

#ifndef _WIN32
TEST_F(RecordTest, FullDiskEndsTheRecordingWithTheAudioWritten)
{
    // A file-size limit stands in for a full disk: writes past it fail.
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = old;
    lim.rlim_cur = 48 + 3 * 500 + 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    const std::string path = File("full.wav");
    const int start = io.StartReadSound(path.c_str(), 1);
    ASSERT_TRUE(Eventually([&] { return SlotFor(0).RecordFinished.load() == 1; }));
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    ASSERT_EQ(start, 1);
    const int size = io.StopReadSound();
    std::vector<uint8_t> b = ReadFile(path);
    ASSERT_EQ(b.size(), 48u + 3 * 500 + 100);
    EXPECT_EQ(static_cast<size_t>(size), b.size());
    ExpectCompletedWav(b);
    ExpectLineAudio(b);
}
#endif

// A slip (bytes without a marker in the stream) or a short read: the stream
// comes back in step at the next marker, wherever it stands, and a frame
// that arrived whole is kept.
struct StreamFault {
    const char *Name;
    unsigned Slip;   // bytes put into the stream, or
    unsigned Short;  // what the next read delivers
    int MayLose;     // frames the fault may cost
};
void PrintTo(const StreamFault &f, std::ostream *os) { *os << f.Name; }

class RecordFaultTest : public RecordTest, public ::testing::WithParamInterface<StreamFault> {};

TEST_P(RecordFaultTest, LosesAtMostTheFrameItBroke)
{
    const StreamFault &f = GetParam();
    const std::string path = File("fault.wav");
    ASSERT_EQ(io.StartReadSound(path.c_str(), 1), 1);
    ASSERT_TRUE(AwaitBytes(4 * 500));
    if (f.Slip)
        Box().ShiftSoundIn(f.Slip);
    else
        Box().ShortSoundInReadNext(f.Short);
    const unsigned before = io.ReadRecLength();
    ASSERT_TRUE(AwaitBytes(before + 20 * 250)) << "no audio reaches the file after the fault";
    const int size = io.StopReadSound();
    std::vector<uint8_t> b = ReadFile(path);
    ASSERT_EQ(static_cast<size_t>(size), b.size());
    ExpectCompletedWav(b);
    const uint64_t boxLost = Box().SoundInDropped() / 256;
    bool ok = MatchesLine(b, {}, boxLost);
    for (uint64_t lost = 0; !ok && f.MayLose > 0 && lost < b.size() / 250; ++lost)
        ok = MatchesLine(b, {lost}, boxLost);
    EXPECT_TRUE(ok) << "more than " << f.MayLose << " frame(s) lost, or audio out of order";
    // Reads of the pipe are two frames, or a discard read of 64, 128 or 192.
    for (unsigned n : Box().SoundInReads())
        EXPECT_TRUE(n == 512 || n == 64 || n == 128 || n == 192) << "a read of " << n;
}

INSTANTIATE_TEST_SUITE_P(
    Stream, RecordFaultTest,
    ::testing::Values(StreamFault{"slip1", 1, 0, 1}, StreamFault{"slip63", 63, 0, 1}, StreamFault{"slip64", 64, 0, 1},
                      StreamFault{"slip100", 100, 0, 1}, StreamFault{"slip255", 255, 0, 1},
                      StreamFault{"slip511", 511, 0, 1}, StreamFault{"short100", 0, 100, 1},
                      StreamFault{"short300", 0, 300, 0}, StreamFault{"short511", 0, 511, 0}),
    [](const ::testing::TestParamInfo<StreamFault> &i) { return std::string(i.param.Name); });

#ifndef _WIN32
TEST_F(RecordTest, StartsTakeOnlyPathsOfRegularFiles)
{
    ASSERT_EQ(io.PickUp(), 1);
    const std::string fifo = File("fifo"), dir = File("dir"), dev = File("null"), sock = File("sock");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fs::create_directory(dir);
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(sock.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, sock.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    struct Node {
        std::string Path;
        mode_t Type;
    };
    std::vector<Node> nodes{{fifo, S_IFIFO}, {dir, S_IFDIR}, {sock, S_IFSOCK}};
    // A device node of our own, a null device: one that is removed or
    // written to must not be the system's.
    if (mknod(dev.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0)
        nodes.push_back({dev, S_IFCHR});
    // A reader holds the FIFO open: a writer's open would not wait, and
    // whatever it wrote would show.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    Box().ClearPackets();
    for (const Node &n : nodes) {
        EXPECT_EQ(io.StartReadSound(n.Path.c_str(), 1), -4) << n.Path;
        EXPECT_EQ(io.StartReadSoundCStrF(n.Path.c_str()), -4) << n.Path;
        EXPECT_EQ(io.StartPlaySound(n.Path.c_str(), 0, 1, 1, 1), -4) << n.Path;
        std::string copy = n.Path;
        EXPECT_EQ(io.StartPlaySoundCStr(copy.data(), 0, 1, 1, 1), -4) << n.Path;
        struct stat st;
        ASSERT_EQ(lstat(n.Path.c_str(), &st), 0) << n.Path << " was removed";
        EXPECT_EQ(st.st_mode & S_IFMT, n.Type) << n.Path;
    }
    char byte;
    EXPECT_NE(read(reader, &byte, 1), 1) << "written into the FIFO";
    close(reader);
    close(listener);
    EXPECT_EQ(Box().PacketCount(), 0u);
    // The slot records and plays as before.
    std::vector<uint8_t> b;
    ASSERT_NO_FATAL_FAILURE(RecordAgain("after.wav", b));
}

TEST_F(RecordTest, AStartRemovesOnlyAFileItCreated)
{
    // A file-size limit below the header: the start cannot write it.
    const std::string fresh = File("fresh.wav"), old = File("old.wav");
    WriteWav(old, std::vector<uint8_t>(100, 0x55));
    struct rlimit was;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = was;
    lim.rlim_cur = 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    const int freshStart = io.StartReadSound(fresh.c_str(), 1);
    const int oldStart = io.StartReadSound(old.c_str(), 1);
    setrlimit(RLIMIT_FSIZE, &was);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(freshStart, -4);
    EXPECT_EQ(oldStart, -4);
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_TRUE(fs::exists(old));
}
#endif

}  // namespace

namespace {

// The application takes the raw stream into its own memory.
class PcRecordTest : public RecordTest {
protected:
    // Frame `n` of the stream, as the box sent it.
    static void ExpectFrame(const unsigned char *p, uint64_t n)
    {
        ASSERT_EQ(std::memcmp(p, "stcq", 4), 0) << "frame " << n;
        for (uint64_t k = 0; k < 250; ++k)
            ASSERT_EQ(p[6 + k], Sample(n * 250 + k)) << "frame " << n;
    }
};

TEST_F(PcRecordTest, ChunksCarryTheStreamInOrder)
{
    ASSERT_EQ(io.OpenReadSoundInPC(0x102), 1);
    std::vector<uint8_t> p7;
    for (const zlsim::Bytes64 &p : Box().Packets())
        if (p[0] == 7)
            p7 = {p[1], p[2]};
    EXPECT_EQ(p7, (std::vector<uint8_t>{1, 0x02}));

    unsigned char buf[1024 + 1];
    std::memset(buf, 0xEE, sizeof buf);
    ASSERT_EQ(io.ReadSoundFromBufferToPC(buf, 512), 512);
    EXPECT_EQ(buf[512], 0);
    ExpectFrame(buf, 0);
    ExpectFrame(buf + 256, 1);
    // 1024 bytes: two chunks, one from each buffer, still in order.
    std::memset(buf, 0xEE, sizeof buf);
    ASSERT_EQ(io.ReadSoundFromBufferToPC(buf, 1024), 1024);
    EXPECT_EQ(buf[1024], 0);
    for (int f = 0; f < 4; ++f)
        ExpectFrame(buf + 256 * f, 2 + f);
    // Nothing asked, nothing taken, at once.
    buf[0] = 0xEE;
    EXPECT_EQ(io.ReadSoundFromBufferToPC(buf, 0), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(SlotFor(0).RecordActive.load(), 1);

    const int bytes = io.CloseReadSoundInPC();
    // Everything read from the pipe, the chunk still held included.
    EXPECT_GE(bytes, 3 * 512);
    EXPECT_EQ(bytes % 512, 0);
    EXPECT_EQ(Packets7().back(), 0);
    EXPECT_EQ(AllMessages(), 0u);
    // Once closed, nothing of it is handed out, and nothing waits.
    EXPECT_EQ(io.ReadSoundFromBufferToPC(buf, 512), -4);
    EXPECT_EQ(io.ReadSoundFromBufferToPC(buf, 0), -4);
}

// A length that is no multiple of 512 still takes a chunk: the thread reads
// that many bytes of the stream, frames or not.
TEST_F(PcRecordTest, ShortLengthsTakeTheirBytesOfTheStream)
{
    ASSERT_EQ(io.OpenReadSoundInPC(1), 1);
    std::vector<uint8_t> stream;
    unsigned char buf[300 + 1];
    for (int i = 0; i < 2; ++i) {
        std::memset(buf, 0xEE, sizeof buf);
        ASSERT_EQ(io.ReadSoundFromBufferToPC(buf, 300), 300);
        EXPECT_EQ(buf[300], 0);
        stream.insert(stream.end(), buf, buf + 300);
    }
    ExpectFrame(stream.data(), 0);
    ExpectFrame(stream.data() + 256, 1);
    EXPECT_EQ(std::memcmp(stream.data() + 512, "stcq", 4), 0);
    EXPECT_GE(io.CloseReadSoundInPC(), 600);
}

TEST_F(PcRecordTest, CloseBeforeAnyReadEndsTheCycleAtOnce)
{
    // Without an open: nothing to wait for, the box is told to stop.
    EXPECT_EQ(io.CloseReadSoundInPC(), 0);
    EXPECT_EQ(Packets7(), std::vector<uint8_t>{0});
    ASSERT_EQ(io.OpenReadSoundInPC(1), 1);
    EXPECT_EQ(io.OpenReadSoundInPC(1), -4);  // one recording at a time
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(io.CloseReadSoundInPC(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(int(ScaledMs(30 * 100))));  // not 61 polls
    EXPECT_EQ(AllMessages(), 0u);
    EXPECT_EQ(SlotFor(0).RecordFinished.load(), 1);
    // The slot records again, to a file this time.
    ASSERT_EQ(io.StartReadSound(File("then.wav").c_str(), 1), 1);
    ASSERT_TRUE(AwaitBytes(500));
    EXPECT_GT(io.StopReadSound(), 48);
}

TEST_F(PcRecordTest, ReadEndsWhenTheRecordingBreaks)
{
    ASSERT_EQ(io.OpenReadSoundInPC(1), 1);
    unsigned char buf[513];
    ASSERT_EQ(io.ReadSoundFromBufferToPC(buf, 512), 512);
    Box().FailNext(zlsim::Pipe::SoundIn, zlsim::Op::Read);
    // The chunks read before the failure still come; then the read returns
    // with nothing instead of waiting for ever.
    int got = 512, chunks = 0;
    for (; chunks < 6 && got == 512; ++chunks)
        got = io.ReadSoundFromBufferToPC(buf, 512);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_LE(chunks, 4);
    EXPECT_EQ(io.CloseReadSoundInPC(), -3);
    EXPECT_EQ(CountMessages("In StopReadSound Error!"), 1);
}

TEST_F(PcRecordTest, AReadWithoutAPcRecordingReturnsAtOnce)
{
    unsigned char buf[513];
    EXPECT_EQ(io.ReadSoundFromBufferToPC(buf, 512), -4);
    // A file recording is not the reader's: it goes on, and ends as usual.
    const std::string path = File("file.wav");
    ASSERT_EQ(io.StartReadSound(path.c_str(), 1), 1);
    ASSERT_TRUE(AwaitBytes(1000));
    EXPECT_EQ(io.ReadSoundFromBufferToPC(buf, 512), -4);
    const int size = io.StopReadSound();
    EXPECT_EQ(static_cast<size_t>(size), ReadFile(path).size());
    EXPECT_EQ(io.ReadSoundFromBufferToPC(buf, 512), -4);
    EXPECT_EQ(SlotFor(0).RecordActive.load(), 0);
}

TEST_F(PcRecordTest, AZeroLengthReadTakesNothingFromTheNextOnes)
{
    ASSERT_EQ(io.OpenReadSoundInPC(1), 1);
    unsigned char buf[513];
    EXPECT_EQ(io.ReadSoundFromBufferToPC(buf, 0), 0);
    // Time for the thread to act on the request of nothing, as it would
    // while an application does something else.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (uint64_t i = 0; i < 4; ++i) {
        ASSERT_EQ(io.ReadSoundFromBufferToPC(buf, 512), 512) << i;
        ExpectFrame(buf, 2 * i);
        ExpectFrame(buf + 256, 2 * i + 1);
    }
    EXPECT_GE(io.CloseReadSoundInPC(), 4 * 512);
}

TEST_F(PcRecordTest, ReadsReturnWhileAPlaybackHoldsTheRecording)
{
    PaceSoundOutByHand();
    const std::string wav = WriteWav(File("prompt.wav"), std::vector<uint8_t>(1024, 0x55));
    ASSERT_EQ(io.StartPlaySound(wav.c_str(), 0, 1, 1, 1), 1);
    ASSERT_EQ(io.OpenReadSoundInPC(1), 1);
    unsigned char buf[513];
    uint64_t frame = 0;
    // Each read returns a chunk of the stream in order, or nothing.
    auto readSome = [&](int reads) {
        for (int i = 0; i < reads; ++i) {
            const int got = io.ReadSoundFromBufferToPC(buf, 512);
            ASSERT_TRUE(got == 0 || got == 512) << got;
            if (got == 512) {
                ExpectFrame(buf, frame++);
                ExpectFrame(buf + 256, frame++);
            }
        }
    };
    readSome(6);
    // Played out, and not yet stopped.
    for (size_t total : {512, 1024}) {
        Box().RequestChunk();
        ASSERT_TRUE(Box().WaitSoundOut(total, 3000));
    }
    Box().RequestChunk();  // the read of nothing after the end
    ASSERT_TRUE(Eventually([&] { return SlotFor(0).SoundOutPipeCtx.PlayDone.load() == 1; }));
    readSome(6);
    ASSERT_EQ(io.StopPlaySound(), 1);
    // The recording reads again, without a gap.
    const uint64_t held = frame;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(io.ReadSoundFromBufferToPC(buf, 512), 512);
        ExpectFrame(buf, frame++);
        ExpectFrame(buf + 256, frame++);
    }
    EXPECT_GT(frame, held);
    EXPECT_GT(io.CloseReadSoundInPC(), 0);
}

TEST_F(PcRecordTest, ABreakArmsTheConnectionAlarmAgain)
{
    ASSERT_EQ(io.OpenReadSoundInPC(1), 1);
    unsigned char buf[513];
    ASSERT_EQ(io.ReadSoundFromBufferToPC(buf, 512), 512);
    EXPECT_NE(SlotFor(0).AlarmFlags.load() & 0x2, 0u);
    Box().FailNext(zlsim::Pipe::SoundIn, zlsim::Op::Read);
    ASSERT_TRUE(Eventually([&] { return SlotFor(0).RecordBroken.load() == 1; }));
    EXPECT_TRUE(Eventually([&] { return (SlotFor(0).AlarmFlags.load() & 0x2) == 0; }));
    // The next loss is told.
    Driver.Unplug(0);
    EXPECT_TRUE(Eventually([&] { return AllMessages() == 1; }));
    Driver.Plug(0);
}

TEST_F(PcRecordTest, LengthsUpToIntMaxCountWithoutOverflow)
{
    unsigned char buf[1024 + 1] = {};
    EXPECT_EQ(io.ReadSoundFromBufferToPC(buf, INT_MAX), -4);
    // No PC-side write is open: the first chunk is never taken.
    EXPECT_EQ(io.WriteSoundFromPCToBuffer(buf, INT_MAX), -3);
#ifndef _WIN32
    // A read of INT_MAX bytes runs until the close, and returns what it took.
    const size_t span = static_cast<size_t>(INT_MAX) + 1;
    void *big = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(big, MAP_FAILED);
    ASSERT_EQ(io.OpenReadSoundInPC(1), 1);
    std::atomic<int> got{-100};
    std::thread reader([&] { got = io.ReadSoundFromBufferToPC(static_cast<unsigned char *>(big), INT_MAX); });
    EXPECT_TRUE(Eventually([&] { return io.ReadRecLength() >= 4 * 512; }));
    EXPECT_GE(io.CloseReadSoundInPC(), 4 * 512);
    reader.join();
    EXPECT_GE(got.load(), 3 * 512);
    EXPECT_EQ(got.load() % 512, 0);
    munmap(big, span);
#endif
}

}  // namespace
