// Service discovery between two transports on loopback, through a multicast
// group and port of their own.
#include "rk/com/runtime/someip/udp_transport.h"
#include "support/private_discovery.h"

#include <gtest/gtest.h>

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

// Whether a state is reached; looked at every few milliseconds for a generous while.
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
    // What the client hears; shared with its handlers, which may run until it goes.
    struct Heard {
        std::mutex mutex;
        std::vector<bool> changes;
        Bytes events;
    };
    const auto heard = std::make_shared<Heard>();
    const auto seen = [heard](std::size_t changes, std::size_t events) {
        return eventually([&] {
            std::lock_guard<std::mutex> lock(heard->mutex);
            return heard->changes.size() >= changes && heard->events.size() >= events;
        });
    };
    const auto sd = private_discovery();
    Udp_transport client(monitor_deployment(sd, 0x1001, "127.0.0.5"));
    client.set_availability_handler([heard](const Service_info& service, bool available) {
        std::lock_guard<std::mutex> lock(heard->mutex);
        if (service == monitor) heard->changes.push_back(available);
    });
    EXPECT_TRUE(client.find(monitor.service_id(), monitor.instance_id()).empty()) << "nothing offered yet";
    EXPECT_EQ(call(client), return_code::not_available);
    const auto subscription = client.subscribe(monitor, 0, [heard](const Serialized_payload& payload) {
        std::lock_guard<std::mutex> lock(heard->mutex);
        for (auto byte : payload.payload()) heard->events.push_back(byte);
    });
    {
        Udp_transport server(monitor_deployment(sd, 0x1002, "127.0.0.1"));
        server.offer(monitor, {1, 1}, std::make_shared<Echo_provider>());
        ASSERT_TRUE(seen(1, 0));
        EXPECT_TRUE(client.is_available(monitor));
        EXPECT_EQ(call(client), return_code::ok);

        // The subscription follows the offer; events arrive in the order sent.
        ASSERT_TRUE(eventually([&] { return server.subscriber_count(monitor) == 1; }));
        const Bytes sent = {1, 0, 0, 1, 0};
        for (auto verdict : sent) server.send_event(monitor, 0, {payload_of({verdict})});
        ASSERT_TRUE(seen(1, sent.size()));
        client.unsubscribe(subscription);
        EXPECT_TRUE(eventually([&] { return server.subscriber_count(monitor) == 0; }))
            << "the stop subscribe reaches the server";

        server.stop_offer(monitor);
        ASSERT_TRUE(seen(2, 0));
        EXPECT_TRUE(client.find(monitor.service_id(), monitor.instance_id()).empty());
        EXPECT_EQ(call(client), return_code::not_available);
    }
    std::lock_guard<std::mutex> lock(heard->mutex);
    EXPECT_EQ(heard->events, (Bytes{1, 0, 0, 1, 0}));
    EXPECT_EQ(heard->changes, (std::vector<bool>{true, false}));
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
