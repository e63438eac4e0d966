// A driver reads the blocks a request points to through the caller's
// address and fails the request when the address is bad. The virtual box
// does the same without faulting: it lets the kernel copy the bytes.
#include "sim/BoxInternals.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace zlsim::internal {

bool ReadCallerMemory(uintptr_t address, void *to, size_t size)
{
    if (size == 0)
        return true;
    if (address == 0)
        return false;
#if defined(_WIN32)
    SIZE_T got = 0;
    return ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void *>(address), to, size,
                             &got) &&
           got == size;
#else
    // Through a pipe of our own: write() fails with EFAULT on a bad address.
    // The raw system call keeps sanitizers from checking the address first.
    static std::mutex m;
    static int fds[2] = {-1, -1};
    std::lock_guard<std::mutex> lock(m);
    if (fds[0] < 0 && pipe(fds) != 0)
        return false;
    const long n = syscall(SYS_write, fds[1], reinterpret_cast<const void *>(address), size);
    if (n != static_cast<long>(size)) {
        if (n > 0) {
            char drain[64];
            for (long left = n; left > 0;)
                left -= read(fds[0], drain, std::min<long>(left, sizeof drain));
        }
        return false;
    }
    size_t got = 0;
    while (got < size) {
        const ssize_t r = read(fds[0], static_cast<char *>(to) + got, size - got);
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
#endif
}

}  // namespace zlsim::internal
