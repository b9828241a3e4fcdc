#include "adaptive-sim/event_loop.h"

#include <cerrno>
#include <system_error>
#include <vector>

#include <poll.h>

namespace adaptive_sim {

void Event_loop::watch(int fd, Handler on_readable) { handlers_[fd] = std::move(on_readable); }

void Event_loop::unwatch(int fd) { handlers_.erase(fd); }

void Event_loop::run() {
    while (!stopped_) {
        std::vector<pollfd> fds;
        for (const auto& entry : handlers_) fds.push_back({entry.first, POLLIN, 0});
        const int ready = ::poll(fds.data(), fds.size(), -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        for (const auto& fd : fds) {
            if (stopped_) return;
            if (fd.revents == 0) continue;
            // A handler may have removed this fd, or another one, meanwhile.
            auto found = handlers_.find(fd.fd);
            if (found == handlers_.end()) continue;
            Handler handler = found->second;
            handler();
        }
    }
}

}  // namespace adaptive_sim
