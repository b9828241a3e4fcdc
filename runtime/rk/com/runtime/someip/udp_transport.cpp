#include "rk/com/runtime/someip/udp_transport.h"

#include "rk/com/runtime/someip/return_codes.h"
#include "rk/com/someip/message.h"
#include "rk/com/someip/sd_message.h"
#include "rk/com/static_thread_pool.h"

#include "ara/log/logging.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace rk::com::runtime::someip {

using rk::com::someip::append_message;
using rk::com::someip::Header;
using rk::com::someip::Message;
using rk::com::someip::protocol_version;
using rk::com::someip::Session_counter;
using rk::com::someip::split_datagram;
namespace message_type = rk::com::someip::message_type;
namespace sd = rk::com::someip::sd;
namespace wire_code = rk::com::someip::wire_code;
using cpp_binding::Service_info;
using tq::com::runtime::Payload_buffer;
using tq::com::runtime::Payload_view;
using tq::com::runtime::Serialized_payload;
using Clock = std::chrono::steady_clock;

namespace {

ara::log::Logger& transport_logger() {
    static ara::log::Logger& logger = ara::log::CreateLogger("RCOM", "communication runtime");
    return logger;
}

sockaddr_in make_address(const std::string& address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &result.sin_addr) != 1) {
        throw std::invalid_argument("not an IPv4 address: " + address);
    }
    return result;
}

std::string to_text(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

// A bound, non-blocking UDP socket, or -1 with errno set.
int bind_udp(const sockaddr_in& address) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool same_address(const sockaddr_in& a, const sockaddr_in& b) noexcept {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

sockaddr_in to_address(const sd::Endpoint& endpoint) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = htonl(endpoint.address);
    result.sin_port = htons(endpoint.port);
    return result;
}

sd::Endpoint to_endpoint(const sockaddr_in& address) {
    return sd::Endpoint{ntohl(address.sin_addr.s_addr), sd::protocol_udp, ntohs(address.sin_port)};
}

// The discovery socket that receives the group's traffic: shared by every
// process of the host on the discovery port, so each gets its own copy.
int bind_multicast(const sockaddr_in& group, const std::string& interface) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ip_mreq membership{};
    membership.imr_multiaddr = group.sin_addr;
    inet_pton(AF_INET, interface.c_str(), &membership.imr_interface);
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&group), sizeof group) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool send_datagram(int fd, const std::vector<std::uint8_t>& bytes, const sockaddr_in& to) {
    for (;;) {
        const auto sent = ::sendto(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (sent >= 0) return static_cast<std::size_t>(sent) == bytes.size();
        if (errno != EINTR) return false;
    }
}

}  // namespace

// One bound UDP socket; closed when the last user (an offer, a reply still
// to be sent, the receiving thread) lets go of it.
struct Endpoint {
    Endpoint(int fd, sockaddr_in local) : fd(fd), local(local) {}
    ~Endpoint() { ::close(fd); }
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    const int fd;
    const sockaddr_in local;
    // Guarded by the engine's mutex: the offers listening here, by wire service id.
    std::map<std::uint16_t, std::shared_ptr<struct Offer>> offers;
};

struct Offer {
    Service_info service;
    std::shared_ptr<Request_handler> handler;
    std::uint16_t wire_service_id{0};
    std::uint8_t major_version{0};
    std::vector<std::uint16_t> method_ids;
    std::shared_ptr<Endpoint> endpoint;
    // Guarded by the engine's mutex: requests being handed to the handler.
    int in_flight{0};
    // Guarded by the engine's mutex: when the next offer goes out and how
    // many of the repetition phase went out already.
    Clock::time_point next_offer{};
    std::uint32_t repetitions{0};
    bool in_main_phase{false};
    Session_counter notifications;
};

namespace {

// A datagram to send once the engine's mutex is released.
struct Outgoing {
    int fd;
    sockaddr_in to;
    std::vector<std::uint8_t> bytes;
};

void send_all(const std::vector<Outgoing>& datagrams) {
    for (const auto& datagram : datagrams) {
        if (!send_datagram(datagram.fd, datagram.bytes, datagram.to)) {
            const int error = errno;
            transport_logger().LogWarn() << "SOME/IP datagram to" << to_text(datagram.to)
                                         << "not sent:" << std::strerror(error);
        }
    }
}

}  // namespace

namespace {

// The offer whose handler this thread is in, so that a handler withdrawing
// its own offer does not wait for itself.
thread_local const Offer* current_offer = nullptr;
// The subscription whose handler this thread is in, so that a handler
// unsubscribing itself does not wait for itself.
thread_local std::uint64_t current_subscription = 0;

// Where the reply to one request goes; answered at most once.
struct Reply_route {
    std::shared_ptr<Endpoint> endpoint;
    sockaddr_in peer{};
    Header request;
    std::atomic<bool> answered{false};
};

void send_reply(const Endpoint& endpoint, const sockaddr_in& peer, Header header, std::uint8_t type,
                std::uint8_t code, const std::uint8_t* payload, std::size_t size) {
    header.message_type = type;
    header.return_code = code;
    header.protocol_version = protocol_version;
    std::vector<std::uint8_t> bytes;
    append_message(bytes, header, payload, size);
    if (!send_datagram(endpoint.fd, bytes, peer)) {
        const int error = errno;
        transport_logger().LogWarn() << "SOME/IP reply to" << to_text(peer) << "not sent:" << std::strerror(error);
    }
}

}  // namespace

struct Udp_transport::Engine : std::enable_shared_from_this<Udp_transport::Engine> {
    struct Pending {
        std::uint64_t serial;
        std::uint16_t service_id;
        std::uint16_t method_id;
        Response_handler handler;
    };
    struct Deadline {
        Clock::time_point at;
        std::uint16_t session;
        std::uint64_t serial;
    };
    struct Subscription {
        Service_info service;
        std::uint16_t event_id;
        std::shared_ptr<Event_handler> handler;
        // Guarded by mutex: deliveries of this subscription under way.
        std::shared_ptr<int> delivering = std::make_shared<int>(0);
    };
    // An offer learned from service discovery.
    struct Learned {
        sockaddr_in endpoint{};
        sockaddr_in discovery{};
        Clock::time_point expires{};
    };
    // A subscriber of one of this process's eventgroups.
    struct Remote_subscriber {
        Service_info service;
        std::uint16_t eventgroup;
        sockaddr_in to;
        Clock::time_point expires;
    };

    explicit Engine(Deployment d) : deployment(std::move(d)) {}

    ~Engine() {
        if (wake_fd >= 0) ::close(wake_fd);
        if (epoll_fd >= 0) ::close(epoll_fd);
    }

    void start() {
        epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
        if (epoll_fd < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
        wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wake_fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
        watch(wake_fd);
        const auto local = make_address(deployment.unicast, 0);
        const int fd = bind_udp(local);
        if (fd < 0) {
            throw std::system_error(errno, std::generic_category(),
                                    "SOME/IP client socket on " + deployment.unicast + " cannot be bound");
        }
        client = std::make_shared<Endpoint>(fd, bound_address(fd));
        watch(fd);
        endpoints[fd] = client;
        if (deployment.service_discovery.enabled) start_discovery();
        delivery = std::make_shared<static_thread_pool>(2);
        receiver = std::thread([self = shared_from_this()] { self->receive_loop(); });
    }

    void shut_down() noexcept {
        stopping.store(true, std::memory_order_release);
        wake();
        if (receiver.joinable()) {
            if (receiver.get_id() == std::this_thread::get_id()) {
                receiver.detach();
            } else {
                receiver.join();
            }
        }
        std::map<Service_info, std::shared_ptr<Offer>> released_offers;
        std::map<int, std::shared_ptr<Endpoint>> released_endpoints;
        std::unordered_map<std::uint16_t, Pending> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex);
            released_offers.swap(offers);
            released_endpoints.swap(endpoints);
            for (auto& entry : released_endpoints) entry.second->offers.clear();
            subscriptions.clear();
        }
        {
            std::lock_guard<std::mutex> lock(pending_mutex);
            dropped.swap(pending);
            deadlines.clear();
        }
    }

    static sockaddr_in bound_address(int fd) {
        sockaddr_in address{};
        socklen_t size = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        return address;
    }

    void watch(int fd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) != 0) {
            throw std::system_error(errno, std::generic_category(), "epoll_ctl");
        }
    }

    void wake() noexcept {
        const std::uint64_t one = 1;
        if (wake_fd >= 0) {
            [[maybe_unused]] const auto written = ::write(wake_fd, &one, sizeof one);
        }
    }

    const Instance_deployment* deployed_instance(const Service_info& service,
                                                 const Service_deployment** owner = nullptr) const {
        const auto* entry = deployment.find_service(service.service_id().to_string());
        if (entry == nullptr) return nullptr;
        if (owner != nullptr) *owner = entry;
        return entry->find_instance(service.instance_id().to_string());
    }

    // Where calls to an instance of another process go: the endpoint its
    // live offer named, or with discovery off, the deployment's endpoint.
    // Called with mutex held.
    std::optional<sockaddr_in> remote_target(const Service_info& service) const {
        if (!deployment.service_discovery.enabled) {
            const auto* instance = deployed_instance(service);
            if (instance == nullptr) return std::nullopt;
            try {
                return make_address(instance->address, instance->port);
            } catch (const std::exception&) {
                return std::nullopt;
            }
        }
        auto found = learned.find(service);
        if (found == learned.end() || found->second.expires <= Clock::now()) return std::nullopt;
        return found->second.endpoint;
    }

    std::optional<Service_info> service_of(std::uint16_t service_id, std::uint16_t instance_id) const {
        const auto* entry = deployment.find_service(service_id);
        if (entry == nullptr) return std::nullopt;
        const auto* instance = entry->find_instance(instance_id);
        if (instance == nullptr) return std::nullopt;
        return Service_info(tq::com::runtime::Service_id(entry->interface),
                            tq::com::runtime::Instance_id(instance->instance));
    }

    // --- service discovery ---

    void start_discovery() {
        const auto& sd_config = deployment.service_discovery;
        const auto own = make_address(deployment.unicast, sd_config.unicast_only ? sd_config.port : 0);
        int fd = bind_udp(own);
        if (fd < 0) {
            const int error = errno;
            if (!sd_config.unicast_only) {
                throw std::system_error(error, std::generic_category(),
                                        "SOME/IP discovery socket on " + deployment.unicast + " cannot be bound");
            }
            transport_logger().LogError() << "SOME/IP discovery endpoint" << to_text(own)
                                          << "cannot be bound, offers of other processes will not arrive:"
                                          << std::strerror(error);
            fd = bind_udp(make_address(deployment.unicast, 0));
            if (fd < 0) throw std::system_error(errno, std::generic_category(), "SOME/IP discovery socket");
        }
        const in_addr interface = make_address(deployment.unicast, 0).sin_addr;
        const unsigned char loop = 1;
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface);
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
        sd_unicast = std::make_shared<Endpoint>(fd, bound_address(fd));
        watch(fd);
        endpoints[fd] = sd_unicast;
        if (!sd_config.unicast_only) {
            sd_group = make_address(sd_config.multicast, sd_config.port);
            const int group_fd = bind_multicast(sd_group, deployment.unicast);
            if (group_fd < 0) {
                const int error = errno;
                transport_logger().LogError() << "SOME/IP discovery group" << to_text(sd_group)
                                              << "cannot be joined, only answers to this process arrive:"
                                              << std::strerror(error);
            } else {
                sd_multicast = std::make_shared<Endpoint>(group_fd, sd_group);
                watch(group_fd);
                endpoints[group_fd] = sd_multicast;
            }
        }
        for (const auto& peer : sd_config.peers) sd_peers.push_back(make_address(peer.address, peer.port));
    }

    bool discovery_on() const noexcept { return static_cast<bool>(sd_unicast); }

    // The datagrams carrying message to everyone: the group and the peers.
    // Called with mutex held.
    void to_everyone(const sd::Message& message, std::vector<Outgoing>& out) {
        if (!deployment.service_discovery.unicast_only) {
            auto session = multicast_session.next();
            sd::Message copy = message;
            copy.flags = static_cast<std::uint8_t>(sd::flag_unicast | (session.reboot ? sd::flag_reboot : 0));
            out.push_back(Outgoing{sd_unicast->fd, sd_group, sd::encode(copy, session.id)});
        }
        for (const auto& peer : sd_peers) to_one(message, peer, out);
    }

    // Called with mutex held.
    void to_one(const sd::Message& message, const sockaddr_in& peer, std::vector<Outgoing>& out) {
        auto session = unicast_sessions[{peer.sin_addr.s_addr, peer.sin_port}].next();
        sd::Message copy = message;
        copy.flags = static_cast<std::uint8_t>(sd::flag_unicast | (session.reboot ? sd::flag_reboot : 0));
        out.push_back(Outgoing{sd_unicast->fd, peer, sd::encode(copy, session.id)});
    }

    sd::Message offer_message(const Offer& offer, std::uint32_t ttl) const {
        sd::Message message;
        sd::Entry entry;
        entry.type = sd::entry_type::offer_service;
        entry.service_id = offer.wire_service_id;
        const auto* instance = deployed_instance(offer.service);
        entry.instance_id = instance != nullptr ? instance->instance_id : 0;
        entry.major_version = offer.major_version;
        entry.ttl = ttl;
        const auto* service = deployment.find_service(offer.service.service_id().to_string());
        entry.minor_version = service != nullptr ? service->minor_version : 0;
        if (ttl != 0) {
            auto local = offer.endpoint->local;
            // An endpoint bound to all interfaces is announced on the unicast address.
            if (local.sin_addr.s_addr == htonl(INADDR_ANY)) local.sin_addr = make_address(deployment.unicast, 0).sin_addr;
            entry.first_option = sd::add_endpoint(message, to_endpoint(local));
            entry.first_count = 1;
        }
        message.entries.push_back(entry);
        return message;
    }

    std::chrono::milliseconds initial_delay() {
        const auto& sd_config = deployment.service_discovery;
        std::uniform_int_distribution<long long> pick(sd_config.initial_delay_min.count(),
                                                      sd_config.initial_delay_max.count());
        return std::chrono::milliseconds(pick(random));
    }

    // Sends what is due, drops what ran out. Runs on the receiving thread.
    void discovery_tick() {
        if (!discovery_on()) return;
        const auto& sd_config = deployment.service_discovery;
        const auto now = Clock::now();
        std::vector<Outgoing> out;
        std::vector<Service_info> gone;
        Availability_handler notify;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto& entry : offers) {
                Offer& offer = *entry.second;
                if (!offer.endpoint || offer.next_offer > now) continue;
                to_everyone(offer_message(offer, sd_config.offer_ttl), out);
                if (offer.in_main_phase) {
                    offer.next_offer = now + sd_config.cyclic_offer_delay;
                } else if (offer.repetitions < sd_config.repetitions_max) {
                    offer.next_offer = now + sd_config.repetition_base_delay * (1LL << offer.repetitions);
                    ++offer.repetitions;
                } else {
                    offer.in_main_phase = true;
                    offer.next_offer = now + sd_config.cyclic_offer_delay;
                }
            }
            for (auto it = learned.begin(); it != learned.end();) {
                if (it->second.expires > now) {
                    ++it;
                    continue;
                }
                if (offers.count(it->first) == 0) gone.push_back(it->first);
                it = learned.erase(it);
            }
            remote_subscribers.erase(std::remove_if(remote_subscribers.begin(), remote_subscribers.end(),
                                                    [&](const Remote_subscriber& r) { return r.expires <= now; }),
                                     remote_subscribers.end());
            notify = availability;
        }
        send_all(out);
        if (notify) {
            for (const auto& service : gone) notify(service, false);
        }
    }

    // When discovery next has something to do; called with mutex held.
    Clock::time_point discovery_due() const {
        auto due = Clock::time_point::max();
        for (const auto& entry : offers) {
            if (entry.second->endpoint) due = std::min(due, entry.second->next_offer);
        }
        for (const auto& entry : learned) due = std::min(due, entry.second.expires);
        for (const auto& subscriber : remote_subscribers) due = std::min(due, subscriber.expires);
        return due;
    }

    static Clock::time_point expiry(std::uint32_t ttl) {
        if (ttl == sd::ttl_forever) return Clock::time_point::max();
        return Clock::now() + std::chrono::seconds(ttl);
    }

    void on_discovery(const sockaddr_in& peer, const std::uint8_t* data, std::size_t size) {
        auto messages = split_datagram(data, size);
        if (!messages) {
            malformed_sd.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        // Our own offers and finds come back through the group.
        if (same_address(peer, sd_unicast->local)) return;
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
            on_discovery_message(peer, *parsed);
        }
    }

    void on_discovery_message(const sockaddr_in& peer, const sd::Message& message) {
        std::vector<Outgoing> out;
        std::vector<std::pair<Service_info, bool>> changes;
        Availability_handler notify;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto& entry : message.entries) {
                switch (entry.type) {
                    case sd::entry_type::find_service:
                        answer_find(entry, peer, out);
                        break;
                    case sd::entry_type::offer_service:
                        learn_offer(message, entry, peer, out, changes);
                        break;
                    case sd::entry_type::subscribe_eventgroup:
                        answer_subscribe(message, entry, peer, out);
                        break;
                    case sd::entry_type::subscribe_eventgroup_ack:
                        if (entry.ttl == 0) {
                            transport_logger().LogWarn()
                                << "SOME/IP subscription refused by" << to_text(peer) << ": service"
                                << entry.service_id << "instance" << entry.instance_id << "eventgroup"
                                << entry.eventgroup;
                        }
                        break;
                    default:
                        break;
                }
            }
            notify = availability;
        }
        send_all(out);
        if (notify) {
            for (const auto& change : changes) notify(change.first, change.second);
        }
    }

    // Called with mutex held.
    void answer_find(const sd::Entry& entry, const sockaddr_in& peer, std::vector<Outgoing>& out) {
        for (const auto& local : offers) {
            const Offer& offer = *local.second;
            if (!offer.endpoint) continue;
            const auto* instance = deployed_instance(offer.service);
            if ((entry.service_id != 0xFFFF && entry.service_id != offer.wire_service_id) ||
                (entry.instance_id != 0xFFFF && (instance == nullptr || entry.instance_id != instance->instance_id)) ||
                (entry.major_version != 0xFF && entry.major_version != offer.major_version)) {
                continue;
            }
            to_one(offer_message(offer, deployment.service_discovery.offer_ttl), peer, out);
        }
    }

    // Called with mutex held.
    void learn_offer(const sd::Message& message, const sd::Entry& entry, const sockaddr_in& peer,
                     std::vector<Outgoing>& out, std::vector<std::pair<Service_info, bool>>& changes) {
        const auto service = service_of(entry.service_id, entry.instance_id);
        if (!service) return;
        const auto* deployed = deployment.find_service(entry.service_id);
        if (entry.major_version != deployed->major_version) return;
        const bool local = offers.count(*service) != 0;
        if (entry.ttl == 0) {
            if (learned.erase(*service) != 0 && !local) changes.emplace_back(*service, false);
            return;
        }
        std::optional<sd::Endpoint> endpoint;
        for (const auto& candidate : message.endpoints_of(entry)) {
            if (candidate.protocol == sd::protocol_udp) {
                endpoint = candidate;
                break;
            }
        }
        if (!endpoint) return;
        auto found = learned.find(*service);
        const bool known = found != learned.end() && found->second.expires > Clock::now();
        Learned& state = learned[*service];
        state.endpoint = to_address(*endpoint);
        state.discovery = peer;
        state.expires = expiry(entry.ttl);
        if (!known && !local) changes.emplace_back(*service, true);
        // Every offer renews the subscriptions to the instance.
        for (const auto eventgroup : subscribed_eventgroups(*service)) {
            to_one(subscribe_message(*service, eventgroup, deployment.service_discovery.subscription_ttl), peer, out);
        }
    }

    // The eventgroups this process subscribes to on another process's
    // instance; called with mutex held.
    std::vector<std::uint16_t> subscribed_eventgroups(const Service_info& service) const {
        std::vector<std::uint16_t> groups;
        if (offers.count(service) != 0) return groups;
        const auto* deployed = deployment.find_service(service.service_id().to_string());
        if (deployed == nullptr) return groups;
        for (const auto& entry : subscriptions) {
            if (!(entry.second.service == service) || entry.second.event_id >= deployed->events.size()) continue;
            const auto group = deployed->events[entry.second.event_id].eventgroup;
            if (std::find(groups.begin(), groups.end(), group) == groups.end()) groups.push_back(group);
        }
        return groups;
    }

    sd::Message subscribe_message(const Service_info& service, std::uint16_t eventgroup, std::uint32_t ttl) const {
        const Service_deployment* deployed = nullptr;
        const auto* instance = deployed_instance(service, &deployed);
        sd::Message message;
        sd::Entry entry;
        entry.type = sd::entry_type::subscribe_eventgroup;
        entry.service_id = deployed->service_id;
        entry.instance_id = instance->instance_id;
        entry.major_version = deployed->major_version;
        entry.ttl = ttl;
        entry.eventgroup = eventgroup;
        entry.first_option = sd::add_endpoint(message, to_endpoint(client->local));
        entry.first_count = 1;
        message.entries.push_back(entry);
        return message;
    }

    // Called with mutex held.
    void answer_subscribe(const sd::Message& message, const sd::Entry& entry, const sockaddr_in& peer,
                          std::vector<Outgoing>& out) {
        sd::Message answer;
        sd::Entry reply = entry;
        reply.type = sd::entry_type::subscribe_eventgroup_ack;
        reply.first_option = reply.second_option = reply.first_count = reply.second_count = 0;
        reply.initial_data = false;
        std::optional<sd::Endpoint> subscriber;
        for (const auto& candidate : message.endpoints_of(entry)) {
            if (candidate.protocol == sd::protocol_udp) {
                subscriber = candidate;
                break;
            }
        }
        const auto service = service_of(entry.service_id, entry.instance_id);
        std::shared_ptr<Offer> offer;
        if (service) {
            auto found = offers.find(*service);
            if (found != offers.end() && found->second->endpoint) offer = found->second;
        }
        const auto* deployed = deployment.find_service(entry.service_id);
        const bool accepted = offer && subscriber && entry.major_version == offer->major_version &&
                              deployed != nullptr && deployed->find_eventgroup_event(entry.eventgroup) >= 0;
        if (entry.ttl == 0) {
            if (service && subscriber) {
                const auto to = to_address(*subscriber);
                remote_subscribers.erase(
                    std::remove_if(remote_subscribers.begin(), remote_subscribers.end(),
                                   [&](const Remote_subscriber& r) {
                                       return r.service == *service && r.eventgroup == entry.eventgroup &&
                                              same_address(r.to, to);
                                   }),
                    remote_subscribers.end());
            }
            return;
        }
        if (!accepted) {
            reply.ttl = 0;
        } else {
            const auto to = to_address(*subscriber);
            const auto expires = expiry(entry.ttl);
            auto same = std::find_if(remote_subscribers.begin(), remote_subscribers.end(), [&](const Remote_subscriber& r) {
                return r.service == *service && r.eventgroup == entry.eventgroup && same_address(r.to, to);
            });
            if (same != remote_subscribers.end()) {
                same->expires = expires;
            } else {
                remote_subscribers.push_back(Remote_subscriber{*service, entry.eventgroup, to, expires});
            }
        }
        answer.entries.push_back(reply);
        to_one(answer, peer, out);
    }

    // Asks everyone for an instance not known yet, at most once per
    // initial delay so that a polling caller does not flood the group.
    void look_for(const Service_info& service) {
        if (!discovery_on()) return;
        const Service_deployment* deployed = nullptr;
        const auto* instance = deployed_instance(service, &deployed);
        if (instance == nullptr) return;
        std::vector<Outgoing> out;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const auto now = Clock::now();
            auto& last = last_find[service];
            if (last != Clock::time_point{} && now - last < deployment.service_discovery.initial_delay_max) return;
            last = now;
            sd::Message message;
            sd::Entry entry;
            entry.type = sd::entry_type::find_service;
            entry.service_id = deployed->service_id;
            entry.instance_id = instance->instance_id;
            entry.major_version = deployed->major_version;
            entry.ttl = deployment.service_discovery.offer_ttl;
            entry.minor_version = 0xFFFFFFFF;
            message.entries.push_back(entry);
            to_everyone(message, out);
        }
        send_all(out);
    }

    // --- receiving ---

    void receive_loop() {
        std::vector<std::uint8_t> buffer(65536);
        epoll_event events[16];
        while (!stopping.load(std::memory_order_acquire)) {
            const int count = ::epoll_wait(epoll_fd, events, 16, wait_time_ms());
            if (stopping.load(std::memory_order_acquire)) break;
            for (int i = 0; i < count; ++i) {
                const int fd = events[i].data.fd;
                if (fd == wake_fd) {
                    std::uint64_t value = 0;
                    [[maybe_unused]] const auto got = ::read(wake_fd, &value, sizeof value);
                    continue;
                }
                std::shared_ptr<Endpoint> endpoint;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    auto found = endpoints.find(fd);
                    if (found != endpoints.end()) endpoint = found->second;
                }
                if (endpoint) drain(endpoint, buffer);
            }
            expire_calls();
            discovery_tick();
        }
    }

    void drain(const std::shared_ptr<Endpoint>& endpoint, std::vector<std::uint8_t>& buffer) {
        // A bounded number per wake-up, so that one busy socket cannot starve the others.
        for (int n = 0; n < 64; ++n) {
            sockaddr_in peer{};
            socklen_t peer_size = sizeof peer;
            const auto got = ::recvfrom(endpoint->fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&peer), &peer_size);
            if (got < 0) {
                if (errno == EINTR) continue;
                return;
            }
            const auto size = static_cast<std::size_t>(got);
            if (endpoint == sd_unicast || endpoint == sd_multicast) {
                on_discovery(peer, buffer.data(), size);
                continue;
            }
            auto messages = split_datagram(buffer.data(), size);
            if (!messages) {
                malformed.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            auto bytes = std::make_shared<Payload_buffer>(buffer.data(), buffer.data() + size);
            for (const auto& message : *messages) {
                if (endpoint == client && message.header.message_type == message_type::notification) {
                    on_notification(peer, message, bytes);
                } else if (endpoint == client) {
                    on_reply(message, bytes);
                } else {
                    on_request(endpoint, peer, message, bytes);
                }
            }
        }
    }

    void on_request(const std::shared_ptr<Endpoint>& endpoint, const sockaddr_in& peer,
                    const Message& message, const std::shared_ptr<Payload_buffer>& bytes) {
        const Header& header = message.header;
        const std::uint8_t base_type = header.message_type & static_cast<std::uint8_t>(~message_type::tp_flag);
        // Fire-and-forget requests, notifications, responses and errors are
        // never answered with an error: two peers could otherwise keep
        // answering each other's errors.
        const bool answerable = base_type != message_type::request_no_return &&
                                base_type != message_type::notification && base_type != message_type::response &&
                                base_type != message_type::error;
        auto refuse = [&](std::uint8_t code) {
            if (answerable) send_reply(*endpoint, peer, header, message_type::error, code, nullptr, 0);
        };
        if (header.protocol_version != protocol_version) return refuse(wire_code::wrong_protocol_version);

        std::unique_lock<std::mutex> lock(mutex);
        auto found = endpoint->offers.find(header.service_id);
        if (found == endpoint->offers.end()) {
            lock.unlock();
            return refuse(wire_code::unknown_service);
        }
        const auto offer = found->second;
        std::uint16_t method_index = 0;
        while (method_index < offer->method_ids.size() && offer->method_ids[method_index] != header.method_id) {
            ++method_index;
        }
        if (method_index == offer->method_ids.size()) {
            lock.unlock();
            return refuse(wire_code::unknown_method);
        }
        if (header.interface_version != offer->major_version) {
            lock.unlock();
            return refuse(wire_code::wrong_interface_version);
        }
        if (header.message_type != message_type::request && header.message_type != message_type::request_no_return) {
            lock.unlock();
            return refuse(wire_code::wrong_message_type);
        }
        ++offer->in_flight;
        lock.unlock();

        Reply_function reply;
        if (header.message_type == message_type::request) {
            auto route = std::make_shared<Reply_route>();
            route->endpoint = endpoint;
            route->peer = peer;
            route->request = header;
            reply = [route](std::uint8_t code, Serialized_payload payload) {
                if (route->answered.exchange(true)) return;
                const auto wire = to_wire_reply(code);
                const auto& view = payload.view();
                send_reply(*route->endpoint, route->peer, route->request, wire.message_type, wire.return_code,
                           wire.with_payload ? view.data() : nullptr, wire.with_payload ? view.size() : 0);
            };
        }
        Serialized_payload request(Serialized_payload::someip,
                                   Payload_view(bytes, message.payload_offset,
                                                message.payload_offset + header.payload_size()));
        hand_over(offer, method_index, header.session_id, std::move(request), std::move(reply));
    }

    // Calls the offer's handler; in_flight was counted up by the caller.
    void hand_over(const std::shared_ptr<Offer>& offer, std::uint16_t method_id, std::uint16_t call_id,
                   Serialized_payload request, Reply_function reply) {
        struct Done {
            Engine& engine;
            Offer& offer;
            ~Done() {
                current_offer = nullptr;
                {
                    std::lock_guard<std::mutex> lock(engine.mutex);
                    --offer.in_flight;
                }
                engine.dispatch_done.notify_all();
            }
        } done{*this, *offer};
        current_offer = offer.get();
        try {
            offer->handler->on_request(method_id, call_id, std::move(request), std::move(reply));
        } catch (const std::exception& error) {
            transport_logger().LogError() << "Request handler failed:" << error.what();
        } catch (...) {
            transport_logger().LogError() << "Request handler failed";
        }
    }

    void on_reply(const Message& message, const std::shared_ptr<Payload_buffer>& bytes) {
        const Header& header = message.header;
        if ((header.message_type != message_type::response && header.message_type != message_type::error) ||
            header.client_id != deployment.client_id) {
            unmatched.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        Response_handler handler;
        {
            std::lock_guard<std::mutex> lock(pending_mutex);
            auto found = pending.find(header.session_id);
            if (found == pending.end() || found->second.service_id != header.service_id ||
                found->second.method_id != header.method_id) {
                unmatched.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            handler = std::move(found->second.handler);
            pending.erase(found);
        }
        const std::uint8_t code = to_binding_code(header.message_type, header.return_code);
        Serialized_payload payload(Serialized_payload::someip,
                                   Payload_view(bytes, message.payload_offset,
                                                message.payload_offset + header.payload_size()));
        deliver(std::move(handler), code, std::move(payload));
    }

    // An event of another process's instance: handed to this process's
    // subscribers on the receiving thread, so that they see events in the
    // order they were sent.
    void on_notification(const sockaddr_in& peer, const Message& message, const std::shared_ptr<Payload_buffer>& bytes) {
        const Header& header = message.header;
        const auto* deployed = deployment.find_service(header.service_id);
        if (deployed == nullptr) {
            unmatched.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        int event_index = -1;
        for (std::size_t i = 0; i < deployed->events.size(); ++i) {
            if (deployed->events[i].id == header.method_id) event_index = static_cast<int>(i);
        }
        struct Receiver {
            std::uint64_t id;
            std::shared_ptr<Event_handler> handler;
            std::shared_ptr<int> delivering;
        };
        std::vector<Receiver> receivers;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto& entry : subscriptions) {
                const auto& subscription = entry.second;
                if (subscription.service.service_id().to_string() != deployed->interface ||
                    static_cast<int>(subscription.event_id) != event_index || offers.count(subscription.service) != 0) {
                    continue;
                }
                // The instance is the one whose offer named the sending endpoint.
                auto known = learned.find(subscription.service);
                if (discovery_on() && (known == learned.end() || !same_address(known->second.endpoint, peer))) continue;
                ++*subscription.delivering;
                receivers.push_back(Receiver{entry.first, subscription.handler, subscription.delivering});
            }
        }
        if (receivers.empty()) unmatched.fetch_add(1, std::memory_order_relaxed);
        const Serialized_payload payload(Serialized_payload::someip,
                                         Payload_view(bytes, message.payload_offset,
                                                      message.payload_offset + header.payload_size()));
        for (const auto& receiver : receivers) {
            current_subscription = receiver.id;
            try {
                (*receiver.handler)(payload);
            } catch (const std::exception& error) {
                transport_logger().LogError() << "Event handler failed:" << error.what();
            } catch (...) {
                transport_logger().LogError() << "Event handler failed";
            }
            current_subscription = 0;
            {
                std::lock_guard<std::mutex> lock(mutex);
                --*receiver.delivering;
            }
            dispatch_done.notify_all();
        }
    }

    void deliver(Response_handler handler, std::uint8_t code, Serialized_payload payload) {
        delivery->post([handler = std::move(handler), code, payload = std::move(payload)]() mutable {
            handler(code, std::move(payload));
        });
    }

    int wait_time_ms() {
        std::lock_guard<std::mutex> lock(pending_mutex);
        drop_answered_deadlines();
        // Every call waits the same time, so a call made while this thread
        // waits expires after the wait ends.
        auto due = deadlines.empty() ? Clock::now() + deployment.call_timeout : deadlines.front().at;
        {
            std::lock_guard<std::mutex> state_lock(mutex);
            due = std::min(due, discovery_due());
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
        return left.count() < 0 ? 0 : static_cast<int>(left.count());
    }

    void drop_answered_deadlines() {
        while (!deadlines.empty()) {
            auto found = pending.find(deadlines.front().session);
            if (found != pending.end() && found->second.serial == deadlines.front().serial) return;
            deadlines.pop_front();
        }
    }

    void expire_calls() {
        std::vector<Response_handler> expired;
        {
            std::lock_guard<std::mutex> lock(pending_mutex);
            const auto now = Clock::now();
            while (!deadlines.empty() && deadlines.front().at <= now) {
                const auto deadline = deadlines.front();
                deadlines.pop_front();
                auto found = pending.find(deadline.session);
                if (found == pending.end() || found->second.serial != deadline.serial) continue;
                expired.push_back(std::move(found->second.handler));
                pending.erase(found);
            }
        }
        for (auto& handler : expired) deliver(std::move(handler), return_code::timeout, Serialized_payload());
    }

    // --- calling ---

    void call_remote(const Service_info& service, std::uint16_t method_id, const Serialized_payload& request,
                     Response_handler handler) {
        const Service_deployment* entry = nullptr;
        const auto* instance = deployed_instance(service, &entry);
        std::optional<sockaddr_in> target;
        if (instance != nullptr) {
            std::lock_guard<std::mutex> lock(mutex);
            target = remote_target(service);
        }
        if (!target) return deliver(std::move(handler), return_code::not_available, Serialized_payload());
        if (method_id >= entry->methods.size()) {
            transport_logger().LogWarn() << "No SOME/IP method id deployed for method" << method_id << "of"
                                         << service.service_id().to_string();
            return deliver(std::move(handler), return_code::send_failed, Serialized_payload());
        }
        Header header;
        header.service_id = entry->service_id;
        header.method_id = entry->methods[method_id].id;
        header.client_id = deployment.client_id;
        header.interface_version = entry->major_version;
        header.message_type = message_type::request;
        const sockaddr_in to = *target;
        std::uint64_t serial = 0;
        {
            std::lock_guard<std::mutex> lock(pending_mutex);
            header.session_id = sessions.next();
            if (pending.count(header.session_id) != 0) {
                // Every session id is still waiting for its reply.
                return deliver(std::move(handler), return_code::send_failed, Serialized_payload());
            }
            serial = next_serial++;
            pending.emplace(header.session_id, Pending{serial, header.service_id, header.method_id, std::move(handler)});
            deadlines.push_back(Deadline{Clock::now() + deployment.call_timeout, header.session_id, serial});
        }
        std::vector<std::uint8_t> bytes;
        const auto& view = request.view();
        append_message(bytes, header, view.data(), view.size());
        if (send_datagram(client->fd, bytes, to)) return;
        Response_handler failed;
        {
            std::lock_guard<std::mutex> lock(pending_mutex);
            auto found = pending.find(header.session_id);
            if (found == pending.end() || found->second.serial != serial) return;
            failed = std::move(found->second.handler);
            pending.erase(found);
        }
        deliver(std::move(failed), return_code::send_failed, Serialized_payload());
    }

    // Runs on a delivery thread: the offer is looked up now, so a request
    // queued before stop_offer is refused instead of reaching a withdrawn
    // handler.
    void call_local(const Service_info& service, std::uint16_t method_id, std::uint16_t call_id,
                    Serialized_payload request, const std::shared_ptr<Response_handler>& handler) {
        std::shared_ptr<Offer> offer;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto found = offers.find(service);
            if (found != offers.end()) {
                offer = found->second;
                ++offer->in_flight;
            }
        }
        if (!offer) return (*handler)(return_code::not_available, Serialized_payload());
        std::weak_ptr<static_thread_pool> pool = delivery;
        auto answered = std::make_shared<std::atomic<bool>>(false);
        Reply_function reply = [pool, handler, answered](std::uint8_t code, Serialized_payload payload) {
            if (answered->exchange(true)) return;
            if (auto threads = pool.lock()) {
                threads->post([handler, code, payload = std::move(payload)]() mutable {
                    (*handler)(code, std::move(payload));
                });
            }
        };
        hand_over(offer, method_id, call_id, std::move(request), std::move(reply));
    }

    Deployment deployment;
    int epoll_fd{-1};
    int wake_fd{-1};
    std::shared_ptr<Endpoint> client;
    std::shared_ptr<static_thread_pool> delivery;

    mutable std::mutex mutex;
    std::condition_variable dispatch_done;
    Availability_handler availability;
    std::map<Service_info, std::shared_ptr<Offer>> offers;
    std::map<int, std::shared_ptr<Endpoint>> endpoints;
    std::map<std::uint64_t, Subscription> subscriptions;
    std::uint64_t next_subscription{1};
    std::shared_ptr<Endpoint> sd_unicast;
    std::shared_ptr<Endpoint> sd_multicast;
    sockaddr_in sd_group{};
    std::vector<sockaddr_in> sd_peers;
    sd::Session multicast_session;
    std::map<std::pair<std::uint32_t, std::uint16_t>, sd::Session> unicast_sessions;
    std::map<Service_info, Learned> learned;
    std::vector<Remote_subscriber> remote_subscribers;
    std::map<Service_info, Clock::time_point> last_find;
    std::minstd_rand random{std::random_device{}()};

    std::mutex pending_mutex;
    Session_counter sessions;
    std::uint64_t next_serial{1};
    std::unordered_map<std::uint16_t, Pending> pending;
    std::deque<Deadline> deadlines;

    std::atomic<std::uint64_t> malformed{0};
    std::atomic<std::uint64_t> malformed_sd{0};
    std::atomic<std::uint64_t> unmatched{0};
    std::atomic<bool> stopping{false};
    std::thread receiver;
};

Udp_transport::Udp_transport(Deployment deployment) : engine_(std::make_shared<Engine>(std::move(deployment))) {
    engine_->start();
}

Udp_transport::~Udp_transport() { engine_->shut_down(); }

void Udp_transport::set_availability_handler(Availability_handler handler) {
    std::lock_guard<std::mutex> lock(engine_->mutex);
    engine_->availability = std::move(handler);
}

void Udp_transport::offer(const Service_info& service,
                          const connector::Service_interface_description& /*description*/,
                          std::shared_ptr<Request_handler> handler) {
    stop_offer(service);
    auto entry = std::make_shared<Offer>();
    entry->service = service;
    entry->handler = std::move(handler);
    const Service_deployment* deployed = nullptr;
    const auto* instance = engine_->deployed_instance(service, &deployed);
    Availability_handler notify;
    {
        std::lock_guard<std::mutex> lock(engine_->mutex);
        if (instance != nullptr) {
            entry->wire_service_id = deployed->service_id;
            entry->major_version = deployed->major_version;
            for (const auto& method : deployed->methods) entry->method_ids.push_back(method.id);
            const auto local = make_address(instance->address, instance->port);
            for (const auto& known : engine_->endpoints) {
                const auto& bound = known.second->local;
                if (known.second != engine_->client && instance->port != 0 &&
                    bound.sin_addr.s_addr == local.sin_addr.s_addr && bound.sin_port == local.sin_port) {
                    entry->endpoint = known.second;
                }
            }
            if (!entry->endpoint) {
                const int fd = bind_udp(local);
                if (fd < 0) {
                    const int error = errno;
                    transport_logger().LogError()
                        << "SOME/IP endpoint" << to_text(local) << "of" << service.service_id().to_string()
                        << service.instance_id().to_string()
                        << "cannot be bound, offered in this process only:" << std::strerror(error);
                } else {
                    auto endpoint = std::make_shared<Endpoint>(fd, Engine::bound_address(fd));
                    engine_->watch(fd);
                    engine_->endpoints[fd] = endpoint;
                    entry->endpoint = std::move(endpoint);
                }
            }
            if (entry->endpoint) entry->endpoint->offers[entry->wire_service_id] = entry;
        }
        entry->next_offer = Clock::now() + engine_->initial_delay();
        engine_->offers[service] = entry;
        notify = engine_->availability;
    }
    // The receiving thread may be waiting far beyond the initial delay.
    engine_->wake();
    if (notify) notify(service, true);
}

void Udp_transport::stop_offer(const Service_info& service) {
    Availability_handler notify;
    std::shared_ptr<Offer> released;
    std::shared_ptr<Endpoint> closed;
    std::vector<Outgoing> out;
    bool still_available = false;
    {
        std::unique_lock<std::mutex> lock(engine_->mutex);
        auto found = engine_->offers.find(service);
        if (found == engine_->offers.end()) return;
        released = std::move(found->second);
        engine_->offers.erase(found);
        if (released->endpoint && engine_->discovery_on()) {
            engine_->to_everyone(engine_->offer_message(*released, 0), out);
            auto& subscribers = engine_->remote_subscribers;
            subscribers.erase(std::remove_if(subscribers.begin(), subscribers.end(),
                                             [&](const Engine::Remote_subscriber& r) { return r.service == service; }),
                              subscribers.end());
        }
        if (released->endpoint) {
            auto& listening = released->endpoint->offers;
            auto same = listening.find(released->wire_service_id);
            if (same != listening.end() && same->second == released) listening.erase(same);
            if (listening.empty()) {
                closed = released->endpoint;
                ::epoll_ctl(engine_->epoll_fd, EPOLL_CTL_DEL, closed->fd, nullptr);
                engine_->endpoints.erase(closed->fd);
            }
        }
        const int own = current_offer == released.get() ? 1 : 0;
        engine_->dispatch_done.wait(lock, [&] { return released->in_flight <= own; });
        still_available = engine_->remote_target(service).has_value();
        notify = engine_->availability;
    }
    send_all(out);
    if (notify) notify(service, still_available);
}

std::vector<Service_info> Udp_transport::find(const tq::com::runtime::Service_id& service,
                                              const tq::com::runtime::Instance_id& instance) {
    const Service_info wanted(service, instance);
    if (is_available(wanted)) return {wanted};
    engine_->look_for(wanted);
    return {};
}

bool Udp_transport::is_available(const Service_info& service) {
    std::lock_guard<std::mutex> lock(engine_->mutex);
    return engine_->offers.count(service) != 0 || engine_->remote_target(service).has_value();
}

void Udp_transport::send_request(const Service_info& service, std::uint16_t method_id, std::uint16_t method_call_id,
                                 Serialized_payload request, Response_handler handler) {
    bool local = false;
    {
        std::lock_guard<std::mutex> lock(engine_->mutex);
        local = engine_->offers.count(service) != 0;
    }
    if (!local) return engine_->call_remote(service, method_id, request, std::move(handler));
    auto pending = std::make_shared<Response_handler>(std::move(handler));
    std::weak_ptr<Engine> weak = engine_;
    const bool queued = engine_->delivery->post(
        [weak, service, method_id, method_call_id, request = std::move(request), pending]() mutable {
            if (auto engine = weak.lock()) engine->call_local(service, method_id, method_call_id, std::move(request), pending);
        });
    if (!queued) (*pending)(return_code::send_failed, Serialized_payload());
}

void Udp_transport::send_event(const Service_info& service, std::uint16_t event_id,
                               const std::vector<Serialized_payload>& payloads) {
    std::vector<std::shared_ptr<Event_handler>> receivers;
    std::vector<Outgoing> out;
    {
        std::lock_guard<std::mutex> lock(engine_->mutex);
        for (const auto& entry : engine_->subscriptions) {
            if (entry.second.service == service && entry.second.event_id == event_id) {
                receivers.push_back(entry.second.handler);
            }
        }
        auto offered = engine_->offers.find(service);
        const auto* deployed = engine_->deployment.find_service(service.service_id().to_string());
        if (offered != engine_->offers.end() && offered->second->endpoint && deployed != nullptr &&
            event_id < deployed->events.size()) {
            const auto& event = deployed->events[event_id];
            Offer& offer = *offered->second;
            const auto now = Clock::now();
            for (const auto& subscriber : engine_->remote_subscribers) {
                if (!(subscriber.service == service) || subscriber.eventgroup != event.eventgroup ||
                    subscriber.expires <= now) {
                    continue;
                }
                for (const auto& payload : payloads) {
                    if (payload.serialization_type() != Serialized_payload::someip) continue;
                    Header header;
                    header.service_id = offer.wire_service_id;
                    header.method_id = event.id;
                    header.client_id = 0;
                    header.session_id = offer.notifications.next();
                    header.interface_version = offer.major_version;
                    header.message_type = message_type::notification;
                    std::vector<std::uint8_t> bytes;
                    const auto& view = payload.view();
                    append_message(bytes, header, view.data(), view.size());
                    out.push_back(Outgoing{offer.endpoint->fd, subscriber.to, std::move(bytes)});
                }
            }
        }
    }
    // The endpoint's socket stays open while out refers to it: the offer
    // keeps it, and a stop_offer racing with this send closes it only once
    // its last user lets go. Sending a closed descriptor fails and is logged.
    send_all(out);
    for (const auto& receiver : receivers) {
        for (const auto& payload : payloads) {
            if (payload.serialization_type() == Serialized_payload::someip) (*receiver)(payload);
        }
    }
}

std::uint64_t Udp_transport::subscribe(const Service_info& service, std::uint16_t event_id, Event_handler handler) {
    std::vector<Outgoing> out;
    std::uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(engine_->mutex);
        const auto before = engine_->subscribed_eventgroups(service);
        id = engine_->next_subscription++;
        engine_->subscriptions.emplace(
            id, Engine::Subscription{service, event_id, std::make_shared<Event_handler>(std::move(handler))});
        auto known = engine_->learned.find(service);
        if (engine_->discovery_on() && known != engine_->learned.end()) {
            for (const auto group : engine_->subscribed_eventgroups(service)) {
                if (std::find(before.begin(), before.end(), group) != before.end()) continue;
                engine_->to_one(engine_->subscribe_message(service, group, engine_->deployment.service_discovery.subscription_ttl),
                                known->second.discovery, out);
            }
        }
    }
    send_all(out);
    return id;
}

void Udp_transport::unsubscribe(std::uint64_t subscription) {
    std::vector<Outgoing> out;
    {
        std::unique_lock<std::mutex> lock(engine_->mutex);
        auto found = engine_->subscriptions.find(subscription);
        if (found == engine_->subscriptions.end()) return;
        const auto service = found->second.service;
        const auto delivering = found->second.delivering;
        const auto before = engine_->subscribed_eventgroups(service);
        engine_->subscriptions.erase(found);
        auto known = engine_->learned.find(service);
        if (engine_->discovery_on() && known != engine_->learned.end()) {
            const auto after = engine_->subscribed_eventgroups(service);
            for (const auto group : before) {
                if (std::find(after.begin(), after.end(), group) != after.end()) continue;
                engine_->to_one(engine_->subscribe_message(service, group, 0), known->second.discovery, out);
            }
        }
        // The handler is not called once this returns (unless it is the caller).
        const int own = current_subscription == subscription ? 1 : 0;
        engine_->dispatch_done.wait(lock, [&] { return *delivering <= own; });
    }
    send_all(out);
}

const Deployment& Udp_transport::deployment() const noexcept { return engine_->deployment; }

Udp_transport::Statistics Udp_transport::statistics() const noexcept {
    Statistics statistics;
    statistics.malformed_datagrams = engine_->malformed.load(std::memory_order_relaxed);
    statistics.unmatched_replies = engine_->unmatched.load(std::memory_order_relaxed);
    statistics.malformed_discovery_messages = engine_->malformed_sd.load(std::memory_order_relaxed);
    return statistics;
}

std::optional<std::uint16_t> Udp_transport::bound_port(const Service_info& service) const {
    std::lock_guard<std::mutex> lock(engine_->mutex);
    auto found = engine_->offers.find(service);
    if (found == engine_->offers.end() || !found->second->endpoint) return std::nullopt;
    return ntohs(found->second->endpoint->local.sin_port);
}

std::uint16_t Udp_transport::client_port() const noexcept { return ntohs(engine_->client->local.sin_port); }

std::size_t Udp_transport::subscriber_count(const Service_info& service) const {
    std::lock_guard<std::mutex> lock(engine_->mutex);
    const auto now = Clock::now();
    return static_cast<std::size_t>(std::count_if(
        engine_->remote_subscribers.begin(), engine_->remote_subscribers.end(),
        [&](const Engine::Remote_subscriber& r) { return r.service == service && r.expires > now; }));
}

std::optional<std::uint16_t> Udp_transport::discovery_port() const noexcept {
    if (!engine_->sd_unicast) return std::nullopt;
    return ntohs(engine_->sd_unicast->local.sin_port);
}

}  // namespace rk::com::runtime::someip
