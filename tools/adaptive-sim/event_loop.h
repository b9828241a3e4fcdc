// A single-threaded poll loop for the simulated platform's daemons.
#pragma once

#include <functional>
#include <map>

namespace adaptive_sim {

class Event_loop {
public:
    using Handler = std::function<void()>;

    // Calls on_readable whenever fd is readable (or closed by its peer).
    void watch(int fd, Handler on_readable);
    // Safe from inside a handler, also for the handler's own fd.
    void unwatch(int fd);

    // Runs until stop() is called from a handler.
    void run();
    void stop() { stopped_ = true; }

private:
    std::map<int, Handler> handlers_;
    bool stopped_ = false;
};

}  // namespace adaptive_sim
