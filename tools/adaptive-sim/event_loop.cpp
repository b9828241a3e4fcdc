#include "adaptive-sim/event_loop.h"

#include <cerrno>
#include <system_error>
#include <vector>

#include <poll.h>

namespace adaptive_sim {

void Event_loop::watch(int fd, Handler on_readable) { handlers_[fd] = std::move(on_readable); }

void Event_loop::watch_writable(int fd, Handler on_writable) {
    writable_handlers_[fd] = std::move(on_writable);
}

void Event_loop::unwatch_writable(int fd) { writable_handlers_.erase(fd); }

void Event_loop::unwatch(int fd) {
    handlers_.erase(fd);
    writable_handlers_.erase(fd);
}

void Event_loop::run() {
    while (!stopped_) {
        std::map<int, short> events;
        for (const auto& entry : handlers_) events[entry.first] |= POLLIN;
        for (const auto& entry : writable_handlers_) events[entry.first] |= POLLOUT;
        std::vector<pollfd> fds;
        for (const auto& entry : events) fds.push_back({entry.first, entry.second, 0});
        const int ready = ::poll(fds.data(), fds.size(), -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        for (const auto& fd : fds) {
            if (stopped_) return;
            if (fd.revents == 0) continue;
            // A handler may have removed this fd, or another one, meanwhile.
            if ((fd.revents & POLLOUT) != 0) {
                auto found = writable_handlers_.find(fd.fd);
                if (found != writable_handlers_.end()) {
                    Handler handler = found->second;
                    handler();
                }
            }
            if ((fd.revents & ~POLLOUT) != 0) {
                auto found = handlers_.find(fd.fd);
                if (found == handlers_.end()) continue;
                Handler handler = found->second;
                handler();
            }
        }
    }
}

}  // namespace adaptive_sim
