#include "tools/serve/Serve.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/Socket.h"
#include "platform/Wire.h"

#ifndef _WIN32
#include <csignal>

#include "tools/serve/BoxServer.h"
#endif
#include "tools/serve/WebPhone.h"

namespace zlbox {

using namespace zplr::platform;

std::string DefaultServeAddress(bool make)
{
    const std::string dir = RuntimeDir(make);
    return dir.empty() ? std::string() : "unix:" + dir + "/zplr.sock";
}

bool ParseScriptLine(const std::string &text, ScriptLine &out, std::string &why)
{
    out = ScriptLine{};
    std::istringstream in(text);
    std::string when;
    if (!(in >> when) || when[0] == '#')
        return true;
    const size_t slash = when.find('/');
    char *end = nullptr;
    out.At = std::strtod(when.c_str(), &end);
    if (end == when.c_str() || (slash == std::string::npos ? *end != '\0' : *end != '/') ||
        !(out.At >= 0)) {
        why = "a line starts with its time in seconds, AT or AT/EVERY";
        return false;
    }
    if (slash != std::string::npos) {
        const char *every = when.c_str() + slash + 1;
        out.Every = std::strtod(every, &end);
        if (end == every || *end || !(out.Every >= 0.05)) {
            why = "the repeat interval takes seconds, 0.05 or more";
            return false;
        }
    }
    std::string word;
    in >> std::ws;
    if (in.peek() == '@') {
        in >> word;
        if (word.size() != 2 || word[1] < '0' || word[1] > '3') {
            why = "@BOX takes a box index 0 to 3";
            return false;
        }
        out.Box = word[1] - '0';
    }
    std::getline(in >> std::ws, out.Command);
    if (out.Command.empty()) {
        why = "a time without a command";
        return false;
    }
    return true;
}

namespace {

// Paths go to the server as absolute ones: it may run elsewhere.
std::string Absolute(const std::string &path)
{
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    return ec ? path : p.string();
}

// The hello with this user's token; true when the server took it.
bool SayHello(SocketFd fd)
{
    const std::string token = ReadToken(TokenFilePath());
    std::vector<uint8_t> out(wire::HeaderSize + 4 + token.size());
    wire::Header h;
    h.Op = wire::Hello;
    h.Size = static_cast<uint32_t>(4 + token.size());
    wire::EncodeHeader(h, out.data());
    wire::Put32(out.data() + wire::HeaderSize, wire::Version);
    std::memcpy(out.data() + wire::HeaderSize + 4, token.data(), token.size());
    uint8_t head[wire::HeaderSize + 4];
    wire::Header r;
    return SendAll(fd, out.data(), out.size()) && RecvAll(fd, head, sizeof head) &&
           !wire::DecodeHeader(head, r, true) && wire::Get32(head + wire::HeaderSize) == 1;
}

}  // namespace

bool ServerAnswers(const std::string &address, std::string &why)
{
    SocketFd fd = ConnectTo(address, &why);
    if (fd == NoSocket)
        return false;
    SetReceiveTimeout(fd, 5000);
    const bool ok = SayHello(fd);
    CloseSocket(fd);
    if (!ok)
        why = "the server refused the connection (a wrong token?)";
    return ok;
}

int LineCommand(const std::string &address, int index, const std::vector<std::string> &words)
{
    std::string to = address;
    if (to.empty()) {
        const char *env = std::getenv("ZPLR_DRIVER");
        to = env && *env ? env : DefaultServeAddress();
        if (to.empty()) {
            std::fprintf(stderr, "zlbox line: no server to reach: ZPLR_DRIVER is not set, and no zlbox serve "
                                 "has made its default socket; start zlbox serve, or give --connect\n");
            return 1;
        }
    }
    if (words.empty()) {
        std::fprintf(stderr, "zlbox line: which command?\n");
        return 2;
    }
    std::string text = words[0];
    for (size_t i = 1; i < words.size(); ++i)
        text += " " + ((words[0] == "far-end" || words[0] == "save-playback") ? Absolute(words[i])
                                                                               : words[i]);
    if (text.size() > wire::MaxText) {
        std::fprintf(stderr, "zlbox line: command too long\n");
        return 2;
    }
    std::string error;
    SocketFd fd = ConnectTo(to, &error);
    if (fd == NoSocket) {
        std::fprintf(stderr, "zlbox line: cannot reach %s: %s\n", to.c_str(), error.c_str());
        return 1;
    }
    SetReceiveTimeout(fd, 10000);
    bool ok = SayHello(fd);
    std::vector<uint8_t> out;
    wire::Header h, r;
    uint8_t head[wire::HeaderSize];
    if (!ok) {
        CloseSocket(fd);
        std::fprintf(stderr, "zlbox line: %s refused the connection\n", to.c_str());
        return 1;
    }
    h.Op = wire::Line;
    h.Size = static_cast<uint32_t>(text.size());
    h.Id = 1;
    h.Handle = static_cast<uint32_t>(index);
    out.assign(wire::HeaderSize, 0);
    wire::EncodeHeader(h, out.data());
    out.insert(out.end(), text.begin(), text.end());
    std::vector<uint8_t> answer;
    ok = SendAll(fd, out.data(), out.size()) && RecvAll(fd, head, wire::HeaderSize) &&
         !wire::DecodeHeader(head, r, true) && r.Op == (wire::Line | wire::ReplyBit);
    if (ok) {
        answer.resize(r.Size);
        ok = RecvAll(fd, answer.data(), r.Size);
    }
    CloseSocket(fd);
    if (!ok) {
        std::fprintf(stderr, "zlbox line: no answer from %s\n", to.c_str());
        return 1;
    }
    const std::string said(answer.begin() + 4, answer.end());
    const bool done = wire::Get32(answer.data()) == 1;
    std::fprintf(done ? stdout : stderr, "%s%s\n", done ? "" : "zlbox line: ", said.c_str());
    return done ? 0 : 2;
}

#ifdef _WIN32

int Serve(const ServeOptions &)
{
    std::fprintf(stderr, "zlbox serve: runs on Linux; Windows clients reach it over tcp\n");
    return 1;
}

#else

namespace {

BoxServer *g_Server = nullptr;

extern "C" void ServeStopSignal(int)
{
    if (g_Server)
        g_Server->Stop();
}

// Runs a script's lines at their times, from the server's start.
class ScriptRunner {
public:
    ScriptRunner(BoxServer &server, std::vector<ScriptLine> lines, int firstBox)
        : Server_(server), Lines_(std::move(lines)), FirstBox_(firstBox)
    {
        Thread_ = std::thread([this] { Run(); });
    }
    ~ScriptRunner()
    {
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            Stop_ = true;
        }
        Cv_.notify_all();
        Thread_.join();
    }

private:
    void Run()
    {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point start = Clock::now();
        std::vector<double> next;
        for (const ScriptLine &l : Lines_)
            next.push_back(l.At);
        std::unique_lock<std::mutex> lock(Mutex_);
        while (!Stop_) {
            size_t first = 0;
            for (size_t i = 1; i < next.size(); ++i)
                if (next[i] < next[first])
                    first = i;
            const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(next[first]));
            if (Cv_.wait_until(lock, due, [&] { return Stop_; }))
                return;
            const ScriptLine &l = Lines_[first];
            const int box = l.Box < 0 ? FirstBox_ : l.Box;
            std::string answer;
            lock.unlock();
            const bool ok = Server_.LineCommand(box, l.Command, answer);
            std::printf("script %.2f s: box %d: %s%s\n", next[first], box, ok ? "" : "refused: ",
                        answer.c_str());
            std::fflush(stdout);
            lock.lock();
            next[first] = l.Every > 0 ? next[first] + l.Every : Done;
            if (*std::min_element(next.begin(), next.end()) == Done)
                return;
        }
    }

    static constexpr double Done = 1e300;  // a line run once
    BoxServer &Server_;
    const std::vector<ScriptLine> Lines_;
    const int FirstBox_;
    std::mutex Mutex_;
    std::condition_variable Cv_;
    bool Stop_ = false;
    std::thread Thread_;
};

}  // namespace

int Serve(const ServeOptions &o)
{
    std::vector<ScriptLine> script;
    if (!o.Script.empty()) {
        std::ifstream in(o.Script);
        if (!in) {
            std::fprintf(stderr, "zlbox serve: cannot read %s\n", o.Script.c_str());
            return 2;
        }
        std::string text, why;
        for (int n = 1; std::getline(in, text); ++n) {
            ScriptLine l;
            if (!ParseScriptLine(text, l, why)) {
                std::fprintf(stderr, "zlbox serve: %s:%d: %s\n", o.Script.c_str(), n, why.c_str());
                return 2;
            }
            if (!l.Command.empty())
                script.push_back(l);
        }
    }
    std::string webHost;
    int webPort = 0;
    if (o.Web) {
        std::string why;
        if (!HaveWebPhone()) {
            std::fprintf(stderr, "zlbox serve: this zlbox was built without the web phone "
                                 "(cpp-httplib was missing: apt-get install libcpp-httplib-dev, then rebuild)\n");
            return 2;
        }
        if (!ParseWebAddress(o.WebAddress, webHost, webPort, why)) {
            std::fprintf(stderr, "zlbox serve: --web: %s\n", why.c_str());
            return 2;
        }
    }
    const std::string address = o.Listen.empty() ? DefaultServeAddress(true) : o.Listen;
    if (address.empty()) {
        std::fprintf(stderr, "zlbox serve: no private place for the socket; give --listen\n");
        return 2;
    }
    std::string token;
    const bool tcp = address.rfind("tcp:", 0) == 0;
    const std::string tokenFile = tcp ? TokenFilePath(true) : std::string();
    if (tcp && (tokenFile.empty() || !WriteNewToken(tokenFile, &token))) {
        std::fprintf(stderr, "zlbox serve: cannot write the token file %s\n", tokenFile.c_str());
        return 1;
    }
    BoxServer server(o.Boxes, o.Pace, o.ReplyDelay);
    std::string error;
    if (!server.Listen(address, token, &error)) {
        std::fprintf(stderr, "zlbox serve: %s: %s\n", address.c_str(), error.c_str());
        return 1;
    }
    std::string boxes;
    for (int b : o.Boxes) {
        // Appended piece by piece: gcc 12 warns (-Wrestrict) on "literal" + string here.
        if (!boxes.empty())
            boxes += ',';
        boxes += std::to_string(b);
    }
    std::printf("zlbox serve: boxes %s on %s until Ctrl-C\n", boxes.c_str(), address.c_str());
    if (tcp)
        std::printf("token file: %s (clients read it; ZPLR_TOKEN_FILE names another)\n",
                    tokenFile.c_str());
    std::printf("ZPLR_DRIVER=%s\n", address.c_str());
    std::unique_ptr<WebPhone> web;
    if (o.Web) {
        web = std::make_unique<WebPhone>(server, o.Boxes);
        std::string url;
        if (!web->Start(webHost, webPort, url, error)) {
            std::fprintf(stderr, "zlbox serve: --web: %s\n", error.c_str());
            return 1;
        }
        std::printf("web phone: %s\n", url.c_str());
        if (o.Boxes.size() > 1)
            std::printf("  (box %d; add &box=N for another)\n", o.Boxes.front());
    }
    std::fflush(stdout);

    g_Server = &server;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = ServeStopSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    {
        std::unique_ptr<ScriptRunner> runner;
        if (!script.empty())
            runner = std::make_unique<ScriptRunner>(server, std::move(script), o.Boxes.front());
        server.Run();
    }
    web.reset();
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    g_Server = nullptr;
    if (tcp)
        std::remove(tokenFile.c_str());
    std::printf("zlbox serve: stopped\n");
    return 0;
}

#endif

}  // namespace zlbox
