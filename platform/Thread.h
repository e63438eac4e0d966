// Service threads with a priority and a stack size.
#pragma once

#include <cstddef>

namespace zplr::platform {

enum class ThreadPriority { Normal, Highest };

class Thread {
public:
    using Entry = void (*)(void *arg);

    Thread() = default;
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;
    ~Thread();  // detaches a thread still attached

    // stackBytes 0 = the system's default; otherwise rounded up to what the
    // system allows. Highest falls back to normal where it needs privileges.
    bool Start(Entry entry, void *arg, ThreadPriority priority, std::size_t stackBytes);
    bool Started() const { return Handle_ != nullptr; }
    void Join();
    void Detach();

    // What the system granted, for tests.
    std::size_t StackBytes() const { return Stack_; }
    bool RaisedPriority() const { return Raised_; }

private:
    void *Handle_ = nullptr;
    std::size_t Stack_ = 0;
    bool Raised_ = false;
};

}  // namespace zplr::platform
