#include "rk/com/runtime/someip/udp_transport.h"

#include "rk/com/runtime/event_subscriptions.h"
#include "rk/com/runtime/runtime_logger.h"
#include "rk/com/runtime/someip/call_table.h"
#include "rk/com/runtime/someip/request_router.h"
#include "rk/com/runtime/someip/service_discovery.h"
#include "rk/com/runtime/someip/udp_socket.h"
#include "rk/com/runtime/someip/wire.h"
#include "rk/com/static_thread_pool.h"
#include "wardex/base/poll_loop.h"
#include "wardex/limited_warnings.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <system_error>

namespace rk::com::runtime::someip {

using cpp_binding::Service_info;
using tq::com::runtime::Payload_buffer;
using tq::com::runtime::Payload_view;
using tq::com::runtime::Serialized_payload;
using Clock = std::chrono::steady_clock;

namespace {

Service_discovery::Config discovery_config(const Deployment& deployment) {
    const auto& sd_config = deployment.service_discovery;
    Service_discovery::Config config;
    config.self = parse_address(deployment.unicast, sd_config.port);
    if (!sd_config.unicast_only) config.group = parse_address(sd_config.multicast, sd_config.port);
    for (const auto& peer : sd_config.peers)
        config.peers.push_back(parse_address(peer.address, peer.port));
    static_cast<Discovery_timing&>(config) = sd_config;
    for (const auto& service : deployment.services)
        config.known_services[service.service_id] = service.major_version;
    return config;
}

Serialized_payload payload_of(const std::shared_ptr<Payload_buffer>& bytes,
                              const Message& message) {
    return Serialized_payload(Serialized_payload::someip,
                              Payload_view(bytes, message.payload_offset,
                                           message.payload_offset + message.header.payload_size()));
}

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

}  // namespace

// What the transport's parts share; the receiving thread holds it too, so it
// lives until that thread has ended.
struct Udp_transport::Core : std::enable_shared_from_this<Udp_transport::Core> {
    explicit Core(Deployment d) : deployment(std::move(d)), calls(deployment.call_timeout) {}

    void start();
    void start_discovery();
    void on_readable(const std::shared_ptr<Udp_socket>& socket);
    void on_datagram(const std::shared_ptr<Udp_socket>& socket, Address from,
                     const std::uint8_t* data, std::size_t size);
    void on_discovery(Address from, bool via_multicast, const std::uint8_t* data, std::size_t size);
    void on_reply(const Message& message, const std::shared_ptr<Payload_buffer>& bytes);
    void on_notification(Address from, const Message& message,
                         const std::shared_ptr<Payload_buffer>& bytes);
    void tick();
    Clock::time_point next_deadline();
    void apply(Service_discovery::Actions&& actions);
    void deliver(Response_handler handler, std::uint8_t code,
                 Serialized_payload payload = Serialized_payload());

    // The wire ids of an instance of the deployment, and the way back.
    std::optional<Instance_key> key_of(const Service_info& service) const;
    std::optional<Service_info> service_of(Instance_key key) const;
    // Where calls to an instance of another process go.
    std::optional<Address> target_of(const Service_info& service);
    bool discovery_on() const noexcept { return static_cast<bool>(sd_socket); }

    const Deployment deployment;
    wardex::base::Poll_loop loop;
    std::shared_ptr<Udp_socket> client;
    // Started with the first reply to hand over: a process that only
    // provides services never needs it.
    std::mutex delivery_mutex;
    std::shared_ptr<static_thread_pool> delivery;
    Call_table calls;
    Request_router router;
    Event_subscriptions events;

    std::shared_ptr<Udp_socket> sd_socket;
    std::shared_ptr<Udp_socket> sd_group_socket;
    // Guards discovery, the availability handler and the notification sessions.
    std::mutex sd_mutex;
    std::optional<Service_discovery> discovery;
    Availability_handler availability;
    std::map<Service_info, Session_counter> notification_sessions;

    // Whether a foreign socket on the discovery endpoint has been logged
    // (with a shared port); the receiving thread's alone.
    bool foreign_sd_socket_logged{false};

    std::atomic<std::uint64_t> malformed{0};
    std::atomic<std::uint64_t> malformed_sd{0};
    std::atomic<std::uint64_t> unmatched{0};
};

void Udp_transport::Core::start() {
    client = std::make_shared<Udp_socket>(Udp_socket::bind(parse_address(deployment.unicast, 0)));
    if (deployment.service_discovery.enabled) start_discovery();
    loop.watch(client->fd(), [this, socket = client] { on_readable(socket); });
    loop.start([this] { return next_deadline(); }, [this] { tick(); }, shared_from_this());
}

void Udp_transport::Core::start_discovery() {
    auto config = discovery_config(deployment);
    // This address and port belong to one discovery participant only: bound
    // exclusively, unless the deployment shares the port with another stack's
    // receivers on 0.0.0.0 (one host, two stacks).
    std::shared_ptr<Udp_socket> own;
    try {
        own = std::make_shared<Udp_socket>(Udp_socket::bind(config.self, deployment.service_discovery.share_port));
    } catch (const std::system_error& error) {
        if (error.code().value() != EADDRINUSE) throw;
    }
    if (!own || sockets_bound_to(config.self) > 1) {
        throw std::system_error(
            EADDRINUSE, std::generic_category(),
            "SOME/IP service discovery endpoint " + to_text(config.self) +
                " is in use by another process; give each process its own unicast address "
                "in com_deployment.json");
    }
    own->send_multicast_from(config.self);
    if (config.group) {
        try {
            sd_group_socket =
                std::make_shared<Udp_socket>(Udp_socket::join_group(*config.group, config.self));
            loop.watch(sd_group_socket->fd(),
                       [this, socket = sd_group_socket] { on_readable(socket); });
        } catch (const std::system_error& error) {
            runtime_logger().LogError()
                << "SOME/IP discovery group cannot be joined, only answers to this process arrive:"
                << error.what();
        }
    }
    sd_socket = std::move(own);
    loop.watch(sd_socket->fd(), [this, socket = sd_socket] { on_readable(socket); });
    discovery.emplace(std::move(config), std::random_device{}());
}

void Udp_transport::Core::on_readable(const std::shared_ptr<Udp_socket>& socket) {
    static thread_local std::vector<std::uint8_t> buffer(65536);
    // A bounded number per wake-up, so that one busy socket cannot starve the others.
    for (int n = 0; n < 64; ++n) {
        const auto received = socket->receive(buffer.data(), buffer.size());
        if (!received) return;
        on_datagram(socket, received->from, buffer.data(), received->size);
    }
}

void Udp_transport::Core::on_datagram(const std::shared_ptr<Udp_socket>& socket, Address from,
                                      const std::uint8_t* data, std::size_t size) {
    if (socket == sd_socket || socket == sd_group_socket)
        return on_discovery(from, socket == sd_group_socket, data, size);
    auto messages = split_datagram(data, size);
    if (!messages) {
        malformed.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    auto bytes = std::make_shared<Payload_buffer>(data, data + size);
    for (const auto& message : *messages) {
        if (socket != client) {
            router.on_request(socket, from, message, bytes);
        } else if (message.header.message_type == message_type::notification) {
            on_notification(from, message, bytes);
        } else {
            on_reply(message, bytes);
        }
    }
}

void Udp_transport::Core::on_discovery(Address from, bool via_multicast, const std::uint8_t* data,
                                       std::size_t size) {
    auto messages = split_datagram(data, size);
    if (!messages) {
        malformed_sd.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    for (const auto& message : *messages) {
        const Header& header = message.header;
        if (header.service_id != sd::service_id || header.method_id != sd::method_id ||
            header.message_type != message_type::notification) {
            continue;
        }
        auto parsed = sd::parse(data + message.payload_offset, header.payload_size());
        if (!parsed) {
            malformed_sd.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        Service_discovery::Actions actions;
        {
            std::lock_guard<std::mutex> lock(sd_mutex);
            actions = discovery->on_message(*parsed, header.session_id, from, via_multicast,
                                            Clock::now());
        }
        apply(std::move(actions));
    }
}

void Udp_transport::Core::on_reply(const Message& message,
                                   const std::shared_ptr<Payload_buffer>& bytes) {
    const Header& header = message.header;
    Response_handler handler;
    if ((header.message_type == message_type::response ||
         header.message_type == message_type::error) &&
        header.client_id == deployment.client_id) {
        handler = calls.complete(header.session_id, header.service_id, header.method_id);
    }
    if (!handler) {
        unmatched.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    deliver(std::move(handler), to_binding_code(header.message_type, header.return_code),
            payload_of(bytes, message));
}

// An event of another process's instance: the instance is the one whose
// endpoint sent it; its subscribers get it on this thread, in arrival order.
void Udp_transport::Core::on_notification(Address from, const Message& message,
                                          const std::shared_ptr<Payload_buffer>& bytes) {
    const auto* deployed = deployment.find_service(message.header.service_id);
    std::size_t reached = 0;
    if (deployed != nullptr) {
        const auto event = std::find_if(
            deployed->events.begin(), deployed->events.end(),
            [&](const Event_deployment& e) { return e.id == message.header.method_id; });
        for (const auto& instance : deployed->instances) {
            const Service_info service(tq::com::runtime::Service_id(deployed->interface),
                                       tq::com::runtime::Instance_id(instance.instance));
            if (event == deployed->events.end() || target_of(service) != from) continue;
            const auto event_id = static_cast<std::uint16_t>(event - deployed->events.begin());
            reached += events.deliver(service, event_id, payload_of(bytes, message));
        }
    }
    if (reached == 0) unmatched.fetch_add(1, std::memory_order_relaxed);
}

void Udp_transport::Core::tick() {
    for (auto& handler : calls.expire(Clock::now()))
        deliver(std::move(handler), return_code::timeout);
    if (!discovery_on()) return;
    Service_discovery::Actions actions;
    {
        std::lock_guard<std::mutex> lock(sd_mutex);
        actions = discovery->on_timer(Clock::now());
    }
    // A shared port lets another socket bind the very discovery endpoint
    // later and take its unicast messages; looked for whenever offers go out.
    if (deployment.service_discovery.share_port && !foreign_sd_socket_logged && !actions.datagrams.empty() &&
        sockets_bound_to(sd_socket->local()) > 1) {
        foreign_sd_socket_logged = true;
        runtime_logger().LogError() << "SOME/IP service discovery endpoint" << to_text(sd_socket->local())
                                    << "is bound by another socket too; discovery messages to it may not "
                                       "reach this process";
    }
    apply(std::move(actions));
}

Clock::time_point Udp_transport::Core::next_deadline() {
    // A call made while the loop waits with no call pending wakes it (send_request).
    auto due = calls.next_deadline();
    if (discovery_on()) {
        std::lock_guard<std::mutex> lock(sd_mutex);
        due = std::min(due, discovery->next_deadline());
    }
    return due;
}

void Udp_transport::Core::apply(Service_discovery::Actions&& actions) {
    for (const auto& datagram : actions.datagrams)
        send_or_log(*sd_socket, datagram.bytes, datagram.to);
    for (const auto& note : actions.notes) {
        wardex::log::limited_warnings().warn(runtime_logger(), note.kind, note.peer,
                                             [&](ara::log::LogStream& stream) { stream << note.text; });
    }
    if (actions.changes.empty()) return;
    Availability_handler notify;
    {
        std::lock_guard<std::mutex> lock(sd_mutex);
        notify = availability;
    }
    if (!notify) return;
    for (const auto& change : actions.changes) {
        if (auto service = service_of(change.instance)) notify(*service, change.available);
    }
}

void Udp_transport::Core::deliver(Response_handler handler, std::uint8_t code,
                                  Serialized_payload payload) {
    std::shared_ptr<static_thread_pool> pool;
    {
        std::lock_guard<std::mutex> lock(delivery_mutex);
        if (!delivery) delivery = std::make_shared<static_thread_pool>(2);
        pool = delivery;
    }
    pool->post([handler = std::move(handler), code, payload = std::move(payload)]() mutable {
        handler(code, std::move(payload));
    });
}

std::optional<Instance_key> Udp_transport::Core::key_of(const Service_info& service) const {
    const auto* deployed = deployment.find_service(service.service_id().to_string());
    if (deployed == nullptr) return std::nullopt;
    const auto* instance = deployed->find_instance(service.instance_id().to_string());
    if (instance == nullptr) return std::nullopt;
    return Instance_key{deployed->service_id, instance->instance_id};
}

std::optional<Service_info> Udp_transport::Core::service_of(Instance_key key) const {
    const auto* deployed = deployment.find_service(key.service);
    if (deployed == nullptr) return std::nullopt;
    const auto* instance = deployed->find_instance(key.instance);
    if (instance == nullptr) return std::nullopt;
    return Service_info(tq::com::runtime::Service_id(deployed->interface),
                        tq::com::runtime::Instance_id(instance->instance));
}

std::optional<Address> Udp_transport::Core::target_of(const Service_info& service) {
    const auto key = key_of(service);
    if (!key) return std::nullopt;
    if (discovery_on()) {
        std::lock_guard<std::mutex> lock(sd_mutex);
        return discovery->endpoint_of(*key, Clock::now());
    }
    // Without discovery, the deployment says where an instance is.
    const auto* instance = deployment.find_service(key->service)->find_instance(key->instance);
    try {
        return parse_address(instance->address, instance->port);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// --- the transport ---

Udp_transport::Udp_transport(Deployment deployment)
    : core_(std::make_shared<Core>(std::move(deployment))) {
    core_->start();
}

Udp_transport::~Udp_transport() {
    core_->loop.stop();
    // Calls still waiting are dropped: nobody is left to tell.
    core_->calls.drop_all();
}

void Udp_transport::set_availability_handler(Availability_handler handler) {
    std::lock_guard<std::mutex> lock(core_->sd_mutex);
    core_->availability = std::move(handler);
}

void Udp_transport::offer(const Service_info& service,
                          const connector::Service_interface_description& /*description*/,
                          std::shared_ptr<Request_handler> handler) {
    stop_offer(service);
    const auto* deployed = core_->deployment.find_service(service.service_id().to_string());
    const auto* instance =
        deployed != nullptr ? deployed->find_instance(service.instance_id().to_string()) : nullptr;
    if (instance == nullptr) return;
    Request_router::Offer offer{
        service, std::move(handler), deployed->service_id, deployed->major_version, {}, nullptr};
    for (const auto& method : deployed->methods) offer.method_ids.push_back(method.id);
    offer.max_queued_requests = deployed->max_queued_requests;
    offer.max_queued_bytes = deployed->max_queued_bytes;
    try {
        const auto local = parse_address(instance->address, instance->port);
        offer.endpoint = core_->router.endpoint_at(local);
        if (!offer.endpoint) {
            offer.endpoint = std::make_shared<Udp_socket>(Udp_socket::bind(local));
            core_->loop.watch(offer.endpoint->fd(), [core = core_.get(), socket = offer.endpoint] {
                core->on_readable(socket);
            });
        }
    } catch (const std::exception& error) {
        runtime_logger().LogError()
            << "SOME/IP endpoint of" << service.service_id().to_string()
            << service.instance_id().to_string()
            << "cannot be bound, offered in this process only:" << error.what();
        return;
    }
    core_->router.add(offer);
    if (!core_->discovery_on()) return;
    Service_discovery::Local_offer announced;
    announced.key = Instance_key{deployed->service_id, instance->instance_id};
    announced.major_version = deployed->major_version;
    announced.minor_version = deployed->minor_version;
    announced.endpoint = offer.endpoint->local();
    // An endpoint on all interfaces is announced on the unicast address.
    if (announced.endpoint.ip == 0) announced.endpoint.ip = core_->sd_socket->local().ip;
    for (const auto& event : deployed->events) announced.eventgroups.push_back(event.eventgroup);
    {
        std::lock_guard<std::mutex> lock(core_->sd_mutex);
        core_->discovery->offer(announced, Clock::now());
    }
    // The receiving thread may be waiting far beyond the initial wait.
    core_->loop.wake();
}

void Udp_transport::stop_offer(const Service_info& service) {
    const auto key = core_->key_of(service);
    if (!key || !core_->router.find(service)) return;
    if (core_->discovery_on()) {
        Service_discovery::Actions actions;
        {
            std::lock_guard<std::mutex> lock(core_->sd_mutex);
            actions = core_->discovery->stop_offer(*key, Clock::now());
        }
        core_->apply(std::move(actions));
    }
    if (auto closed = core_->router.remove(service)) core_->loop.unwatch(closed->fd());
}

std::vector<Service_info> Udp_transport::find(const tq::com::runtime::Service_id& service,
                                              const tq::com::runtime::Instance_id& instance) {
    const Service_info wanted(service, instance);
    if (core_->target_of(wanted)) return {wanted};
    const auto key = core_->key_of(wanted);
    if (key && core_->discovery_on()) {
        Service_discovery::Actions actions;
        {
            std::lock_guard<std::mutex> lock(core_->sd_mutex);
            actions = core_->discovery->find(*key, Clock::now());
        }
        core_->apply(std::move(actions));
    }
    return {};
}

bool Udp_transport::is_available(const Service_info& service) {
    return core_->target_of(service).has_value();
}

void Udp_transport::send_request(const Service_info& service, std::uint16_t method_id,
                                 std::uint16_t /*method_call_id*/, Serialized_payload request,
                                 Response_handler handler) {
    const auto target = core_->target_of(service);
    if (!target) return core_->deliver(std::move(handler), return_code::not_available);
    const auto* deployed = core_->deployment.find_service(service.service_id().to_string());
    if (method_id >= deployed->methods.size()) {
        runtime_logger().LogWarn() << "No SOME/IP method id deployed for method" << method_id
                                   << "of" << service.service_id().to_string();
        return core_->deliver(std::move(handler), return_code::send_failed);
    }
    Header header;
    header.service_id = deployed->service_id;
    header.method_id = deployed->methods[method_id].id;
    header.client_id = core_->deployment.client_id;
    header.interface_version = deployed->major_version;
    header.message_type = message_type::request;
    const auto ticket = core_->calls.add(header.service_id, header.method_id, handler);
    // Every session id is still waiting for its reply.
    if (!ticket) return core_->deliver(std::move(handler), return_code::send_failed);
    header.session_id = ticket->session;
    if (ticket->earliest) core_->loop.wake();
    std::vector<std::uint8_t> bytes;
    const auto& view = request.view();
    append_message(bytes, header, view.data(), view.size());
    if (core_->client->send_to(bytes.data(), bytes.size(), *target)) return;
    if (auto failed = core_->calls.cancel(*ticket))
        core_->deliver(std::move(failed), return_code::send_failed);
}

void Udp_transport::send_event(const Service_info& service, std::uint16_t event_id,
                               const std::vector<Serialized_payload>& payloads) {
    const auto offer = core_->router.find(service);
    const auto* deployed = core_->deployment.find_service(service.service_id().to_string());
    const auto key = core_->key_of(service);
    if (!offer || !core_->discovery_on() || !key || event_id >= deployed->events.size()) return;
    const auto& event = deployed->events[event_id];
    std::vector<std::pair<Address, std::vector<std::uint8_t>>> out;
    {
        std::lock_guard<std::mutex> lock(core_->sd_mutex);
        auto& sessions = core_->notification_sessions[service];
        for (const auto& subscriber :
             core_->discovery->subscribers(*key, event.eventgroup, Clock::now())) {
            for (const auto& payload : payloads) {
                if (payload.serialization_type() != Serialized_payload::someip) continue;
                Header header;
                header.service_id = offer->wire_service_id;
                header.method_id = event.id;
                header.session_id = sessions.next();
                header.interface_version = offer->major_version;
                header.message_type = message_type::notification;
                std::vector<std::uint8_t> bytes;
                append_message(bytes, header, payload.view().data(), payload.view().size());
                out.emplace_back(subscriber, std::move(bytes));
            }
        }
    }
    // The endpoint's socket stays open while offer refers to it.
    for (const auto& [to, bytes] : out) send_or_log(*offer->endpoint, bytes, to);
}

std::uint64_t Udp_transport::subscribe(const Service_info& service, std::uint16_t event_id,
                                       Event_handler handler) {
    const auto key = core_->key_of(service);
    const auto* deployed = core_->deployment.find_service(service.service_id().to_string());
    const bool known = key && event_id < deployed->events.size();
    const auto group = known ? deployed->events[event_id].eventgroup : 0;
    const bool first = known && !core_->events.any(service, [&](std::uint16_t other) {
        return other < deployed->events.size() && deployed->events[other].eventgroup == group;
    });
    const auto id = core_->events.add(service, event_id, std::move(handler));
    if (first && core_->discovery_on()) {
        Service_discovery::Actions actions;
        {
            std::lock_guard<std::mutex> lock(core_->sd_mutex);
            actions =
                core_->discovery->subscribe(*key, group, core_->client->local(), Clock::now());
        }
        core_->apply(std::move(actions));
    }
    return id;
}

void Udp_transport::unsubscribe(std::uint64_t subscription) {
    const auto removed = core_->events.remove(subscription);
    if (!removed || !core_->discovery_on()) return;
    const auto key = core_->key_of(removed->service);
    const auto* deployed =
        core_->deployment.find_service(removed->service.service_id().to_string());
    if (!key || removed->event_id >= deployed->events.size()) return;
    const auto group = deployed->events[removed->event_id].eventgroup;
    if (core_->events.any(removed->service, [&](std::uint16_t other) {
            return other < deployed->events.size() && deployed->events[other].eventgroup == group;
        })) {
        return;
    }
    Service_discovery::Actions actions;
    {
        std::lock_guard<std::mutex> lock(core_->sd_mutex);
        actions = core_->discovery->unsubscribe(*key, group, Clock::now());
    }
    core_->apply(std::move(actions));
}

const Deployment& Udp_transport::deployment() const noexcept {
    return core_->deployment;
}

Udp_transport::Statistics Udp_transport::statistics() const noexcept {
    Statistics statistics;
    statistics.malformed_datagrams = core_->malformed.load(std::memory_order_relaxed);
    statistics.unmatched_replies = core_->unmatched.load(std::memory_order_relaxed);
    statistics.malformed_discovery_messages = core_->malformed_sd.load(std::memory_order_relaxed);
    statistics.dropped_requests = core_->router.dropped();
    return statistics;
}

std::optional<std::uint16_t> Udp_transport::bound_port(const Service_info& service) const {
    const auto offer = core_->router.find(service);
    if (!offer) return std::nullopt;
    return offer->endpoint->local().port;
}

std::uint16_t Udp_transport::client_port() const noexcept {
    return core_->client->local().port;
}

std::optional<std::uint16_t> Udp_transport::discovery_port() const noexcept {
    if (!core_->sd_socket) return std::nullopt;
    return core_->sd_socket->local().port;
}

std::size_t Udp_transport::subscriber_count(const Service_info& service) const {
    const auto key = core_->key_of(service);
    const auto* deployed = core_->deployment.find_service(service.service_id().to_string());
    if (!key || !core_->discovery_on()) return 0;
    std::set<std::uint16_t> groups;
    for (const auto& event : deployed->events) groups.insert(event.eventgroup);
    std::lock_guard<std::mutex> lock(core_->sd_mutex);
    std::size_t count = 0;
    for (const auto group : groups)
        count += core_->discovery->subscribers(*key, group, Clock::now()).size();
    return count;
}

}  // namespace rk::com::runtime::someip
