// Shared set-up of the diagnostic service tests: the communication runtime on
// a fake transport (which plays the diagnostic event manager and the tester),
// the log captured, and the DTC monitor singleton dropped again afterwards.
#pragma once

#include "DiagnosticMonitor.h"

#include "ara/log/capture.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/fake_transport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace wardex_test {

using Bytes = std::vector<std::uint8_t>;

inline const rk::com::cpp_binding::Service_info dtc_monitor_479232{
    tq::com::runtime::Service_id("rk::dm::dem::DiagnosticMonitor"), tq::com::runtime::Instance_id("479232")};
inline const rk::com::cpp_binding::Service_info data_identifier_1{
    tq::com::runtime::Service_id("orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets"),
    tq::com::runtime::Instance_id("1")};

class Service_test : public ::testing::Test {
protected:
    Service_test() { norda::phm::wardex::dm_instance.reset(); }
    // The singleton goes while the runtime still lives.
    ~Service_test() override { norda::phm::wardex::dm_instance.reset(); }

    rk::com::runtime::Fake_transport::Reply call(const rk::com::cpp_binding::Service_info& service,
                                                 std::uint16_t method, const Bytes& request) {
        auto reply = transport->deliver_request(service, method, request)->wait();
        EXPECT_TRUE(reply.has_value());
        return reply.value_or(rk::com::runtime::Fake_transport::Reply{0xEE, {}});
    }

    // The payloads of the MonitorAction events sent so far.
    std::vector<Bytes> monitorActions() const {
        std::vector<Bytes> sent;
        for (const auto& event : transport->events()) {
            if (event.service == dtc_monitor_479232 && event.event_id == 0) {
                for (const auto& payload : event.payloads) sent.push_back(payload.payload());
            }
        }
        return sent;
    }

    // The texts of the records of one context and level, in order.
    std::vector<std::string> texts(const std::string& context, ara::log::LogLevel level) const {
        std::vector<std::string> found;
        for (const auto& record : capture.records()) {
            if (record.context == context && record.level == level) found.push_back(record.text());
        }
        return found;
    }

    std::size_t incidentCount(const std::string& name) const {
        std::size_t n = 0;
        for (const auto& text : capture.texts()) {
            if (text.rfind(R"({"1_incident":{"1_id":")" + name + "\"", 0) == 0) ++n;
        }
        return n;
    }

    ara::log::Capture capture;
    std::shared_ptr<rk::com::runtime::Fake_transport> transport =
        std::make_shared<rk::com::runtime::Fake_transport>();
    rk::com::runtime::Component_singleton component{transport};
};

}  // namespace wardex_test
