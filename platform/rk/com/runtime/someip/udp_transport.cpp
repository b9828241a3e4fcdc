#include "rk/com/runtime/someip/udp_transport.h"

#include "rk/com/runtime/someip/message.h"
#include "rk/com/static_thread_pool.h"

#include "ara/log/logging.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace rk::com::runtime::someip {

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
};

namespace {

// The offer whose handler this thread is in, so that a handler withdrawing
// its own offer does not wait for itself.
thread_local const Offer* current_offer = nullptr;

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

    // Until service discovery tells, an instance of another process counts
    // as available when the deployment gives it an endpoint.
    const Instance_deployment* remote_endpoint(const Service_info& service,
                                               const Service_deployment** owner = nullptr) const {
        const auto* entry = deployment.find_service(service.service_id().to_string());
        if (entry == nullptr) return nullptr;
        if (owner != nullptr) *owner = entry;
        return entry->find_instance(service.instance_id().to_string());
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
            auto messages = split_datagram(buffer.data(), size);
            if (!messages) {
                malformed.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            auto bytes = std::make_shared<Payload_buffer>(buffer.data(), buffer.data() + size);
            for (const auto& message : *messages) {
                if (endpoint == client) {
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
        if (deadlines.empty()) return static_cast<int>(deployment.call_timeout.count());
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadlines.front().at - Clock::now());
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
        const auto* instance = remote_endpoint(service, &entry);
        if (instance == nullptr) return deliver(std::move(handler), return_code::not_available, Serialized_payload());
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
        sockaddr_in to{};
        try {
            to = make_address(instance->address, instance->port);
        } catch (const std::exception&) {
            return deliver(std::move(handler), return_code::send_failed, Serialized_payload());
        }
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

    std::mutex pending_mutex;
    Session_counter sessions;
    std::uint64_t next_serial{1};
    std::unordered_map<std::uint16_t, Pending> pending;
    std::deque<Deadline> deadlines;

    std::atomic<std::uint64_t> malformed{0};
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
    const auto* instance = engine_->remote_endpoint(service, &deployed);
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
        engine_->offers[service] = entry;
        notify = engine_->availability;
    }
    if (notify) notify(service, true);
}

void Udp_transport::stop_offer(const Service_info& service) {
    Availability_handler notify;
    std::shared_ptr<Offer> released;
    std::shared_ptr<Endpoint> closed;
    {
        std::unique_lock<std::mutex> lock(engine_->mutex);
        auto found = engine_->offers.find(service);
        if (found == engine_->offers.end()) return;
        released = std::move(found->second);
        engine_->offers.erase(found);
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
        notify = engine_->availability;
    }
    if (notify) notify(service, engine_->remote_endpoint(service) != nullptr);
}

std::vector<Service_info> Udp_transport::find(const tq::com::runtime::Service_id& service,
                                              const tq::com::runtime::Instance_id& instance) {
    const Service_info wanted(service, instance);
    if (is_available(wanted)) return {wanted};
    return {};
}

bool Udp_transport::is_available(const Service_info& service) {
    {
        std::lock_guard<std::mutex> lock(engine_->mutex);
        if (engine_->offers.count(service) != 0) return true;
    }
    return engine_->remote_endpoint(service) != nullptr;
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
    {
        std::lock_guard<std::mutex> lock(engine_->mutex);
        for (const auto& entry : engine_->subscriptions) {
            if (entry.second.service == service && entry.second.event_id == event_id) {
                receivers.push_back(entry.second.handler);
            }
        }
    }
    for (const auto& receiver : receivers) {
        for (const auto& payload : payloads) {
            if (payload.serialization_type() == Serialized_payload::someip) (*receiver)(payload);
        }
    }
}

std::uint64_t Udp_transport::subscribe(const Service_info& service, std::uint16_t event_id, Event_handler handler) {
    std::lock_guard<std::mutex> lock(engine_->mutex);
    const auto id = engine_->next_subscription++;
    engine_->subscriptions.emplace(
        id, Engine::Subscription{service, event_id, std::make_shared<Event_handler>(std::move(handler))});
    return id;
}

void Udp_transport::unsubscribe(std::uint64_t subscription) {
    std::lock_guard<std::mutex> lock(engine_->mutex);
    engine_->subscriptions.erase(subscription);
}

const Deployment& Udp_transport::deployment() const noexcept { return engine_->deployment; }

Udp_transport::Statistics Udp_transport::statistics() const noexcept {
    Statistics statistics;
    statistics.malformed_datagrams = engine_->malformed.load(std::memory_order_relaxed);
    statistics.unmatched_replies = engine_->unmatched.load(std::memory_order_relaxed);
    return statistics;
}

std::optional<std::uint16_t> Udp_transport::bound_port(const Service_info& service) const {
    std::lock_guard<std::mutex> lock(engine_->mutex);
    auto found = engine_->offers.find(service);
    if (found == engine_->offers.end() || !found->second->endpoint) return std::nullopt;
    return ntohs(found->second->endpoint->local.sin_port);
}

std::uint16_t Udp_transport::client_port() const noexcept { return ntohs(engine_->client->local.sin_port); }

}  // namespace rk::com::runtime::someip
