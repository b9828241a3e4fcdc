// An eventfd that one thread waits on (in a poll, or blocking in wait()) and
// any thread, or a signal handler, notifies.
#pragma once

#include "wardex/base/fd.h"

namespace wardex::base {

class Wakeup {
public:
    enum class Mode { non_blocking, blocking };
    // Throws std::system_error when no eventfd can be made.
    explicit Wakeup(Mode mode = Mode::non_blocking);

    // Async-signal-safe: one write, errno left as it was.
    void notify() const noexcept;
    // Takes the notifications that wait; returns at once when none does
    // (non-blocking mode).
    void drain() const noexcept;
    // Blocking mode: waits for notifications and takes them. 0, also when a
    // signal interrupted the wait, or the errno that keeps it from waiting.
    int wait() const noexcept;
    int fd() const noexcept { return fd_.get(); }

private:
    Fd fd_;
};

}  // namespace wardex::base
