#include "platform/TraceDriver.h"

#include "platform/CommandNames.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace zplr::platform {
namespace {

const char *ControlName(unsigned code)
{
    switch (code) {
    case 0x220008: return "pipe reset";
    case 0x8000200C: return "report start";
    case 0x80002010: return "stream start";
    default: return "unknown request";
    }
}

// The bytes of a packet up to its last non-zero one, at most 16.
std::string Bytes(const uint8_t *p, unsigned n)
{
    while (n && !p[n - 1])
        --n;
    std::string s;
    char hex[4];
    for (unsigned i = 0; i < n && i < 16; ++i) {
        std::snprintf(hex, sizeof hex, " %02X", p[i]);
        s += hex;
    }
    if (n > 16)
        s += " ...";
    return s;
}

class TraceOut {
public:
    TraceOut()
    {
        const char *to = std::getenv("ZPLR_TRACE");
        Wanted_ = to && *to && std::strcmp(to, "0") != 0;
        if (Wanted_ && std::strcmp(to, "1") != 0)
            File_ = std::fopen(to, "a");
        if (Wanted_ && !File_)
            File_ = stderr;
    }
    bool Wanted() const { return Wanted_; }

    // Runs on the library's service threads, some with small stacks: no
    // formatted write to an unbuffered stream, which takes 8 KiB of stack.
    void Line(const char *fmt, ...)
    {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        const long long us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
        const long long day = us % 86400000000LL;
        char text[400];
        int n = std::snprintf(text, 32, "%02lld:%02lld:%02lld.%06lld zPLR ", day / 3600000000LL,
                              day / 60000000LL % 60, day / 1000000LL % 60, day % 1000000LL);
        va_list args;
        va_start(args, fmt);
        std::vsnprintf(text + n, sizeof text - n - 1, fmt, args);
        va_end(args);
        std::strcat(text, "\n");
        std::lock_guard<std::mutex> lock(Mutex_);
        std::fputs(text, File_);
        std::fflush(File_);
    }

private:
    bool Wanted_ = false;
    std::FILE *File_ = nullptr;
    std::mutex Mutex_;
};

TraceOut &Out()
{
    static TraceOut *out = new TraceOut;
    return *out;
}

class TraceDriver final : public ZlDriverBackend {
public:
    explicit TraceDriver(ZlDriverBackend &inner) : Inner_(inner) {}

    int EnumInterface(const ZlGuid &cls, unsigned index, char *path, size_t pathSize,
                      size_t *needed) override
    {
        const int r = Inner_.EnumInterface(cls, index, path, pathSize, needed);
        Out().Line("enum class %08X-...-%02X%02X member %u: %s", cls.Data1, cls.Data4[6],
                   cls.Data4[7], index,
                   r == ZL_ENUM_OK ? "found" : r == ZL_ENUM_NO_MORE ? "no more" : "failed");
        return r;
    }

    ZlHandle Open(const char *path) override
    {
        const ZlHandle h = Inner_.Open(path);
        std::string pipe = "device";
        const char *slash = path ? std::strrchr(path, '\\') : nullptr;
        if (slash && std::strncmp(slash + 1, "ZLDrv", 5) == 0)
            pipe = slash + 1;
        if (h != ZL_INVALID_HANDLE) {
            std::lock_guard<std::mutex> lock(Mutex_);
            Pipes_[h] = pipe;
        }
        Out().Line("open %s: %s", pipe.c_str(), h != ZL_INVALID_HANDLE ? "ok" : "failed");
        return h;
    }

    int Read(ZlHandle h, void *buf, unsigned len, unsigned *done) override
    {
        unsigned got = 0;
        const int r = Inner_.Read(h, buf, len, &got);
        if (done)
            *done = got;
        const std::string pipe = PipeOf(h);
        const uint8_t *p = static_cast<const uint8_t *>(buf);
        if (!r)
            Out().Line("read %s %u bytes: failed", pipe.c_str(), len);
        else if (pipe == "ZLDrv0" && got > 1 && (p[0] == 4 || p[0] == 9))
            Out().Line("read %s %u bytes: report %u %s sub-code 0x%02X:%s", pipe.c_str(), got,
                       p[0], ReportName(p[0]), p[1], Bytes(p + 2, got - 2).c_str());
        else if (pipe == "ZLDrv0" && got)
            Out().Line("read %s %u bytes: report %u %s:%s", pipe.c_str(), got, p[0],
                       ReportName(p[0]), Bytes(p + 1, got - 1).c_str());
        else if (pipe == "ZLDrv2")
            Out().Line("read %s %u bytes: sound in, %u frame marker(s)", pipe.c_str(), got,
                       Markers(p, got));
        else
            Out().Line("read %s %u bytes", pipe.c_str(), got);
        return r;
    }

    // Written down before it goes: the box's answer may be read, and traced,
    // before the write returns.
    int Write(ZlHandle h, const void *buf, unsigned len, unsigned *done) override
    {
        const std::string pipe = PipeOf(h);
        const uint8_t *p = static_cast<const uint8_t *>(buf);
        if (pipe == "ZLDrv1" && len)
            Out().Line("write %s %u bytes: command %u %s args:%s", pipe.c_str(), len, p[0],
                       CommandName(p[0]), Bytes(p + 1, len - 1).c_str());
        else
            Out().Line("write %s %u bytes%s", pipe.c_str(), len, pipe == "ZLDrv3" ? ": sound out" : "");
        unsigned put = 0;
        const int r = Inner_.Write(h, buf, len, &put);
        if (done)
            *done = put;
        if (!r)
            Out().Line("write %s: failed", pipe.c_str());
        return r;
    }

    int Control(ZlHandle h, unsigned code, const void *in, unsigned inLen, void *out,
                unsigned outLen, unsigned *done) override
    {
        const int r = Inner_.Control(h, code, in, inLen, out, outLen, done);
        Out().Line("control %s 0x%08X %s, %u bytes in: %s", PipeOf(h).c_str(), code,
                   ControlName(code), inLen, r ? "ok" : "failed");
        return r;
    }

    void CancelIo(ZlHandle h) override
    {
        Out().Line("cancel %s", PipeOf(h).c_str());
        Inner_.CancelIo(h);
    }

    void Close(ZlHandle h) override
    {
        std::string pipe;
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            pipe = Pipes_.count(h) ? Pipes_[h] : "?";
            Pipes_.erase(h);
        }
        Out().Line("close %s", pipe.c_str());
        Inner_.Close(h);
    }

private:
    std::string PipeOf(ZlHandle h)
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        auto it = Pipes_.find(h);
        return it == Pipes_.end() ? "?" : it->second;
    }
    static unsigned Markers(const uint8_t *p, unsigned n)
    {
        unsigned count = 0;
        for (unsigned i = 0; i + 4 <= n; ++i)
            count += std::memcmp(p + i, "stcq", 4) == 0;
        return count;
    }

    ZlDriverBackend &Inner_;
    std::mutex Mutex_;
    std::map<ZlHandle, std::string> Pipes_;
};

}  // namespace

bool TraceWanted()
{
    static const bool wanted = Out().Wanted();
    return wanted;
}

ZlDriverBackend &Traced(ZlDriverBackend &inner)
{
    static std::mutex mutex;
    static auto *tracers = new std::map<ZlDriverBackend *, TraceDriver *>;
    std::lock_guard<std::mutex> lock(mutex);
    TraceDriver *&t = (*tracers)[&inner];
    if (!t)
        t = new TraceDriver(inner);
    return *t;
}

}  // namespace zplr::platform
