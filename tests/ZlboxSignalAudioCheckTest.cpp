// zlbox ended from outside, as a user or a service manager ends it: Ctrl-C
// or SIGTERM end a command as its own end would, and a recording killed
// outright is brought back by zlbox repair. Recordings are read back with
// libsndfile, as users' tools read them.
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "AudioCheck.h"
#include "SimFixture.h"

extern char **environ;

using namespace zplr::test;
namespace fs = std::filesystem;

namespace {

#ifdef ZLBOX_PATH
// zlbox running with its stdout and stderr in a file, and TMPDIR of its own.
class Zlbox {
public:
    Zlbox(const std::vector<std::string> &args, const std::string &output, const std::string &tmp)
        : Output(output)
    {
        std::vector<std::string> env{"TMPDIR=" + tmp};
        for (char **e = environ; *e; ++e)
            if (std::strncmp(*e, "TMPDIR=", 7) != 0)
                env.push_back(*e);
        std::vector<char *> envp, argv{const_cast<char *>(ZLBOX_PATH)};
        for (std::string &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<std::string> a = args;
        for (std::string &s : a)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t io;
        posix_spawn_file_actions_init(&io);
        posix_spawn_file_actions_addopen(&io, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&io, 1, 2);
        if (posix_spawn(&Pid, ZLBOX_PATH, &io, nullptr, argv.data(), envp.data()) != 0)
            Pid = -1;
        posix_spawn_file_actions_destroy(&io);
    }
    ~Zlbox()
    {
        if (Pid > 0 && !Ended) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
    }
    std::string Text() const
    {
        std::ifstream f(Output);
        return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    }
    bool Says(const std::string &what, int timeoutMs = 20000) const
    {
        return Eventually([&] { return Text().find(what) != std::string::npos; }, timeoutMs);
    }
    void Signal(int sig) const { kill(Pid, sig); }
    // The exit status; Killed + the signal when one ended it, -1 when it is
    // still running after timeoutMs.
    int Status(int timeoutMs = 15000)
    {
        int status = 0;
        const bool done = Eventually([&] { return waitpid(Pid, &status, WNOHANG) == Pid; }, timeoutMs);
        if (!done)
            return -1;
        Ended = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : Killed + WTERMSIG(status);
    }

    static constexpr int Killed = 1000;
    pid_t Pid = -1;

private:
    std::string Output;
    bool Ended = false;
};

uint32_t U32(const std::vector<uint8_t> &b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

bool Empty(const fs::path &dir) { return fs::is_empty(dir); }

class ZlboxSignalTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(Tmp); }
    std::string File(const char *name) const { return Dir.File(name); }
    // Ten seconds of a tone in a format the library does not play: zlbox
    // converts it into a temporary file first.
    std::string LongSound()
    {
        std::vector<int16_t> pcm;
        for (int i = 0; i < 10 * 16000; ++i)
            pcm.push_back(static_cast<int16_t>(8000 * std::sin(i * 0.2)));
        const std::string path = File("long.wav");
        EXPECT_TRUE(WriteWavWithSndfile(path, "pcm16", 16000, 1, pcm));
        return path;
    }

    ScratchDir Dir{"zlbox-signal-"};
    fs::path Tmp = Dir.Path / "tmp";
};

TEST_F(ZlboxSignalTest, CtrlCOrSigtermEndARecordingComplete)
{
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig == SIGINT ? "SIGINT" : "SIGTERM");
        const std::string wav = File("call.wav"), flac = File("call.flac"), out = File("out.txt");
        Zlbox z({"record", wav, "--seconds", "60", "--to", flac}, out, Tmp.string());
        ASSERT_TRUE(z.Says("StartReadSound: 1")) << z.Text();
        ASSERT_TRUE(Eventually([&] { return fs::exists(wav) && fs::file_size(wav) > 48 + 4000; }, 10000));
        z.Signal(sig);
        EXPECT_EQ(z.Status(), 128 + sig) << z.Text();
        EXPECT_NE(z.Text().find("stopped: interrupted"), std::string::npos) << z.Text();
        const std::vector<uint8_t> b = ReadFile(wav);
        ASSERT_GT(b.size(), 48u + 4000);
        EXPECT_EQ(U32(b, 4), b.size() - 8);
        EXPECT_EQ(U32(b, 44), b.size() - 48);
        const WavInfo w = ReadWavWithSndfile(wav), f = ReadWavWithSndfile(flac);
        ASSERT_TRUE(w.Ok) << w.Error;
        EXPECT_EQ(w.Frames, static_cast<int64_t>(b.size() - 48));
        ASSERT_TRUE(f.Ok) << f.Error;
        EXPECT_EQ(f.Frames, w.Frames);
        EXPECT_TRUE(Empty(Tmp));
    }
}

TEST_F(ZlboxSignalTest, InterruptedPlaybackRemovesItsTemporaryFile)
{
    const std::string sound = LongSound();
    {
        Zlbox z({"play", sound}, File("play.txt"), Tmp.string());
        ASSERT_TRUE(z.Says("StartPlaySound")) << z.Text();
        EXPECT_FALSE(Empty(Tmp));  // the converted copy
        z.Signal(SIGTERM);
        EXPECT_EQ(z.Status(), 143) << z.Text();
        EXPECT_NE(z.Text().find("PutDown: 1"), std::string::npos) << z.Text();
        EXPECT_TRUE(Empty(Tmp));
    }
    {
        // The answering machine, stopped in its greeting: no message is
        // recorded.
        const std::string message = File("message.wav");
        Zlbox z({"record", message, "--greeting", sound}, File("greet.txt"), Tmp.string());
        ASSERT_TRUE(z.Says("StartPlaySound")) << z.Text();
        EXPECT_FALSE(Empty(Tmp));
        z.Signal(SIGINT);
        EXPECT_EQ(z.Status(), 130) << z.Text();
        EXPECT_NE(z.Text().find("PutDown: 1"), std::string::npos) << z.Text();
        EXPECT_TRUE(Empty(Tmp));
        EXPECT_FALSE(fs::exists(message));
    }
}

TEST_F(ZlboxSignalTest, InterruptedCallAndDialHangUp)
{
    {
        Zlbox z({"call", "--no-call", "--wait", "60"}, File("call.txt"), Tmp.string());
        ASSERT_TRUE(z.Says("waiting for a call")) << z.Text();
        z.Signal(SIGINT);
        EXPECT_EQ(z.Status(), 130) << z.Text();
        EXPECT_EQ(z.Text().find("no call within"), std::string::npos) << z.Text();
    }
    {
        Zlbox z({"dial", "95566", "--no-answer", "--wait", "60"}, File("dial.txt"), Tmp.string());
        ASSERT_TRUE(z.Says("SetContinueReturn450Hz: 1")) << z.Text();
        z.Signal(SIGTERM);
        EXPECT_EQ(z.Status(), 143) << z.Text();
        EXPECT_NE(z.Text().find("PutDown: 1"), std::string::npos) << z.Text();
        EXPECT_EQ(z.Text().find("did not answer"), std::string::npos) << z.Text();
    }
}

TEST_F(ZlboxSignalTest, RepairRestoresAKilledRecording)
{
    const std::string wav = File("killed.wav");
    {
        Zlbox z({"record", wav, "--seconds", "60"}, File("record.txt"), Tmp.string());
        ASSERT_TRUE(z.Says("StartReadSound: 1")) << z.Text();
        ASSERT_TRUE(Eventually([&] { return fs::exists(wav) && fs::file_size(wav) > 48 + 8000; }, 10000));
        z.Signal(SIGKILL);
        EXPECT_EQ(z.Status(), Zlbox::Killed + SIGKILL);
    }
    // Killed, the file keeps the sizes it carries while it records.
    std::vector<uint8_t> b = ReadFile(wav);
    ASSERT_GT(b.size(), 48u + 8000);
    EXPECT_EQ(U32(b, 4), 16376u);
    EXPECT_EQ(U32(b, 44), 2016u);

    const std::string out = File("repair.txt");
    Zlbox repair({"repair", wav}, out, Tmp.string());
    EXPECT_EQ(repair.Status(), 0) << repair.Text();
    EXPECT_NE(repair.Text().find("repaired: " + std::to_string(b.size() - 48) + " bytes"), std::string::npos)
        << repair.Text();
    std::vector<uint8_t> r = ReadFile(wav);
    ASSERT_EQ(r.size(), b.size());
    EXPECT_EQ(U32(r, 4), r.size() - 8);
    EXPECT_EQ(U32(r, 44), r.size() - 48);
    EXPECT_TRUE(std::equal(r.begin() + 48, r.end(), b.begin() + 48));
    const WavInfo w = ReadWavWithSndfile(wav);
    ASSERT_TRUE(w.Ok) << w.Error;
    EXPECT_EQ(w.Frames, static_cast<int64_t>(r.size() - 48));

    // Complete now: nothing to do.
    Zlbox again({"repair", wav}, File("again.txt"), Tmp.string());
    EXPECT_EQ(again.Status(), 0) << again.Text();
    EXPECT_NE(again.Text().find("complete, nothing done"), std::string::npos) << again.Text();
    EXPECT_EQ(ReadFile(wav), r);
}

TEST_F(ZlboxSignalTest, RepairRefusesWhatIsNoKilledRecording)
{
    const std::string text = File("notes.txt"), fifo = File("fifo"), other = File("other.wav");
    std::ofstream(text) << "not a recording\n";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fs::copy_file(fs::path(__FILE__).parent_path() / "data" / "alaw_sox.wav", other);
    const std::vector<uint8_t> otherBefore = ReadFile(other);
    // The library's layout, its sizes neither the placeholders nor its own.
    const std::string odd = WriteWav(File("odd.wav"), std::vector<uint8_t>(100, 0x55));
    {
        std::fstream f(odd, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(44);
        f.put(50);
    }
    const std::vector<uint8_t> oddBefore = ReadFile(odd);
    const std::string good = WriteWav(File("good.wav"), std::vector<uint8_t>(100, 0x55));
    Zlbox z({"repair", good, text, fifo, other, odd, File("missing.wav")}, File("out.txt"), Tmp.string());
    EXPECT_EQ(z.Status(), 2) << z.Text();
    const std::string said = z.Text();
    for (const std::string &f : {text, fifo, other, odd, File("missing.wav")})
        EXPECT_NE(said.find(f + ": refused"), std::string::npos) << f << "\n" << said;
    EXPECT_NE(said.find(good + ": complete"), std::string::npos) << said;
    EXPECT_EQ(ReadFile(other), otherBefore);
    EXPECT_EQ(ReadFile(odd), oddBefore);
    struct stat st;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}
#endif

}  // namespace
