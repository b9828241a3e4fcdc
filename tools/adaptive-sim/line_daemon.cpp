#include "adaptive-sim/line_daemon.h"

#include "adaptive-sim/event_output.h"
#include "wardex/protocol.h"

#include <cerrno>
#include <system_error>

#include <sys/socket.h>

#include <unistd.h>

namespace adaptive_sim {

Line_daemon::Line_daemon(std::string name, wardex::base::Poll_loop& loop, const std::string& socket_path)
    : name_(std::move(name)), loop_(loop), socket_path_(socket_path) {
    listening_ = wardex::io::listen_unix(socket_path_);
    loop_.watch(listening_.get(), [this] { accept_peers(); });
}

Line_daemon::~Line_daemon() {
    for (const auto& entry : peers_) loop_.unwatch(entry.first);
    loop_.unwatch(listening_.get());
    ::unlink(socket_path_.c_str());
}

void Line_daemon::accept_peers() {
    for (;;) {
        wardex::io::Fd fd;
        try {
            fd = wardex::io::accept_connection(listening_.get());
        } catch (const std::system_error& error) {
            complain(std::string("accept failed: ") + error.what());
            return;
        }
        if (!fd) return;
        const int key = fd.get();
        peers_[key] = std::make_unique<Peer>(std::move(fd));
        loop_.watch(key, [this, key] { read_peer(key); });
    }
}

void Line_daemon::read_peer(int fd) {
    auto found = peers_.find(fd);
    if (found == peers_.end()) return;
    Peer& peer = *found->second;
    const unsigned overlong_before = peer.connection.overlong_lines();
    const bool open = peer.connection.read_some();
    for (unsigned i = overlong_before; i < peer.connection.overlong_lines(); ++i) {
        complain("ignored a line longer than " + std::to_string(wardex::protocol::kMaxLineLength) +
                 " bytes");
    }
    while (auto line = peer.connection.next_line()) on_line(peer, *line);
    if (!open) broken_.insert(fd);
    drop_broken();
}

void Line_daemon::drop_broken() {
    for (int broken : broken_) {
        loop_.unwatch(broken);
        peers_.erase(broken);
    }
    broken_.clear();
}

void Line_daemon::publish(const std::string& text) {
    print_event(name_, text);
    const std::string line = "at " + std::to_string(monotonic_ns()) + " " + text;
    for (auto& entry : peers_) {
        if (entry.second->watching) send(*entry.second, line);
    }
}

void Line_daemon::complain(const std::string& text) { print_complaint(name_, text); }

bool Line_daemon::send(Peer& peer, const std::string& line) {
    const int fd = peer.connection.fd();
    if (broken_.count(fd) != 0) return false;
    if (peer.outgoing.size() + line.size() + 1 > kMaxQueued) {
        complain("dropped a peer that took no data while " + std::to_string(peer.outgoing.size()) +
                 " bytes waited for it");
        broken_.insert(fd);
        return false;
    }
    const bool was_waiting = !peer.outgoing.empty();
    peer.outgoing += line;
    peer.outgoing += '\n';
    if (was_waiting) return true;
    flush(peer);
    if (broken_.count(fd) != 0) return false;
    if (!peer.outgoing.empty()) {
        loop_.watch_writable(fd, [this, fd] {
            auto found = peers_.find(fd);
            if (found == peers_.end()) return;
            flush(*found->second);
            drop_broken();
        });
    }
    return true;
}

// A slow peer never stalls the daemon: what its socket does not take now
// waits in its queue.
void Line_daemon::flush(Peer& peer) {
    const int fd = peer.connection.fd();
    while (!peer.outgoing.empty()) {
        const ssize_t written =
            ::send(fd, peer.outgoing.data(), peer.outgoing.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            broken_.insert(fd);
            return;
        }
        peer.outgoing.erase(0, static_cast<std::size_t>(written));
    }
    loop_.unwatch_writable(fd);
}

}  // namespace adaptive_sim
