#include "rk/com/runtime/someip/udp_transport.h"

#include "rk/com/runtime/event_subscriptions.h"
#include "rk/com/runtime/runtime_logger.h"
#include "rk/com/runtime/delivery_threads.h"
#include "rk/com/runtime/someip/call_table.h"
#include "rk/com/runtime/someip/discovery_driver.h"
#include "rk/com/runtime/someip/request_router.h"
#include "rk/com/runtime/someip/service_discovery.h"
#include "rk/com/runtime/someip/udp_socket.h"
#include "rk/com/runtime/someip/wire.h"
#include "wardex/base/poll_loop.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
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

// An instance of the deployment with its wire ids.
struct Deployed_instance {
    Service_info service;
    Instance_key key;
    const Service_deployment* deployed;
    const Instance_deployment* instance;
    // Where the deployment places it; nothing when its address does not parse.
    std::optional<Address> endpoint;
};

// Every instance of the deployment, resolved to its wire ids once when the
// transport starts (the deployment does not change afterwards); read by any
// thread without a lock.
class Deployed_instances {
public:
    explicit Deployed_instances(const Deployment& deployment) {
        for (const auto& deployed : deployment.services) {
            for (const auto& instance : deployed.instances) {
                Deployed_instance entry{Service_info(tq::com::runtime::Service_id(deployed.interface),
                                                     tq::com::runtime::Instance_id(instance.instance)),
                                        Instance_key{deployed.service_id, instance.instance_id}, &deployed,
                                        &instance, std::nullopt};
                try {
                    entry.endpoint = parse_address(instance.address, instance.port);
                } catch (const std::exception&) {
                }
                const auto added = by_service_.emplace(entry.service, entry);
                if (added.second) by_key_.emplace(entry.key, &added.first->second);
            }
        }
    }

    const Deployed_instance* find(const Service_info& service) const {
        const auto found = by_service_.find(service);
        return found == by_service_.end() ? nullptr : &found->second;
    }
    const Deployed_instance* find(Instance_key key) const {
        const auto found = by_key_.find(key);
        return found == by_key_.end() ? nullptr : found->second;
    }
    // The instances of the service with this wire id.
    std::vector<const Deployed_instance*> of_service(std::uint16_t service_id) const {
        std::vector<const Deployed_instance*> found;
        for (auto it = by_key_.lower_bound(Instance_key{service_id, 0});
             it != by_key_.end() && it->first.service == service_id; ++it) {
            found.push_back(it->second);
        }
        return found;
    }

private:
    std::map<Service_info, Deployed_instance> by_service_;
    std::map<Instance_key, const Deployed_instance*> by_key_;
};

// The eventgroup of the binding's event id; nothing for an event not deployed.
std::optional<std::uint16_t> eventgroup_of(const Deployed_instance& instance, std::uint16_t event_id) {
    const auto& events = instance.deployed->events;
    if (event_id >= events.size()) return std::nullopt;
    return events[event_id].eventgroup;
}

}  // namespace

// What the transport's parts share; the receiving thread holds it too, so it
// lives until that thread has ended. Each part keeps its own data and lock:
// the deployment and its instances are fixed, the sockets are set before
// the receiving thread starts, and discovery is the driver's.
class Udp_transport::Core : public std::enable_shared_from_this<Udp_transport::Core> {
public:
    explicit Core(Deployment d)
        : deployment(std::move(d)), instances(deployment), calls(deployment.call_timeout) {}

    void start();
    void stop() noexcept;
    const Deployment& deployed() const noexcept { return deployment; }

    void set_availability_handler(Availability_handler handler);
    void offer(const Service_info& service, std::shared_ptr<Request_handler> handler);
    void stop_offer(const Service_info& service);
    bool find(const Service_info& wanted);
    // Where calls to an instance of another process go.
    std::optional<Address> target_of(const Service_info& service) const;
    void send_request(const Service_info& service, std::uint16_t method_id, const Serialized_payload& request,
                      Response_handler handler);
    void send_event(const Service_info& service, std::uint16_t event_id,
                    const std::vector<Serialized_payload>& payloads);
    std::uint64_t subscribe(const Service_info& service, std::uint16_t event_id, Event_handler handler);
    void unsubscribe(std::uint64_t subscription);

    Statistics statistics() const noexcept;
    std::optional<std::uint16_t> bound_port(const Service_info& service) const;
    std::uint16_t client_port() const noexcept { return client->local().port; }
    std::optional<std::uint16_t> discovery_port() const noexcept;
    std::size_t subscriber_count(const Service_info& service) const;

private:
    void start_discovery();
    std::shared_ptr<Udp_socket> endpoint_for(const Service_info& service, const Deployed_instance& instance);
    void announce(const Deployed_instance& instance, const Udp_socket& endpoint);
    void on_readable(const std::shared_ptr<Udp_socket>& socket);
    void on_datagram(const std::shared_ptr<Udp_socket>& socket, Address from,
                     const std::uint8_t* data, std::size_t size);
    void on_discovery(Address from, bool via_multicast, const std::uint8_t* data, std::size_t size);
    void on_reply(const Message& message, const std::shared_ptr<Payload_buffer>& bytes);
    void on_notification(Address from, const Message& message,
                         const std::shared_ptr<Payload_buffer>& bytes);
    void tick();
    Clock::time_point next_deadline();
    void deliver(Response_handler handler, std::uint8_t code,
                 Serialized_payload payload = Serialized_payload());
    std::optional<Address> target_of(const Deployed_instance& instance) const;
    // Whether a subscription to an event of the instance in this eventgroup is left.
    bool eventgroup_in_use(const Deployed_instance& instance, std::uint16_t eventgroup) const;
    bool discovery_on() const noexcept { return discovery.has_value(); }

    const Deployment deployment;
    const Deployed_instances instances;
    wardex::base::Poll_loop loop;
    std::shared_ptr<Udp_socket> client;
    // Started with the first reply to hand over: a process that only
    // provides services never needs it.
    Delivery_threads delivery{2};
    Call_table calls;
    Request_router router;
    Event_subscriptions events;

    std::shared_ptr<Udp_socket> sd_socket;
    std::shared_ptr<Udp_socket> sd_group_socket;
    std::optional<Discovery_driver> discovery;

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

void Udp_transport::Core::stop() noexcept {
    loop.stop();
    // Calls still waiting are dropped: nobody is left to tell.
    calls.drop_all();
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
    discovery.emplace(std::move(config), sd_socket, deployment.service_discovery.share_port,
                      [this](Instance_key key) -> std::optional<Service_info> {
                          const auto* instance = instances.find(key);
                          if (instance == nullptr) return std::nullopt;
                          return instance->service;
                      });
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
        discovery->on_message(*parsed, header.session_id, from, via_multicast);
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
    std::size_t reached = 0;
    for (const auto* instance : instances.of_service(message.header.service_id)) {
        const auto& deployed = instance->deployed->events;
        const auto event = std::find_if(deployed.begin(), deployed.end(), [&](const Event_deployment& e) {
            return e.id == message.header.method_id;
        });
        if (event == deployed.end() || target_of(*instance) != from) continue;
        const auto event_id = static_cast<std::uint16_t>(event - deployed.begin());
        reached += events.deliver(instance->service, event_id, payload_of(bytes, message));
    }
    if (reached == 0) unmatched.fetch_add(1, std::memory_order_relaxed);
}

void Udp_transport::Core::tick() {
    for (auto& handler : calls.expire(Clock::now()))
        deliver(std::move(handler), return_code::timeout);
    if (discovery_on()) discovery->on_timer();
}

Clock::time_point Udp_transport::Core::next_deadline() {
    // A call made while the loop waits with no call pending wakes it (send_request).
    auto due = calls.next_deadline();
    if (discovery_on()) due = std::min(due, discovery->next_deadline());
    return due;
}

void Udp_transport::Core::deliver(Response_handler handler, std::uint8_t code,
                                  Serialized_payload payload) {
    delivery.pool()->post([handler = std::move(handler), code, payload = std::move(payload)]() mutable {
        handler(code, std::move(payload));
    });
}

std::optional<Address> Udp_transport::Core::target_of(const Service_info& service) const {
    const auto* instance = instances.find(service);
    if (instance == nullptr) return std::nullopt;
    return target_of(*instance);
}

std::optional<Address> Udp_transport::Core::target_of(const Deployed_instance& instance) const {
    if (discovery_on()) return discovery->endpoint_of(instance.key);
    // Without discovery, the deployment says where an instance is.
    return instance.endpoint;
}

bool Udp_transport::Core::eventgroup_in_use(const Deployed_instance& instance,
                                            std::uint16_t eventgroup) const {
    return events.any(instance.service,
                      [&](std::uint16_t other) { return eventgroup_of(instance, other) == eventgroup; });
}

void Udp_transport::Core::set_availability_handler(Availability_handler handler) {
    if (discovery_on()) discovery->set_availability_handler(std::move(handler));
}

void Udp_transport::Core::offer(const Service_info& service, std::shared_ptr<Request_handler> handler) {
    stop_offer(service);
    const auto* instance = instances.find(service);
    if (instance == nullptr) return;
    const auto& deployed = *instance->deployed;
    Request_router::Offer offer{
        service, std::move(handler), deployed.service_id, deployed.major_version, {}, nullptr};
    for (const auto& method : deployed.methods) offer.method_ids.push_back(method.id);
    offer.max_queued_requests = deployed.max_queued_requests;
    offer.max_queued_bytes = deployed.max_queued_bytes;
    offer.endpoint = endpoint_for(service, *instance);
    if (!offer.endpoint) return;
    router.add(offer);
    if (discovery_on()) announce(*instance, *offer.endpoint);
}

// The endpoint an offered instance listens on, bound (and watched) unless
// another offer listens there already; null when it cannot be bound.
std::shared_ptr<Udp_socket> Udp_transport::Core::endpoint_for(const Service_info& service,
                                                              const Deployed_instance& instance) {
    try {
        const auto local = parse_address(instance.instance->address, instance.instance->port);
        auto endpoint = router.endpoint_at(local);
        if (!endpoint) {
            endpoint = std::make_shared<Udp_socket>(Udp_socket::bind(local));
            loop.watch(endpoint->fd(), [this, socket = endpoint] { on_readable(socket); });
        }
        return endpoint;
    } catch (const std::exception& error) {
        runtime_logger().LogError()
            << "SOME/IP endpoint of" << service.service_id().to_string()
            << service.instance_id().to_string()
            << "cannot be bound, offered in this process only:" << error.what();
        return nullptr;
    }
}

void Udp_transport::Core::announce(const Deployed_instance& instance, const Udp_socket& endpoint) {
    const auto& deployed = *instance.deployed;
    Service_discovery::Local_offer announced;
    announced.key = instance.key;
    announced.major_version = deployed.major_version;
    announced.minor_version = deployed.minor_version;
    announced.endpoint = endpoint.local();
    // An endpoint on all interfaces is announced on the unicast address.
    if (announced.endpoint.ip == 0) announced.endpoint.ip = sd_socket->local().ip;
    for (const auto& event : deployed.events) announced.eventgroups.push_back(event.eventgroup);
    discovery->offer(announced);
    // The receiving thread may be waiting far beyond the initial wait.
    loop.wake();
}

void Udp_transport::Core::stop_offer(const Service_info& service) {
    const auto* instance = instances.find(service);
    if (instance == nullptr || !router.find(service)) return;
    if (discovery_on()) discovery->stop_offer(instance->key);
    if (auto closed = router.remove(service)) loop.unwatch(closed->fd());
}

bool Udp_transport::Core::find(const Service_info& wanted) {
    const auto* instance = instances.find(wanted);
    if (instance == nullptr) return false;
    if (target_of(*instance)) return true;
    if (discovery_on()) discovery->find(instance->key);
    return false;
}

void Udp_transport::Core::send_request(const Service_info& service, std::uint16_t method_id,
                                       const Serialized_payload& request, Response_handler handler) {
    const auto* instance = instances.find(service);
    const auto target = instance != nullptr ? target_of(*instance) : std::nullopt;
    if (!target) return deliver(std::move(handler), return_code::not_available);
    const auto& deployed = *instance->deployed;
    if (method_id >= deployed.methods.size()) {
        runtime_logger().LogWarn() << "No SOME/IP method id deployed for method" << method_id
                                   << "of" << service.service_id().to_string();
        return deliver(std::move(handler), return_code::send_failed);
    }
    Header header;
    header.service_id = deployed.service_id;
    header.method_id = deployed.methods[method_id].id;
    header.client_id = deployment.client_id;
    header.interface_version = deployed.major_version;
    header.message_type = message_type::request;
    const auto ticket = calls.add(header.service_id, header.method_id, handler);
    // Every session id is still waiting for its reply.
    if (!ticket) return deliver(std::move(handler), return_code::send_failed);
    header.session_id = ticket->session;
    if (ticket->earliest) loop.wake();
    std::vector<std::uint8_t> bytes;
    const auto& view = request.view();
    append_message(bytes, header, view.data(), view.size());
    if (client->send_to(bytes.data(), bytes.size(), *target)) return;
    if (auto failed = calls.cancel(*ticket)) deliver(std::move(failed), return_code::send_failed);
}

void Udp_transport::Core::send_event(const Service_info& service, std::uint16_t event_id,
                                     const std::vector<Serialized_payload>& payloads) {
    const auto offer = router.find(service);
    const auto* instance = instances.find(service);
    const auto group = instance != nullptr ? eventgroup_of(*instance, event_id) : std::nullopt;
    if (!offer || !discovery_on() || !group) return;
    std::vector<const Serialized_payload*> sent;
    for (const auto& payload : payloads) {
        if (payload.serialization_type() == Serialized_payload::someip) sent.push_back(&payload);
    }
    Header header;
    header.service_id = offer->wire_service_id;
    header.method_id = instance->deployed->events[event_id].id;
    header.interface_version = offer->major_version;
    header.message_type = message_type::notification;
    const auto notifications = discovery->notifications(instance->key, *group, sent.size());
    for (std::size_t n = 0; n < notifications.size(); ++n) {
        const auto& payload = *sent[n % sent.size()];
        header.session_id = notifications[n].session_id;
        std::vector<std::uint8_t> bytes;
        append_message(bytes, header, payload.view().data(), payload.view().size());
        // The endpoint's socket stays open while offer refers to it.
        send_or_log(*offer->endpoint, bytes, notifications[n].to);
    }
}

std::uint64_t Udp_transport::Core::subscribe(const Service_info& service, std::uint16_t event_id,
                                             Event_handler handler) {
    const auto* instance = instances.find(service);
    const auto group = instance != nullptr ? eventgroup_of(*instance, event_id) : std::nullopt;
    const bool first = group && !eventgroup_in_use(*instance, *group);
    const auto id = events.add(service, event_id, std::move(handler));
    if (first && discovery_on()) discovery->subscribe(instance->key, *group, client->local());
    return id;
}

void Udp_transport::Core::unsubscribe(std::uint64_t subscription) {
    const auto removed = events.remove(subscription);
    if (!removed || !discovery_on()) return;
    const auto* instance = instances.find(removed->service);
    const auto group = instance != nullptr ? eventgroup_of(*instance, removed->event_id) : std::nullopt;
    if (!group || eventgroup_in_use(*instance, *group)) return;
    discovery->unsubscribe(instance->key, *group);
}

Udp_transport::Statistics Udp_transport::Core::statistics() const noexcept {
    Statistics statistics;
    statistics.malformed_datagrams = malformed.load(std::memory_order_relaxed);
    statistics.unmatched_replies = unmatched.load(std::memory_order_relaxed);
    statistics.malformed_discovery_messages = malformed_sd.load(std::memory_order_relaxed);
    statistics.dropped_requests = router.dropped();
    return statistics;
}

std::optional<std::uint16_t> Udp_transport::Core::bound_port(const Service_info& service) const {
    const auto offer = router.find(service);
    if (!offer) return std::nullopt;
    return offer->endpoint->local().port;
}

std::optional<std::uint16_t> Udp_transport::Core::discovery_port() const noexcept {
    if (!sd_socket) return std::nullopt;
    return sd_socket->local().port;
}

std::size_t Udp_transport::Core::subscriber_count(const Service_info& service) const {
    const auto* instance = instances.find(service);
    if (instance == nullptr || !discovery_on()) return 0;
    std::set<std::uint16_t> groups;
    for (const auto& event : instance->deployed->events) groups.insert(event.eventgroup);
    return discovery->subscriber_count(instance->key, groups);
}

// --- the transport ---

Udp_transport::Udp_transport(Deployment deployment)
    : core_(std::make_shared<Core>(std::move(deployment))) {
    core_->start();
}

Udp_transport::~Udp_transport() {
    core_->stop();
}

void Udp_transport::set_availability_handler(Availability_handler handler) {
    core_->set_availability_handler(std::move(handler));
}

void Udp_transport::offer(const Service_info& service,
                          const connector::Service_interface_description& /*description*/,
                          std::shared_ptr<Request_handler> handler) {
    core_->offer(service, std::move(handler));
}

void Udp_transport::stop_offer(const Service_info& service) {
    core_->stop_offer(service);
}

std::vector<Service_info> Udp_transport::find(const tq::com::runtime::Service_id& service,
                                              const tq::com::runtime::Instance_id& instance) {
    const Service_info wanted(service, instance);
    if (core_->find(wanted)) return {wanted};
    return {};
}

bool Udp_transport::is_available(const Service_info& service) {
    return core_->target_of(service).has_value();
}

void Udp_transport::send_request(const Service_info& service, std::uint16_t method_id,
                                 std::uint16_t /*method_call_id*/, Serialized_payload request,
                                 Response_handler handler) {
    core_->send_request(service, method_id, request, std::move(handler));
}

void Udp_transport::send_event(const Service_info& service, std::uint16_t event_id,
                               const std::vector<Serialized_payload>& payloads) {
    core_->send_event(service, event_id, payloads);
}

std::uint64_t Udp_transport::subscribe(const Service_info& service, std::uint16_t event_id,
                                       Event_handler handler) {
    return core_->subscribe(service, event_id, std::move(handler));
}

void Udp_transport::unsubscribe(std::uint64_t subscription) {
    core_->unsubscribe(subscription);
}

const Deployment& Udp_transport::deployment() const noexcept {
    return core_->deployed();
}

Udp_transport::Statistics Udp_transport::statistics() const noexcept {
    return core_->statistics();
}

std::optional<std::uint16_t> Udp_transport::bound_port(const Service_info& service) const {
    return core_->bound_port(service);
}

std::uint16_t Udp_transport::client_port() const noexcept {
    return core_->client_port();
}

std::optional<std::uint16_t> Udp_transport::discovery_port() const noexcept {
    return core_->discovery_port();
}

std::size_t Udp_transport::subscriber_count(const Service_info& service) const {
    return core_->subscriber_count(service);
}

}  // namespace rk::com::runtime::someip
