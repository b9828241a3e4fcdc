// The state-manager client over SOME/IP with service discovery: a second
// transport plays the state manager's process, with a discovery port and
// group of this test's own. The search finds it only once it offers, a call
// reaches it, and after its stop offer a call fails at once.
#include "DSAInterfaceImpl.h"

#include "rk/com/infrastructure_exception.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/local_transport.h"
#include "rk/com/runtime/someip/udp_transport.h"
#include "support/private_discovery.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace norda::phm::wardex {
namespace {

using namespace rk::com::runtime;
using rk::com::cpp_binding::Service_info;
using tq::com::runtime::Instance_id;
using tq::com::runtime::Serialized_payload;
using tq::com::runtime::Service_id;
using tq::ap::statemanager::proxy::DSAInterfaceProxy;

// Each process its own address, as on two ECUs.
someip::Deployment private_deployment(std::uint16_t client_id, const std::string& unicast) {
    auto deployment = someip::default_deployment();
    deployment.client_id = client_id;
    deployment.unicast = unicast;
    const auto sd = test_support::private_discovery(81);
    deployment.service_discovery.port = sd.port;
    deployment.service_discovery.multicast = sd.multicast;
    for (auto& service : deployment.services) {
        for (auto& instance : service.instances) {
            instance.address = unicast;
            instance.port = 0;
        }
    }
    return deployment;
}

class Counting_state_manager final : public Request_handler {
public:
    void on_request(std::uint16_t, std::uint16_t, Serialized_payload request, Reply_function reply) override {
        const auto bytes = request.payload();
        if (!bytes.empty()) last_id = bytes[0];
        ++requests;
        if (reply) reply(return_code::ok, Serialized_payload(Serialized_payload::someip,
                                                             std::make_shared<std::vector<std::uint8_t>>()));
    }
    std::atomic<int> requests{0};
    std::atomic<int> last_id{-1};
};

template <typename Predicate>
bool eventually(Predicate predicate) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(StateManagerDiscovery, FoundOnlyWhileOfferedAndCallsFailAfterTheStopOffer) {
    Component_singleton component{std::make_shared<Local_transport>(
        std::make_shared<someip::Udp_transport>(private_deployment(0x5744, "127.0.0.1")))};
    someip::Udp_transport state_manager_process(private_deployment(0x7E57, "127.0.0.2"));
    const Service_info dsa{Service_id(tq::ap::statemanager::DSAInterface::id()), Instance_id("1")};
    auto state_manager = std::make_shared<Counting_state_manager>();

    EXPECT_TRUE(DSAInterfaceProxy::FindService(Instance_id("1")).empty()) << "nothing offered yet";

    // The search pauses until the state manager offers; it offers during the first pause.
    int pauses = 0;
    DSAInterfaceImpl client(Instance_id("1"), [&](std::chrono::milliseconds) {
        if (++pauses == 1) state_manager_process.offer(dsa, {0, 1}, state_manager);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    EXPECT_GE(pauses, 1);
    EXPECT_TRUE(client.RequestRestart(7));
    ASSERT_TRUE(eventually([&] { return state_manager->requests.load() == 1; }));
    EXPECT_EQ(state_manager->last_id.load(), 7);

    const auto handles = DSAInterfaceProxy::FindService(Instance_id("1"));
    ASSERT_EQ(handles.size(), 1u);
    DSAInterfaceProxy proxy(handles.front());
    state_manager_process.stop_offer(dsa);
    ASSERT_TRUE(eventually([&] { return DSAInterfaceProxy::FindService(Instance_id("1")).empty(); }));
    EXPECT_THROW(proxy.RequestRestart(7), rk::com::Service_not_available_exception);
    EXPECT_FALSE(client.RequestRestart(8));
    EXPECT_EQ(state_manager->requests.load(), 1);
}

}  // namespace
}  // namespace norda::phm::wardex
