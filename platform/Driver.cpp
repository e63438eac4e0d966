#include "platform/Driver.h"

#include <atomic>

namespace zplr::platform {
namespace {
std::atomic<ZlDriverBackend *> g_Backend{nullptr};
}

ZlDriverBackend &Driver()
{
    ZlDriverBackend *b = g_Backend.load(std::memory_order_acquire);
    return b ? *b : PlatformDriver();
}

}  // namespace zplr::platform

void ZlSetDriverBackend(ZlDriverBackend *backend)
{
    zplr::platform::g_Backend.store(backend, std::memory_order_release);
}
