// Runs this process's service discovery for the UDP transport. It owns the
// state machine, the lock that guards it, the availability handler and the
// session ids of the notifications sent. Every step (a discovery message,
// the timer, an offer withdrawn, a find, a subscription) runs under the
// lock; what the step asks for (datagrams from the discovery socket,
// warnings, availability changes) is done afterwards with no lock held, and
// the availability handler is called on the thread that ran the step.
#pragma once

#include "rk/com/runtime/someip/service_discovery.h"
#include "rk/com/runtime/someip/udp_socket.h"
#include "rk/com/runtime/transport.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

namespace rk::com::runtime::someip {

// Sends bytes from socket; a failure is logged, limited per peer.
void send_or_log(const Udp_socket& socket, const std::vector<std::uint8_t>& bytes, Address to);

class Discovery_driver {
public:
    using Clock = std::chrono::steady_clock;
    // The instance of the deployment behind a pair of wire ids; nothing for none.
    using Service_of = std::function<std::optional<cpp_binding::Service_info>(Instance_key)>;
    struct Notification {
        Address to;
        std::uint16_t session_id;
    };

    // socket is the discovery endpoint every message leaves from; shared_port
    // when the deployment lets other sockets bind it too.
    Discovery_driver(Service_discovery::Config config, std::shared_ptr<Udp_socket> socket,
                     bool shared_port, Service_of service_of);
    Discovery_driver(const Discovery_driver&) = delete;
    Discovery_driver& operator=(const Discovery_driver&) = delete;

    const std::shared_ptr<Udp_socket>& socket() const noexcept { return socket_; }
    void set_availability_handler(Availability_handler handler);

    // Announced after the initial wait (the caller wakes the receiving thread).
    void offer(const Service_discovery::Local_offer& offer);
    void stop_offer(Instance_key key);
    void find(Instance_key key);
    void subscribe(Instance_key key, std::uint16_t eventgroup, Address receiver);
    void unsubscribe(Instance_key key, std::uint16_t eventgroup);
    // On the receiving thread only.
    void on_message(const sd::Message& message, std::uint16_t session_id, Address from,
                    bool via_multicast);
    void on_timer();

    std::optional<Address> endpoint_of(Instance_key key) const;
    Clock::time_point next_deadline() const;
    // Where count notifications of an eventgroup go, each with its session
    // id: the live subscribers in turn, count ids for each.
    std::vector<Notification> notifications(Instance_key key, std::uint16_t eventgroup,
                                            std::size_t count);
    std::size_t subscriber_count(Instance_key key, const std::set<std::uint16_t>& eventgroups) const;

private:
    // A step of the state machine, under the lock.
    template <typename Step>
    Service_discovery::Actions locked(Step&& step);
    // The one way a step runs: under the lock, its actions applied after.
    template <typename Step>
    void run(Step&& step);
    void apply(const Service_discovery::Actions& actions);
    void check_foreign_socket(const Service_discovery::Actions& actions);

    const std::shared_ptr<Udp_socket> socket_;
    const bool shared_port_;
    const Service_of service_of_;
    mutable std::mutex mutex_;
    Service_discovery discovery_;
    Availability_handler availability_;
    std::map<Instance_key, Session_counter> sessions_;
    // Whether a foreign socket on the discovery endpoint has been logged;
    // the receiving thread's alone.
    bool foreign_socket_logged_{false};
};

}  // namespace rk::com::runtime::someip
