#include "tools/serve/WebPhone.h"
#include "tools/Tool.h"

#include <httplib.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/CommandNames.h"
#include "platform/Wire.h"
#include "sim/LineModel.h"
#include "tools/Convert.h"
#include "tools/WavFile.h"
#include "tools/serve/BoxServer.h"

extern const char ZlboxWebPage[];  // generated from tools/web/

namespace zlbox {

bool HaveWebPhone() { return true; }

namespace {

using Clock = std::chrono::steady_clock;

std::string WallTime()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return text;
}

std::string RandomToken()
{
    uint8_t bytes[16] = {};
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && ::read(fd, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes);
    if (fd >= 0)
        ::close(fd);
    if (!ok)
        return {};
    std::string hex;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

// Sound of one direction, for pages to fetch by position: bounded, and a
// page that falls behind skips ahead.
struct SoundRing {
    std::deque<uint8_t> Bytes;
    uint64_t End = 0;  // position after the last byte
    void Add(const uint8_t *p, size_t n)
    {
        Bytes.insert(Bytes.end(), p, p + n);
        End += n;
        if (Bytes.size() > WebPhone::SoundKept)
            Bytes.erase(Bytes.begin(), Bytes.begin() + (Bytes.size() - WebPhone::SoundKept));
    }
};

struct Event {
    uint64_t Seq;
    std::string Type;  // timeline, command, status
    std::string Json;
};

struct Feed {
    std::deque<Event> Timeline, Commands;
    Event Status{0, "status", "{}"};
    SoundRing Out, In;
};

const char *Verbs[] = {"ring", "keys", "answer", "busy", "hangup", "unplug", "plug"};

}  // namespace

struct WebPhone::Impl {
    BoxServer &Server;
    std::vector<int> Boxes;
    std::string Token;
    std::string Dir;  // uploads and downloads on their way
    httplib::Server Http;
    std::thread Listener, Pump;
    std::mutex Mutex;
    std::condition_variable Changed;
    bool Stopping = false;
    bool Started = false;
    uint64_t Seq = 0;
    std::map<int, Feed> Feeds;
    size_t Streams = 0;
    std::atomic<unsigned> Files{0};
    const Clock::time_point Start = Clock::now();

    Impl(BoxServer &s, const std::vector<int> &boxes) : Server(s), Boxes(boxes)
    {
        for (int b : boxes)
            Feeds[b];
    }

    // Needs Mutex.
    void AddLocked(int box, const std::string &type, const std::string &kind, const std::string &text)
    {
        Feed &f = Feeds[box];
        const long long ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Start).count();
        const uint64_t seq = ++Seq;
        Event e{seq, type,
                "{\"seq\":" + std::to_string(seq) + ",\"box\":" + std::to_string(box) +
                    ",\"ms\":" + std::to_string(ms) + ",\"time\":" + JsonText(WallTime()) +
                    ",\"kind\":" + JsonText(kind) + ",\"text\":" + JsonText(text) + "}"};
        std::deque<Event> &log = type == "command" ? f.Commands : f.Timeline;
        log.push_back(std::move(e));
        const size_t cap = type == "command" ? CommandEvents : TimelineEvents;
        while (log.size() > cap)
            log.pop_front();
        Changed.notify_all();
    }
    void Add(int box, const std::string &type, const std::string &kind, const std::string &text)
    {
        std::lock_guard<std::mutex> lock(Mutex);
        AddLocked(box, type, kind, text);
    }

    void OnLineCommand(int box, const std::string &command, const std::string &answer)
    {
        std::istringstream in(command);
        std::string verb, a, b;
        in >> verb >> a >> b;
        if (verb == "owner") {
            Add(box, "timeline", "owner",
                answer == "taken" ? "an application took the box" : "the application let the box go");
        } else if (verb == "ring") {
            Add(box, "timeline", "ring", "rings: " + a);
            Add(box, "timeline", "callerid", "caller ID " + a + " (" + (b.empty() ? "sdmf" : b) + ")");
        } else if (verb == "keys") {
            Add(box, "timeline", "keys", "keys " + a);
        } else if (verb == "hangup") {
            Add(box, "timeline", "hangup", "the far end hung up");
        } else if (verb == "answer") {
            Add(box, "timeline", "answer", "the far end answered");
        } else if (verb == "busy") {
            Add(box, "timeline", "busy", "the far end is busy");
        } else if (verb == "far-end" && a.rfind(Dir + "/", 0) == 0) {
            Add(box, "timeline", verb, "the far end speaks a file dropped on the page");
        } else if (verb == "save-playback" && a.rfind(Dir + "/", 0) == 0) {
            Add(box, "timeline", verb, "a page downloaded what the line got");
        } else if (verb == "unplug" || verb == "plug") {
            Add(box, "timeline", verb, verb == "plug" ? "box plugged in" : "box unplugged");
        } else {
            Add(box, "timeline", verb, answer);
        }
        Changed.notify_all();
    }

    // On the driver's lock: only our own lock is taken.
    void OnCommand(int box, const zlsim::Bytes64 &p)
    {
        // As ZPLR_TRACE shows it: the bytes after the code up to the last
        // non-zero one, at most 16.
        int last = 0;
        for (int i = 1; i < 17; ++i)
            if (p[i])
                last = i;
        char args[80] = "";
        for (int i = 1, n = 0; i <= last; ++i)
            n += std::snprintf(args + n, sizeof args - n, " %02X", p[i]);
        std::lock_guard<std::mutex> lock(Mutex);
        AddLocked(box, "command", std::to_string(p[0]),
                  std::string(zplr::platform::CommandName(p[0])) + " (" + std::to_string(p[0]) + ")" +
                      (last ? std::string(":") + args : std::string()));
        switch (p[0]) {
        case 3: AddLocked(box, "timeline", "hook", "on hook: the application hung up"); break;
        case 4: AddLocked(box, "timeline", "hook", "off hook: the application picked up"); break;
        case 6: {
            std::string number;
            for (int i = 0; i < std::min<int>(p[1], 41); ++i)
                number += zlsim::LineModel::KeyChar(p[22 + i]);
            AddLocked(box, "timeline", "dial", "the application dials " + number);
            break;
        }
        case 7:
            AddLocked(box, "timeline", "record", p[1] == 1 ? "recording on" : "recording off");
            break;
        case 9:
            AddLocked(box, "timeline", "playback", p[1] == 1 ? "playback start" : "playback end");
            break;
        default: break;
        }
    }

    std::string StatusOf(int box)
    {
        zlsim::LineModel *line = Server.Line(box);
        zlsim::VirtualBox &b = Server.Driver().Box(box);
        const bool plugged = b.Plugged();
        auto flag = [](bool v) { return v ? "true" : "false"; };
        return std::string("{\"box\":") + std::to_string(box) + ",\"plugged\":" + flag(plugged) +
               ",\"owned\":" + flag(Server.Owned(box)) + ",\"offHook\":" + flag(line->OffHook()) +
               ",\"ringing\":" + flag(line->Ringing()) + ",\"callUp\":" + flag(line->CallUp()) +
               ",\"recording\":" + flag(plugged && b.Streaming()) + ",\"playing\":" +
               flag(plugged && b.Playing()) + ",\"dialled\":" + JsonText(line->LastDialled()) + "}";
    }

    // The box's state as the model knows it, sent when it changes. Most
    // changes come with an event that wakes this at once; the stream's
    // start and stop come with none, so it also looks every 100 ms.
    void RunPump()
    {
        std::unique_lock<std::mutex> lock(Mutex);
        uint64_t seen = ~uint64_t(0);
        while (!Stopping) {
            if (seen == Seq)
                Changed.wait_for(lock, std::chrono::milliseconds(100), [&] { return Stopping || Seq != seen; });
            seen = Seq;
            lock.unlock();
            std::map<int, std::string> now;
            for (int b : Boxes)
                now[b] = StatusOf(b);
            lock.lock();
            for (auto &s : now) {
                Feed &f = Feeds[s.first];
                if (f.Status.Json != s.second) {
                    f.Status = Event{++Seq, "status", s.second};
                    seen = Seq;
                    Changed.notify_all();
                }
            }
        }
    }

    // Events of `box` after `after`, in order.
    std::vector<Event> SinceLocked(int box, uint64_t after, uint64_t &statusSeen)
    {
        Feed &f = Feeds[box];
        std::vector<Event> out;
        if (f.Status.Seq > statusSeen) {
            out.push_back(f.Status);
            statusSeen = f.Status.Seq;
        }
        auto take = [&](const std::deque<Event> &log) {
            auto it = std::upper_bound(log.begin(), log.end(), after,
                                       [](uint64_t s, const Event &e) { return s < e.Seq; });
            out.insert(out.end(), it, log.end());
        };
        take(f.Timeline);
        take(f.Commands);
        std::sort(out.begin(), out.end(), [](const Event &a, const Event &b) { return a.Seq < b.Seq; });
        return out;
    }

    int BoxOf(const httplib::Request &req)
    {
        if (!req.has_param("box"))
            return Boxes.front();
        const std::string v = req.get_param_value("box");
        if (v.size() != 1 || v[0] < '0' || v[0] > '3' || !Server.Serves(v[0] - '0'))
            return -1;
        return v[0] - '0';
    }

    static void Answer(httplib::Response &res, int status, bool ok, const std::string &text)
    {
        res.status = status;
        res.set_content("{\"ok\":" + std::string(ok ? "true" : "false") + ",\"answer\":" + JsonText(text) + "}",
                        "application/json");
    }

    std::string TempPath(const char *what)
    {
        return Dir + "/" + what + "-" + std::to_string(++Files) + ".wav";
    }

    void Routes();
};

WebPhone::WebPhone(BoxServer &server, const std::vector<int> &boxes)
    : I_(std::make_unique<Impl>(server, boxes))
{
    Impl *i = I_.get();
    server.Watch([i](int box, const std::string &c, const std::string &a) { i->OnLineCommand(box, c, a); });
    for (int b : boxes) {
        zlsim::VirtualBox &box = server.Driver().Box(b);
        box.SetCommandTap([i, b](const zlsim::Bytes64 &p) { i->OnCommand(b, p); });
        box.SetSoundOutTap([i, b](const uint8_t *p, size_t n) {
            std::lock_guard<std::mutex> lock(i->Mutex);
            i->Feeds[b].Out.Add(p, n);
        });
        // What the line gives the application while it records: the 250
        // samples behind each frame's six bytes of marker, status and key.
        box.SetFrameHook([i, b](uint64_t, uint8_t *frame) {
            std::lock_guard<std::mutex> lock(i->Mutex);
            i->Feeds[b].In.Add(frame + 6, 250);
        });
    }
    i->Pump = std::thread([i] { i->RunPump(); });
}

WebPhone::~WebPhone()
{
    Stop();
    for (int b : I_->Boxes) {
        zlsim::VirtualBox &box = I_->Server.Driver().Box(b);
        box.SetCommandTap(nullptr);
        box.SetSoundOutTap(nullptr);
        box.SetFrameHook(nullptr);
    }
    I_->Server.Watch(nullptr);
    {
        std::lock_guard<std::mutex> lock(I_->Mutex);
        I_->Stopping = true;
    }
    I_->Changed.notify_all();
    if (I_->Pump.joinable())
        I_->Pump.join();
}

void WebPhone::Impl::Routes()
{
    // Every request, the page's own included, needs the token.
    Http.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        res.set_header("Cache-Control", "no-store");
        res.set_header("Referrer-Policy", "no-referrer");
        res.set_header("X-Content-Type-Options", "nosniff");
        if (req.has_param("token") && SameSecret(req.get_param_value("token"), Token))
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 403;
        res.set_content("403: the page's URL with its token is printed by zlbox serve --web\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });

    Http.Get("/", [](const httplib::Request &, httplib::Response &res) {
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                       "connect-src 'self'; img-src data:; media-src blob:; frame-ancestors 'none'");
        res.set_content(ZlboxWebPage, "text/html; charset=utf-8");
    });

    Http.Get("/state", [this](const httplib::Request &, httplib::Response &res) {
        std::string boxes;
        for (int b : Boxes)
            boxes += (boxes.empty() ? "" : ",") + std::to_string(b);
        res.set_content("{\"boxes\":[" + boxes + "],\"timelineKept\":" + std::to_string(TimelineEvents) + "}",
                        "application/json");
    });

    Http.Post("/line", [this](const httplib::Request &req, httplib::Response &res) {
        const int box = BoxOf(req);
        if (box < 0)
            return Answer(res, 404, false, "no such box served here");
        std::istringstream in(req.body);
        std::string verb;
        in >> verb;
        // Files go through their own requests: a page names no path here.
        if (std::find(std::begin(Verbs), std::end(Verbs), verb) == std::end(Verbs))
            return Answer(res, 400, false, "the page takes ring, keys, answer, busy, hangup, unplug, plug");
        if (req.body.size() > zplr::platform::wire::MaxText)
            return Answer(res, 400, false, "command too long");
        std::string answer;
        const bool ok = Server.LineCommand(box, req.body, answer);
        Answer(res, ok ? 200 : 400, ok, answer);
    });

    Http.Post("/far-end", [this](const httplib::Request &req, httplib::Response &res) {
        const int box = BoxOf(req);
        if (box < 0)
            return Answer(res, 404, false, "no such box served here");
        if (req.body.empty())
            return Answer(res, 400, false, "far-end takes a sound file");
        const std::string upload = TempPath("far-end"), alaw = TempPath("far-end-alaw");
        {
            std::ofstream f(upload, std::ios::binary);
            f.write(req.body.data(), static_cast<std::streamsize>(req.body.size()));
            if (!f)
                return Answer(res, 500, false, "cannot keep the file for the line");
        }
        // The file as it came when the line takes it, else converted as
        // zlbox play converts one.
        WavInfo info;
        std::string why, answer;
        std::string use = upload;
        const bool alawAlready = ReadWavInfo(upload, info, why) && info.Tag == 6 && info.Rate == 8000 &&
                                 info.Channels == 1 && info.Bits == 8;
        if (!alawAlready) {
            if (!CanConvert()) {
                std::remove(upload.c_str());
                return Answer(res, 400, false, "this zlbox takes only 8 kHz A-law mono WAV files");
            }
            if (!ConvertToALaw8k(upload, alaw, why)) {
                std::remove(upload.c_str());
                return Answer(res, 400, false, "the file: " + why);
            }
            use = alaw;
        }
        const bool ok = Server.LineCommand(box, "far-end " + use, answer);
        std::remove(upload.c_str());
        std::remove(alaw.c_str());
        Answer(res, ok ? 200 : 400, ok, ok ? "far end speaks the file" : answer);
    });

    Http.Post("/speak", [this](const httplib::Request &req, httplib::Response &res) {
        const int box = BoxOf(req);
        if (box < 0)
            return Answer(res, 404, false, "no such box served here");
        if (req.body.size() > 16000)
            return Answer(res, 413, false, "at most 2 s of sound a request");
        Server.Line(box)->SpeakLive(reinterpret_cast<const uint8_t *>(req.body.data()), req.body.size());
        Answer(res, 200, true, std::to_string(req.body.size()) + " samples");
    });

    // Sound of one direction from position `from` on: "out" what the
    // application plays, "in" what the line gives it while it records.
    Http.Get("/sound", [this](const httplib::Request &req, httplib::Response &res) {
        const int box = BoxOf(req);
        const std::string dir = req.has_param("dir") ? req.get_param_value("dir") : "out";
        if (box < 0 || (dir != "out" && dir != "in"))
            return Answer(res, 404, false, "no such box or direction");
        long long from = -1;
        if (req.has_param("from"))
            from = std::atoll(req.get_param_value("from").c_str());
        std::string bytes;
        uint64_t start, end;
        {
            std::lock_guard<std::mutex> lock(Mutex);
            const SoundRing &r = dir == "out" ? Feeds[box].Out : Feeds[box].In;
            end = r.End;
            const uint64_t oldest = r.End - r.Bytes.size();
            start = from < 0 ? end : std::clamp<uint64_t>(static_cast<uint64_t>(from), oldest, end);
            bytes.assign(r.Bytes.begin() + static_cast<long>(start - oldest), r.Bytes.end());
        }
        res.set_header("X-Sound-From", std::to_string(start));
        res.set_header("X-Sound-To", std::to_string(end));
        res.set_header("Access-Control-Expose-Headers", "X-Sound-From, X-Sound-To");
        res.set_content(bytes, "application/octet-stream");
    });

    Http.Get("/playback.wav", [this](const httplib::Request &req, httplib::Response &res) {
        const int box = BoxOf(req);
        if (box < 0)
            return Answer(res, 404, false, "no such box served here");
        const std::string path = TempPath("playback");
        std::string answer;
        if (!Server.LineCommand(box, "save-playback " + path, answer))
            return Answer(res, 500, false, answer);
        std::ifstream f(path, std::ios::binary);
        std::string wav((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        std::remove(path.c_str());
        res.set_header("Content-Disposition", "attachment; filename=\"box" + std::to_string(box) + "-playback.wav\"");
        res.set_content(wav, "audio/wav");
    });

    Http.Get("/events", [this](const httplib::Request &req, httplib::Response &res) {
        const int box = BoxOf(req);
        if (box < 0)
            return Answer(res, 404, false, "no such box served here");
        {
            std::lock_guard<std::mutex> lock(Mutex);
            if (Streams >= MaxStreams)
                return Answer(res, 503, false, "too many pages open");
            ++Streams;
        }
        struct Cursor {
            uint64_t After = 0, Status = 0;
        };
        auto cursor = std::make_shared<Cursor>();
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, box, cursor](size_t, httplib::DataSink &sink) {
                std::vector<Event> events;
                {
                    std::unique_lock<std::mutex> lock(Mutex);
                    // A comment every 2 s finds a page that went away: the
                    // second write after its close fails.
                    Changed.wait_for(lock, std::chrono::seconds(2), [&] {
                        return Stopping || Seq > cursor->After || Feeds[box].Status.Seq > cursor->Status;
                    });
                    if (Stopping)
                        return false;
                    events = SinceLocked(box, cursor->After, cursor->Status);
                    cursor->After = Seq;
                }
                std::string text;
                for (const Event &e : events)
                    text += "event: " + e.Type + "\ndata: " + e.Json + "\n\n";
                if (text.empty())
                    text = ": still here\n\n";
                return sink.write(text.data(), text.size());
            },
            [this](bool) {
                std::lock_guard<std::mutex> lock(Mutex);
                --Streams;
            });
    });
}

bool WebPhone::Start(const std::string &host, int port, std::string &url, std::string &error)
{
    Impl &i = *I_;
    i.Token = RandomToken();
    if (i.Token.empty()) {
        error = "no random token (cannot read /dev/urandom)";
        return false;
    }
    std::string dir = (std::filesystem::temp_directory_path() / "zlbox-web-XXXXXX").string();
    if (!::mkdtemp(dir.data())) {
        error = "cannot make a directory for the page's files: " + std::string(std::strerror(errno));
        return false;
    }
    i.Dir = dir;
    // Each page holds a thread with its event stream.
    i.Http.new_task_queue = [] { return new httplib::ThreadPool(MaxStreams + 8); };
    // Not httplib's default SO_REUSEPORT: a second server on the same port
    // would share its requests instead of being refused.
    i.Http.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    i.Http.set_payload_max_length(64u << 20);
    i.Http.set_write_timeout(5, 0);
    i.Routes();
    int bound = port;
    if (port == 0)
        bound = i.Http.bind_to_any_port(host);
    else if (!i.Http.bind_to_port(host, port))
        bound = -1;
    if (bound <= 0) {
        error = "cannot listen on " + host + ":" + std::to_string(port) + " (in use?)";
        std::filesystem::remove_all(i.Dir);
        return false;
    }
    i.Started = true;
    i.Listener = std::thread([&i] { i.Http.listen_after_bind(); });
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    url = "http://" + shown + ":" + std::to_string(bound) + "/?token=" + i.Token;
    return true;
}

void WebPhone::Stop()
{
    Impl &i = *I_;
    if (!i.Started)
        return;
    i.Started = false;
    {
        std::lock_guard<std::mutex> lock(i.Mutex);
        i.Stopping = true;
    }
    i.Changed.notify_all();
    i.Http.stop();
    if (i.Listener.joinable())
        i.Listener.join();
    std::error_code ec;
    std::filesystem::remove_all(i.Dir, ec);
}

}  // namespace zlbox
