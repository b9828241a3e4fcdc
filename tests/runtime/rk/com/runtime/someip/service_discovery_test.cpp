// Service discovery: two transports finding each other on loopback through a multicast group
// and port of their own (so these tests run beside anything): availability
// following offers, stop offers and TTLs, and events reaching a subscribing
// transport in order.
#include "rk/com/runtime/someip/udp_transport.h"
#include "support/private_discovery.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

namespace rk::com::runtime::someip {
namespace {

using cpp_binding::Service_info;
using tq::com::runtime::Instance_id;
using tq::com::runtime::Payload_buffer;
using tq::com::runtime::Serialized_payload;
using tq::com::runtime::Service_id;
using Bytes = std::vector<std::uint8_t>;

const char* const monitor_interface = "rk::dm::dem::DiagnosticMonitor";
const Service_info monitor{Service_id(monitor_interface), Instance_id("479232")};

// A discovery port and group nobody else uses, with short waits.
Service_discovery_deployment private_discovery() {
    auto sd = test_support::private_discovery(78);
    sd.initial_delay_min = std::chrono::milliseconds(0);
    sd.initial_delay_max = std::chrono::milliseconds(5);
    sd.repetition_base_delay = std::chrono::milliseconds(10);
    return sd;
}

// Each transport its own address, as two ECUs would have.
Deployment monitor_deployment(Service_discovery_deployment sd, std::uint16_t client_id, const std::string& unicast) {
    Deployment d;
    d.unicast = unicast;
    d.client_id = client_id;
    d.call_timeout = std::chrono::seconds(10);
    d.service_discovery = std::move(sd);
    Service_deployment s;
    s.interface = monitor_interface;
    s.service_id = 0x0D01;
    s.major_version = 1;
    s.instances.push_back(Instance_deployment{"479232", 1, unicast, 0});
    s.methods = {{"InitMonitor", 0x0000}};
    s.events = {{"MonitorAction", 0x8000, 0x0001}};
    d.services.push_back(s);
    return d;
}

Serialized_payload payload_of(Bytes bytes) {
    return Serialized_payload(Serialized_payload::someip, std::make_shared<Payload_buffer>(std::move(bytes)));
}

class Echo_provider final : public Request_handler {
public:
    void on_request(std::uint16_t, std::uint16_t, Serialized_payload request, Reply_function reply) override {
        if (reply) reply(return_code::ok, std::move(request));
    }
};

// What a transport tells about the monitor's availability, and the events it
// receives; what it records is shared with the handlers, which the transport
// may still be calling while the observer goes.
class Observer {
public:
    explicit Observer(Udp_transport& transport) {
        transport.set_availability_handler([state = state_](const Service_info& service, bool available) {
            if (!(service == monitor)) return;
            std::lock_guard<std::mutex> lock(state->mutex);
            state->changes.push_back(available);
            state->changed.notify_all();
        });
    }
    Event_handler events() {
        return [state = state_](const Serialized_payload& payload) {
            std::lock_guard<std::mutex> lock(state->mutex);
            for (auto byte : payload.payload()) state->events.push_back(byte);
            state->changed.notify_all();
        };
    }
    // Until at least so many availability changes and event bytes came.
    bool wait_for(std::size_t changes, std::size_t events = 0) {
        std::unique_lock<std::mutex> lock(state_->mutex);
        return state_->changed.wait_for(lock, std::chrono::seconds(20), [&] {
            return state_->changes.size() >= changes && state_->events.size() >= events;
        });
    }
    std::vector<bool> changes() {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->changes;
    }
    Bytes received() {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->events;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<bool> changes;
        Bytes events;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Whether a state of the transport (which tells nobody when it changes) is
// reached; looked at every few milliseconds for a generous while.
template <typename Predicate>
bool eventually(Predicate predicate) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::optional<std::uint8_t> call(Udp_transport& client) {
    auto code = std::make_shared<std::promise<std::uint8_t>>();
    auto answered = code->get_future();
    client.send_request(monitor, 0, 1, payload_of({0x07}),
                        [code](std::uint8_t c, Serialized_payload) { code->set_value(c); });
    if (answered.wait_for(std::chrono::seconds(20)) != std::future_status::ready) return std::nullopt;
    return answered.get();
}

TEST(Discovery, TwoProcessesFindCallAndNotifyEachOtherUntilTheOfferIsWithdrawn) {
    const auto sd = private_discovery();
    Udp_transport client(monitor_deployment(sd, 0x1001, "127.0.0.5"));
    Observer observer(client);
    EXPECT_TRUE(client.find(monitor.service_id(), monitor.instance_id()).empty()) << "nothing offered yet";
    EXPECT_EQ(call(client), return_code::not_available);
    const auto subscription = client.subscribe(monitor, 0, observer.events());
    {
        Udp_transport server(monitor_deployment(sd, 0x1002, "127.0.0.1"));
        server.offer(monitor, {1, 1}, std::make_shared<Echo_provider>());
        ASSERT_TRUE(observer.wait_for(1));
        EXPECT_TRUE(client.is_available(monitor));
        EXPECT_EQ(call(client), return_code::ok);

        // The subscription follows the offer; events arrive in the order sent.
        ASSERT_TRUE(eventually([&] { return server.subscriber_count(monitor) == 1; }));
        const Bytes sent = {1, 0, 0, 1, 0};
        for (auto verdict : sent) server.send_event(monitor, 0, {payload_of({verdict})});
        ASSERT_TRUE(observer.wait_for(1, sent.size()));
        EXPECT_EQ(observer.received(), sent);
        client.unsubscribe(subscription);
        EXPECT_TRUE(eventually([&] { return server.subscriber_count(monitor) == 0; }))
            << "the stop subscribe reaches the server";

        server.stop_offer(monitor);
        ASSERT_TRUE(observer.wait_for(2));
        EXPECT_TRUE(client.find(monitor.service_id(), monitor.instance_id()).empty());
        EXPECT_EQ(call(client), return_code::not_available);
    }
    EXPECT_EQ(observer.changes(), (std::vector<bool>{true, false}));
}

TEST(Discovery, ASecondProcessOnTheSameAddressIsRefusedWithWhatToDo) {
    const auto sd = private_discovery();
    Udp_transport first(monitor_deployment(sd, 0x1001, "127.0.0.1"));
    try {
        Udp_transport second(monitor_deployment(sd, 0x1002, "127.0.0.1"));
        FAIL() << "no error";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), EADDRINUSE);
        EXPECT_EQ(std::string(error.what()),
                  "SOME/IP service discovery endpoint 127.0.0.1:" + std::to_string(sd.port) +
                      " is in use by another process; give each process its own unicast address in "
                      "com_deployment.json: Address already in use");
    }
    EXPECT_EQ(first.discovery_port(), sd.port);
}

}  // namespace
}  // namespace rk::com::runtime::someip
