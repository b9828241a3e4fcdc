#include "rk/com/cpp_binding/log/incidents.h"

#include "ara/com/log/incidents.h"
#include "ara/com/logger.h"
#include "ara/log/capture.h"
#include "ara/log/sink.h"
#include "rk/com/cpp_binding/logger.h"
#include "rk/com/json/serialization/detail/serialization_helper.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <tuple>
#include <vector>

namespace {

namespace incidents = rk::com::cpp_binding::log::incidents;
using rk::com::cpp_binding::Service_info;
using rk::com::json::serialization::detail::Serialization_helper;
using tq::com::runtime::Instance_id;
using tq::com::runtime::Service_handle;
using tq::com::runtime::Service_id;
using tq::com::runtime::Service_id_literal;

enum class Verdict : std::uint8_t { kPassed = 0, kFailed = 1 };

struct Read_output {
    std::array<std::uint8_t, 1> count;
    std::vector<std::uint8_t> data;
    template <typename Visitor>
    void visit_fields(Visitor&& visitor) {
        visitor(count);
        visitor(data);
    }
    template <typename Visitor>
    void visit_fields(Visitor&& visitor) const {
        visitor(count);
        visitor(data);
    }
};
static_assert(tq::com::is_generated_type_v<Read_output>);
static_assert(!tq::com::is_generated_type_v<std::vector<std::uint8_t>>);

const Service_info monitor{Service_id("rk::dm::dem::DiagnosticMonitor"), Instance_id("479232")};
const std::string monitor_json =
    R"("2_service_id":{"1_id":"Service_id","string":"rk::dm::dem::DiagnosticMonitor"},)"
    R"("3_instance_id":{"1_id":"Instance_id","2_string":"479232"})";

template <typename Incident, typename... Args>
std::string record(const Incident& incident, const Args&... args) {
    return Serialization_helper().serialize(incident, args...);
}

TEST(IncidentRecord, LifecycleIncidentsWithoutData) {
    const auto options = rk::com::cpp_binding::defaults::compile_options();
    EXPECT_EQ(record(incidents::Service_skeleton_constructed{monitor, options}),
              R"({"1_incident":{"1_id":"Service_skeleton_constructed",)" + monitor_json +
                  R"(,"4_struct4bytes":"1","5_utf8simple":"1"}})");
    EXPECT_EQ(record(incidents::Service_proxy_constructed{monitor, {0xFF, 1}}),
              R"({"1_incident":{"1_id":"Service_proxy_constructed",)" + monitor_json +
                  R"(,"4_struct4bytes":"invalid","5_utf8simple":"1"}})");
    EXPECT_EQ(record(incidents::Offer_service{monitor}),
              R"({"1_incident":{"1_id":"Offer_service",)" + monitor_json + "}}");
    EXPECT_EQ(record(incidents::Stop_offer_service{monitor}),
              R"({"1_incident":{"1_id":"Stop_offer_service",)" + monitor_json + "}}");
    EXPECT_EQ(record(incidents::Event_request_update_err{monitor, 0}),
              R"({"1_incident":{"1_id":"Event_request_update_err",)" + monitor_json +
                  R"(,"4_event_id":0}})");
    EXPECT_EQ(record(incidents::Method_call_request_exception{monitor, 1}),
              R"({"1_incident":{"1_id":"Method_call_request_exception",)" + monitor_json +
                  R"(,"4_method_id":1}})");
}

TEST(IncidentRecord, FrontClassIncidentsUseTheLiteralAndInstanceForms) {
    EXPECT_EQ(record(ara::com::log::incidents::Service_instantiation_error{Instance_id("1")},
                     std::string("Exception: bad instance")),
              R"({"1_incident":{"1_id":"Service_instantiation_error",)"
              R"("2_instance_id":{"1_id":"Instance_id","2_string":"1"}},)"
              R"("2_data":{"1_string":"Exception: bad instance"}})");

    const Service_id_literal literal("tq::ap::statemanager::DSAInterface");
    EXPECT_EQ(literal.size(), 35u);
    const std::vector<Service_handle> none;
    EXPECT_EQ(record(ara::com::log::incidents::Find_service{literal, Instance_id("1")}, none),
              R"({"1_incident":{"1_id":"Find_service",)"
              R"("2_service_id":{"1_id":"Service_id","2_char const*":"tq::ap::statemanager::DSAInterface"},)"
              R"("3_instance_id":{"1_id":"Instance_id","2_string":"1"}},"2_data":{"1_vector":[]}})");

    const std::vector<Service_handle> found{Service_handle(std::make_shared<const tq::com::runtime::Service_instance>(
        tq::com::runtime::Service_instance{Service_id(literal), Instance_id("1")}))};
    EXPECT_EQ(record(ara::com::log::incidents::Find_service{literal, Instance_id("1")}, found),
              R"({"1_incident":{"1_id":"Find_service",)"
              R"("2_service_id":{"1_id":"Service_id","2_char const*":"tq::ap::statemanager::DSAInterface"},)"
              R"("3_instance_id":{"1_id":"Instance_id","2_string":"1"}},"2_data":{"1_vector":[)"
              R"({"1_id":"Service_handle","2_service_id":{"1_id":"Service_id","string":"tq::ap::statemanager::DSAInterface"},)"
              R"("3_instance_id":{"1_id":"Instance_id","2_string":"1"}}]}})");
}

TEST(IncidentRecord, TrafficIncidentsWithTheirData) {
    EXPECT_EQ(record(incidents::Event_update_tx{0}, Verdict::kFailed),
              R"({"1_incident":{"1_id":"Event_update_tx","2_Event_id":0},"2_data":{"1_enum":1}})");
    EXPECT_EQ(record(incidents::Method_call_request_err{monitor, 0, 10}),
              R"({"1_incident":{"1_id":"Method_call_request_err",)" + monitor_json +
                  R"(,"4_method_id":0,"5_error_code":10}})");
    EXPECT_EQ(record(incidents::Method_call_request_err{monitor, 0, 0x86}, "Transport exception"),
              R"({"1_incident":{"1_id":"Method_call_request_err",)" + monitor_json +
                  R"(,"4_method_id":0,"5_error_code":134},"2_data":{"1_string":"Transport exception"}})");
    EXPECT_EQ(record(incidents::Method_call_request_process{monitor, 0, 7}, std::make_tuple(Verdict::kFailed)),
              R"({"1_incident":{"1_id":"Method_call_request_process",)" + monitor_json +
                  R"(,"4_method_id":0,"5_method_call_id":7},"2_data":{"1_undefined_type":[1]}})");
    EXPECT_EQ(record(incidents::Method_call_request_tx{monitor, 0}, std::uint8_t{2}),
              R"({"1_incident":{"1_id":"Method_call_request_tx",)" + monitor_json +
                  R"(,"4_method_id":0},"2_data":{"1_uint8":2}})");
    EXPECT_EQ(record(incidents::Method_call_response_rx{monitor, 1, 0}),
              R"({"1_incident":{"1_id":"Method_call_response_rx",)" + monitor_json +
                  R"(,"4_method_id":1,"5_error_code":0}})");
    EXPECT_EQ(record(incidents::Method_call_response_invalid_code{monitor, 0, 1}, "Transport exception"),
              R"({"1_incident":{"1_id":"Method_call_response_invalid_code",)" + monitor_json +
                  R"(,"4_method_id":0,"5_error_code":1},"2_data":{"1_string":"Transport exception"}})");
    EXPECT_EQ(record(incidents::Method_call_deserializer_exception{monitor, 0, 0x21}, "Read beyond the end of the data buffer"),
              R"({"1_incident":{"1_id":"Method_call_deserializer_exception",)" + monitor_json +
                  R"(,"4_method_id":0,"5_error_code":33},"2_data":{"1_string":"Read beyond the end of the data buffer"}})");
}

TEST(IncidentRecord, GeneratedStructureFieldsAreKeyedInDeclarationOrder) {
    const Read_output output{{2}, {0x41, 0x42}};
    EXPECT_EQ(record(incidents::Method_call_response_tx{monitor, 1, 9, 0}, output),
              R"({"1_incident":{"1_id":"Method_call_response_tx",)" + monitor_json +
                  R"(,"4_method_id":1,"5_method_call_id":9,"6_error_code":0},)"
                  R"("2_data":{"1_generated_type":{"1_array":[2],"2_vector":[65,66]}}})");
}

TEST(IncidentRecord, TwoValuesAreNumberedInOrderAndNonAsciiTextStaysAsIs) {
    EXPECT_EQ(record(incidents::Method_call_request_tx{monitor, 3}, std::string("Grüße"), Verdict::kPassed),
              R"({"1_incident":{"1_id":"Method_call_request_tx",)" + monitor_json +
                  R"(,"4_method_id":3},"2_data":{"1_string":"Grüße","2_enum":0}})");
}

TEST(IncidentRecord, InvalidUtf8GivesTheLibrarysErrorText) {
    const std::string invalid("\xFF");
    std::string library_text;
    try {
        nlohmann::json(invalid).dump();
    } catch (const std::exception& error) {
        library_text = error.what();
    }
    ASSERT_FALSE(library_text.empty());
    EXPECT_EQ(record(incidents::Method_call_request_process{monitor, 0, 1}, invalid), library_text);
}

struct Unencodable {};
[[noreturn]] void to_json(nlohmann::json&, const Unencodable&) { throw std::runtime_error("cannot encode"); }

TEST(IncidentRecord, AFailureWhileBuildingGivesAnEmptyText) {
    EXPECT_EQ(record(incidents::Offer_service{monitor}, Unencodable{}), "");
}

struct Counted {
    static inline int conversions = 0;
};
void to_json(nlohmann::json& j, const Counted&) {
    ++Counted::conversions;
    j = "counted";
}

class IncidentLogger : public ::testing::Test {
protected:
    ara::log::Capture capture;
};

TEST_F(IncidentLogger, WritesTheRecordAtTheIncidentsLevel) {
    rk::com::cpp_binding::logger().trace(incidents::Offer_service{monitor});
    rk::com::cpp_binding::logger().trace(incidents::Method_call_request_exception{monitor, 0});
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].level, ara::log::LogLevel::kInfo);
    EXPECT_EQ(records[0].context, "CBND");
    EXPECT_EQ(records[0].text(), R"({"1_incident":{"1_id":"Offer_service",)" + monitor_json + "}}");
    EXPECT_EQ(records[1].level, ara::log::LogLevel::kFatal);
}

TEST_F(IncidentLogger, DisabledLevelEncodesAndWritesNothing) {
    ara::log::set_default_level(ara::log::LogLevel::kInfo);
    Counted::conversions = 0;
    ara::com::logger().trace(incidents::Method_call_request_process{monitor, 0, 1}, Counted{});
    EXPECT_EQ(Counted::conversions, 0);
    EXPECT_TRUE(capture.records().empty());
    ara::com::logger().trace(incidents::Offer_service{monitor}, Counted{});
    EXPECT_EQ(Counted::conversions, 1);
    EXPECT_EQ(capture.records().size(), 1u);
}

}  // namespace
