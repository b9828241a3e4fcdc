#include "rk/com/cpp_binding/log/incidents.h"

#include "ara/com/logger.h"
#include "ara/log/capture.h"
#include "ara/log/sink.h"
#include "rk/com/cpp_binding/to_string.h"
#include "rk/com/json/serialization/detail/serialization_helper.h"
#include "rk/com/log/trace.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace incidents = rk::com::cpp_binding::log::incidents;
using rk::com::json::serialization::detail::Serialization_helper;

enum class Verdict : std::uint8_t { kPassed = 0, kFailed = 1 };

const rk::com::cpp_binding::Service_info monitor{tq::com::runtime::Service_id("rk::dm::dem::DiagnosticMonitor"),
                                                 tq::com::runtime::Instance_id("479232")};
const std::string monitor_json =
    R"("2_service_id":{"1_id":"Service_id","string":"rk::dm::dem::DiagnosticMonitor"},)"
    R"("3_instance_id":{"1_id":"Instance_id","2_string":"479232"})";

// The records written through the proxy and skeleton are checked where they
// arise; these are the forms no flow there reaches.
TEST(IncidentRecord, UnknownOptionsValueTypesAndNumberingOfSeveralValues) {
    Serialization_helper helper;
    EXPECT_EQ(helper.serialize(incidents::Service_proxy_constructed{monitor, {0xFF, 1}}),
              R"({"1_incident":{"1_id":"Service_proxy_constructed",)" + monitor_json +
                  R"(,"4_struct4bytes":"invalid","5_utf8simple":"1"}})");
    EXPECT_EQ(helper.serialize(incidents::Method_call_request_tx{monitor, 3}, std::string("Grüße"), std::uint8_t{2},
                               Verdict::kPassed),
              R"({"1_incident":{"1_id":"Method_call_request_tx",)" + monitor_json +
                  R"(,"4_method_id":3},"2_data":{"1_string":"Grüße","2_uint8":2,"3_enum":0}})");
}

struct Silent : std::exception {
    const char* what() const noexcept override { return nullptr; }
};
struct Counted {
    static inline int conversions = 0;
};
void to_json(nlohmann::json& j, const Counted&) { j = ++Counted::conversions; }

// A disabled level neither encodes nor writes; an exception without text is
// still written.
TEST(IncidentLogger, DisabledLevelEncodesAndWritesNothing) {
    ara::log::Capture capture;
    ara::log::set_default_level(ara::log::LogLevel::kInfo);
    rk::com::log::trace(ara::com::logger(), incidents::Method_call_request_process{monitor, 0, 1}, Counted{});
    EXPECT_EQ(Counted::conversions, 0);
    EXPECT_TRUE(capture.records().empty());
    rk::com::log::trace(ara::com::logger(), incidents::Offer_service{monitor}, Counted{});
    EXPECT_EQ(Counted::conversions, 1);
    EXPECT_EQ(capture.records().size(), 1u);
    EXPECT_EQ(rk::com::cpp_binding::to_string(Silent{}), "Exception: what() returned null ptr");
}

}  // namespace
