#include "adaptive-sim/state_manager.h"

#include "adaptive-sim/event_output.h"
#include "adaptive-sim/someip_client.h"

#include <string>

namespace adaptive_sim {
namespace {

using namespace rk::com::runtime;
using tq::com::runtime::Serialized_payload;

const rk::com::cpp_binding::Service_info kDsaInterface{tq::com::runtime::Service_id("tq::ap::statemanager::DSAInterface"),
                                              tq::com::runtime::Instance_id("1")};

class Restart_requests final : public Request_handler {
public:
    void on_request(std::uint16_t method_id, std::uint16_t, Serialized_payload request, Reply_function reply) override {
        if (method_id != 0) {
            if (reply) reply(return_code::rejected, Serialized_payload());
            return;
        }
        const auto bytes = request.payload();
        if (bytes.empty()) {
            print_complaint("sm", "RequestRestart without restart identifier");
            if (reply) reply(return_code::request_failed, Serialized_payload());
            return;
        }
        print_event("sm", "restart-request " + std::to_string(bytes[0]));
        if (reply) reply(return_code::ok, Serialized_payload(Serialized_payload::someip, std::make_shared<std::vector<std::uint8_t>>()));
    }
};

}  // namespace

State_manager::State_manager() : transport_(platform_transport()) {
    transport_->offer(kDsaInterface, {0, 1}, std::make_shared<Restart_requests>());
    if (!transport_->bound_port(kDsaInterface)) {
        print_complaint("sm", "the DSAInterface endpoint cannot be bound; restart requests will not arrive");
    }
}

State_manager::~State_manager() { transport_->stop_offer(kDsaInterface); }

}  // namespace adaptive_sim
