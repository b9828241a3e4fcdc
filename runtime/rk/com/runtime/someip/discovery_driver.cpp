#include "rk/com/runtime/someip/discovery_driver.h"

#include "rk/com/runtime/runtime_logger.h"
#include "wardex/limited_warnings.h"

#include <cerrno>
#include <cstring>
#include <random>
#include <utility>

namespace rk::com::runtime::someip {

void send_or_log(const Udp_socket& socket, const std::vector<std::uint8_t>& bytes, Address to) {
    if (socket.send_to(bytes.data(), bytes.size(), to)) return;
    const int error = errno;
    // Where datagrams go is others' choice (their endpoints): the log is limited per peer.
    wardex::log::limited_warnings().warn(runtime_logger(), "SOME/IP datagram not sent", to_text(to),
                                         [&](ara::log::LogStream& stream) {
                                             stream << "SOME/IP datagram to" << to_text(to)
                                                    << "not sent:" << std::strerror(error);
                                         });
}

Discovery_driver::Discovery_driver(Service_discovery::Config config,
                                   std::shared_ptr<Udp_socket> socket, bool shared_port,
                                   Service_of service_of)
    : socket_(std::move(socket)),
      shared_port_(shared_port),
      service_of_(std::move(service_of)),
      discovery_(std::move(config), std::random_device{}()) {}

void Discovery_driver::set_availability_handler(Availability_handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    availability_ = std::move(handler);
}

template <typename Step>
Service_discovery::Actions Discovery_driver::locked(Step&& step) {
    std::lock_guard<std::mutex> lock(mutex_);
    return step(discovery_, Clock::now());
}

template <typename Step>
void Discovery_driver::run(Step&& step) {
    apply(locked(std::forward<Step>(step)));
}

void Discovery_driver::offer(const Service_discovery::Local_offer& offer) {
    std::lock_guard<std::mutex> lock(mutex_);
    discovery_.offer(offer, Clock::now());
}

void Discovery_driver::stop_offer(Instance_key key) {
    run([&](Service_discovery& sd, Clock::time_point now) { return sd.stop_offer(key, now); });
}

void Discovery_driver::find(Instance_key key) {
    run([&](Service_discovery& sd, Clock::time_point now) { return sd.find(key, now); });
}

void Discovery_driver::subscribe(Instance_key key, std::uint16_t eventgroup, Address receiver) {
    run([&](Service_discovery& sd, Clock::time_point now) {
        return sd.subscribe(key, eventgroup, receiver, now);
    });
}

void Discovery_driver::unsubscribe(Instance_key key, std::uint16_t eventgroup) {
    run([&](Service_discovery& sd, Clock::time_point now) {
        return sd.unsubscribe(key, eventgroup, now);
    });
}

void Discovery_driver::on_message(const sd::Message& message, std::uint16_t session_id,
                                  Address from, bool via_multicast) {
    run([&](Service_discovery& sd, Clock::time_point now) {
        return sd.on_message(message, session_id, from, via_multicast, now);
    });
}

void Discovery_driver::on_timer() {
    const auto actions =
        locked([](Service_discovery& sd, Clock::time_point now) { return sd.on_timer(now); });
    check_foreign_socket(actions);
    apply(actions);
}

// A shared port lets another socket bind the very discovery endpoint later
// and take its unicast messages; looked for whenever offers go out.
void Discovery_driver::check_foreign_socket(const Service_discovery::Actions& actions) {
    if (!shared_port_ || foreign_socket_logged_ || actions.datagrams.empty() ||
        sockets_bound_to(socket_->local()) <= 1) {
        return;
    }
    foreign_socket_logged_ = true;
    runtime_logger().LogError() << "SOME/IP service discovery endpoint" << to_text(socket_->local())
                                << "is bound by another socket too; discovery messages to it may not "
                                   "reach this process";
}

void Discovery_driver::apply(const Service_discovery::Actions& actions) {
    for (const auto& datagram : actions.datagrams) send_or_log(*socket_, datagram.bytes, datagram.to);
    for (const auto& note : actions.notes) {
        wardex::log::limited_warnings().warn(runtime_logger(), note.kind, note.peer,
                                             [&](ara::log::LogStream& stream) { stream << note.text; });
    }
    if (actions.changes.empty()) return;
    Availability_handler notify;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        notify = availability_;
    }
    if (!notify) return;
    for (const auto& change : actions.changes) {
        if (auto service = service_of_(change.instance)) notify(*service, change.available);
    }
}

std::optional<Address> Discovery_driver::endpoint_of(Instance_key key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return discovery_.endpoint_of(key, Clock::now());
}

Discovery_driver::Clock::time_point Discovery_driver::next_deadline() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return discovery_.next_deadline();
}

std::vector<Discovery_driver::Notification> Discovery_driver::notifications(
    Instance_key key, std::uint16_t eventgroup, std::size_t count) {
    std::vector<Notification> out;
    std::lock_guard<std::mutex> lock(mutex_);
    auto& sessions = sessions_[key];
    for (const auto& subscriber : discovery_.subscribers(key, eventgroup, Clock::now())) {
        for (std::size_t n = 0; n < count; ++n) out.push_back({subscriber, sessions.next()});
    }
    return out;
}

std::size_t Discovery_driver::subscriber_count(Instance_key key,
                                               const std::set<std::uint16_t>& eventgroups) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t count = 0;
    for (const auto group : eventgroups) count += discovery_.subscribers(key, group, Clock::now()).size();
    return count;
}

}  // namespace rk::com::runtime::someip
