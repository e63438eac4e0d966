#include "platform/Driver.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/ServedDriver.h"
#include "platform/TraceDriver.h"

namespace zplr::platform {
namespace {
std::atomic<ZlDriverBackend *> g_Backend{nullptr};

// ZPLR_DRIVER names a served box; read once, kept for the process's life.
ZlDriverBackend &DefaultDriver()
{
    static ZlDriverBackend *const chosen = [] {
        const char *address = std::getenv("ZPLR_DRIVER");
        if (address && *address) {
            if (ZlDriverBackend *served = NewServedDriver(address))
                return served;
            std::fprintf(stderr,
                         "zPLR: ZPLR_DRIVER=%s is neither unix:PATH nor tcp:127.0.0.1:PORT; "
                         "the platform's own driver stays\n",
                         address);
        }
        return &PlatformDriver();
    }();
    return *chosen;
}
}  // namespace

ZlDriverBackend &Driver()
{
    ZlDriverBackend *b = g_Backend.load(std::memory_order_acquire);
    ZlDriverBackend &chosen = b ? *b : DefaultDriver();
    return TraceWanted() ? Traced(chosen) : chosen;
}

}  // namespace zplr::platform

void ZlSetDriverBackend(ZlDriverBackend *backend)
{
    zplr::platform::g_Backend.store(backend, std::memory_order_release);
}
