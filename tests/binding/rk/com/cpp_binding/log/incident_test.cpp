#include "rk/com/cpp_binding/log/incidents.h"

#include "ara/com/logger.h"
#include "ara/log/capture.h"
#include "ara/log/sink.h"
#include "rk/com/json/serialization/detail/serialization_helper.h"
#include "rk/com/log/trace.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

namespace incidents = rk::com::cpp_binding::log::incidents;
using rk::com::cpp_binding::Service_info;
using rk::com::json::serialization::detail::Serialization_helper;
using tq::com::runtime::Instance_id;
using tq::com::runtime::Service_id;

enum class Verdict : std::uint8_t { kPassed = 0, kFailed = 1 };

const Service_info monitor{Service_id("rk::dm::dem::DiagnosticMonitor"), Instance_id("479232")};
const std::string monitor_json =
    R"("2_service_id":{"1_id":"Service_id","string":"rk::dm::dem::DiagnosticMonitor"},)"
    R"("3_instance_id":{"1_id":"Instance_id","2_string":"479232"})";

template <typename Incident, typename... Args>
std::string record(const Incident& incident, const Args&... args) {
    return Serialization_helper().serialize(incident, args...);
}

// The records written through the proxy and skeleton are checked where they
// arise; these are the forms no flow there reaches.
TEST(IncidentRecord, UnknownOptionsValueTypesAndNumberingOfSeveralValues) {
    EXPECT_EQ(record(incidents::Service_proxy_constructed{monitor, {0xFF, 1}}),
              R"({"1_incident":{"1_id":"Service_proxy_constructed",)" + monitor_json +
                  R"(,"4_struct4bytes":"invalid","5_utf8simple":"1"}})");
    EXPECT_EQ(record(incidents::Method_call_request_tx{monitor, 0}, std::uint8_t{2}),
              R"({"1_incident":{"1_id":"Method_call_request_tx",)" + monitor_json +
                  R"(,"4_method_id":0},"2_data":{"1_uint8":2}})");
    EXPECT_EQ(record(incidents::Method_call_request_tx{monitor, 3}, std::string("Grüße"), Verdict::kPassed),
              R"({"1_incident":{"1_id":"Method_call_request_tx",)" + monitor_json +
                  R"(,"4_method_id":3},"2_data":{"1_string":"Grüße","2_enum":0}})");
}

struct Unencodable {};
[[noreturn]] void to_json(nlohmann::json&, const Unencodable&) { throw std::runtime_error("cannot encode"); }

// Text that is not UTF-8 gives the JSON library's error text; any other
// failure while building gives an empty text.
TEST(IncidentRecord, UnencodableValuesGiveTheLibrarysErrorTextOrNothing) {
    std::string library_text;
    try {
        nlohmann::json(std::string("\xFF")).dump();
    } catch (const std::exception& error) {
        library_text = error.what();
    }
    ASSERT_FALSE(library_text.empty());
    EXPECT_EQ(record(incidents::Method_call_request_process{monitor, 0, 1}, std::string("\xFF")), library_text);
    EXPECT_EQ(record(incidents::Offer_service{monitor}, Unencodable{}), "");
}

struct Counted {
    static inline int conversions = 0;
};
void to_json(nlohmann::json& j, const Counted&) { j = ++Counted::conversions; }

TEST(IncidentLogger, DisabledLevelEncodesAndWritesNothing) {
    ara::log::Capture capture;
    ara::log::set_default_level(ara::log::LogLevel::kInfo);
    Counted::conversions = 0;
    rk::com::log::trace(ara::com::logger(), incidents::Method_call_request_process{monitor, 0, 1},
                        Counted{});
    EXPECT_EQ(Counted::conversions, 0);
    EXPECT_TRUE(capture.records().empty());
    rk::com::log::trace(ara::com::logger(), incidents::Offer_service{monitor}, Counted{});
    EXPECT_EQ(Counted::conversions, 1);
    EXPECT_EQ(capture.records().size(), 1u);
}

}  // namespace
