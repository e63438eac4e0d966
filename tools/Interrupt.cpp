#include "tools/Interrupt.h"

#include <atomic>
#include <csignal>

namespace zlbox {

namespace {

std::atomic<int> Noted{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

extern "C" void Note(int sig) { Noted.store(sig); }

}  // namespace

void CatchInterrupts()
{
#ifdef _WIN32
    // The C runtime puts the default back before it calls Note.
    std::signal(SIGINT, Note);
    std::signal(SIGTERM, Note);
#else
    struct sigaction sa {};
    sa.sa_handler = Note;
    sigemptyset(&sa.sa_mask);
    // Transfers with a served box go on undisturbed.
    sa.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
#endif
}

int Interruption() { return Noted.load(); }

}  // namespace zlbox
