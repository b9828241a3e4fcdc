// The common part of the simulated PHM and EM daemons: a listening socket,
// its connected peers, their lines, and the peers that watch the events.
#pragma once

#include "wardex/base/poll_loop.h"
#include "wardex/socket_io.h"

#include <map>
#include <memory>
#include <set>
#include <string>

namespace adaptive_sim {

// One service of the simulated platform; lives while `platform` runs.
class Platform_service {
public:
    virtual ~Platform_service() = default;
};

class Line_daemon : public Platform_service {
public:
    Line_daemon(std::string name, wardex::base::Poll_loop& loop, const std::string& socket_path);
    ~Line_daemon() override;

protected:
    struct Peer {
        explicit Peer(wardex::io::Fd fd) : connection(std::move(fd)) {}
        wardex::io::Line_connection connection;
        std::set<std::string> subscriptions;
        bool watching = false;
        // Lines the peer has not taken yet; sent as its socket drains.
        std::string outgoing;
    };

    // One line of a peer. May send to peers, but must not remove them.
    virtual void on_line(Peer& peer, const std::string& line) = 0;

    // Prints the event and passes it on to the watchers, with the time it
    // was received ("at <monotonic ns> <text>").
    void publish(const std::string& text);
    void complain(const std::string& text);
    // Queues one line for the peer and sends what its socket takes now; a
    // peer that is gone, or that lets more than kMaxQueued bytes pile up, is
    // dropped after this round. False when the line will not reach it.
    bool send(Peer& peer, const std::string& line);
    static constexpr std::size_t kMaxQueued = 64u << 20;
    std::map<int, std::unique_ptr<Peer>>& peers() { return peers_; }
    const std::string& name() const { return name_; }

private:
    void accept_peers();
    void read_peer(int fd);
    void flush(Peer& peer);
    void drop_broken();

    std::string name_;
    wardex::base::Poll_loop& loop_;
    std::string socket_path_;
    wardex::io::Fd listening_;
    std::map<int, std::unique_ptr<Peer>> peers_;
    std::set<int> broken_;
};

}  // namespace adaptive_sim
