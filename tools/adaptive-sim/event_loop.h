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
    // Calls on_writable whenever fd can take more data, until unwatch_writable.
    void watch_writable(int fd, Handler on_writable);
    void unwatch_writable(int fd);
    // Ends both watches of fd. Safe from inside a handler, also for the
    // handler's own fd.
    void unwatch(int fd);

    // Runs until stop() is called from a handler.
    void run();
    void stop() { stopped_ = true; }

private:
    std::map<int, Handler> handlers_;
    std::map<int, Handler> writable_handlers_;
    bool stopped_ = false;
};

}  // namespace adaptive_sim
