// The data identifier's generated types and skeleton: Read's result on the
// wire and in incident records, the lookup of the application error
// UDSServiceFailed, and both methods answered through the runtime.
#include "orbis/services/diag/d_0401/dataidentifier_numberofecuresets_common.h"
#include "orbis/services/diag/d_0401/skeleton/dataidentifier_numberofecuresets_skeleton.h"

#include "ara/log/capture.h"
#include "rk/com/json/serialization/json_serializer.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/fake_transport.h"
#include "rk/com/someip/serialization/serializer.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets;
using UDSServiceFailed = DataIdentifier_NumberOfECUResets::UDSServiceFailed;
using Output = DataIdentifier_NumberOfECUResets::Read::Output;
using Bytes = std::vector<std::uint8_t>;
using Meta = std::map<std::string, std::string>;

Bytes encode_fields(const Output& output) {
    auto bytes = std::make_shared<Bytes>();
    rk::com::someip::serialization::Serializer serializer(bytes);
    output.visit_fields([&](const auto& field) { serializer.serialize(field); });
    return *bytes;
}

TEST(ReadOutput, EncodesCountThenDataEachWithAFourByteLengthAndLogsItsFieldsInOrder) {
    Output output;
    output.count[0] = 2;
    output.data = {0xAB, 0xCD};
    EXPECT_EQ(encode_fields(output), (Bytes{0, 0, 0, 1, 2, 0, 0, 0, 2, 0xAB, 0xCD}));
    // A serializer given the whole structure writes the same bytes.
    auto whole = std::make_shared<Bytes>();
    rk::com::someip::serialization::Serializer(whole).serialize(output);
    EXPECT_EQ(*whole, encode_fields(output));
    EXPECT_EQ(encode_fields(Output{}), (Bytes{0, 0, 0, 1, 0, 0, 0, 0, 0}));

    EXPECT_EQ(rk::com::json::serialization::get_type<Output>(), std::string("generated_type"));
    EXPECT_EQ(rk::com::json::serialization::to_json_value(output).dump(), R"({"1_array":[2],"2_vector":[171,205]})");
}

TEST(UdsServiceFailed, ReadLookupBuildsItFromThePayloadForCodeTwoOnly) {
    const auto found = DataIdentifier_NumberOfECUResets::Read::GetApplicationErrorExceptionPtr(2, Bytes{0x31});
    ASSERT_TRUE(found);
    try {
        std::rethrow_exception(found);
    } catch (const UDSServiceFailed& error) {
        EXPECT_EQ(error.error(), 2);
        EXPECT_EQ(static_cast<int>(error.value()), 0x31);
    }
    for (int code = 0; code <= 0xFF; ++code) {
        if (code == 2) continue;
        EXPECT_FALSE(DataIdentifier_NumberOfECUResets::Read::GetApplicationErrorExceptionPtr(
            static_cast<std::uint8_t>(code), Bytes{0x31}));
    }
    // Without its byte the lookup throws the decoder's error.
    try {
        DataIdentifier_NumberOfECUResets::Read::GetApplicationErrorExceptionPtr(2, Bytes{});
        FAIL() << "no exception";
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "Read beyond the end of the data buffer");
    }
}

class Scripted_data_identifier : public orbis::services::diag::d_0401::skeleton::DataIdentifier_NumberOfECUResetsSkeleton {
public:
    Scripted_data_identifier()
        : DataIdentifier_NumberOfECUResetsSkeleton(tq::com::runtime::Instance_id("1"),
                                                   rk::com::cpp_binding::Method_call_processing_mode::kEvent) {}
    ~Scripted_data_identifier() override { StopOfferService(); }

    tq::com::Future<void> Cancel(const Meta& meta) override {
        cancelled.push_back(meta);
        tq::com::Promise<void> promise;
        promise.set_value();
        return promise.get_future();
    }

    tq::com::Future<Output> Read(const Meta&) override {
        tq::com::Promise<Output> promise;
        promise.set_exception(std::make_exception_ptr(UDSServiceFailed(static_cast<rk::dm::types::UDSResponseCodeType>(0x31))));
        return promise.get_future();
    }

    std::vector<Meta> cancelled;
};

class DataIdentifierSkeleton : public ::testing::Test {
protected:
    DataIdentifierSkeleton() { service.OfferService(); }

    rk::com::runtime::Fake_transport::Reply call(std::uint16_t method, const Bytes& request) {
        auto reply = transport->deliver_request(info, method, request, true, 5)->wait();
        EXPECT_TRUE(reply.has_value());
        return reply.value_or(rk::com::runtime::Fake_transport::Reply{0xEE, {}});
    }

    ara::log::Capture capture;
    std::shared_ptr<rk::com::runtime::Fake_transport> transport = std::make_shared<rk::com::runtime::Fake_transport>();
    rk::com::runtime::Component_singleton component{transport};
    const rk::com::cpp_binding::Service_info info{tq::com::runtime::Service_id(DataIdentifier_NumberOfECUResets::id()),
                                                  tq::com::runtime::Instance_id("1")};
    Scripted_data_identifier service;
};

TEST_F(DataIdentifierSkeleton, ReadHoldingUdsServiceFailedAnswersCodeTwoWithItsOneByte) {
    const auto reply = call(DataIdentifier_NumberOfECUResets::Read::id, Bytes{0, 0, 0, 0});
    EXPECT_EQ(reply.return_code, 2);
    EXPECT_EQ(reply.payload, Bytes{0x31});
    EXPECT_TRUE(capture.wait_for_text(
        R"({"1_incident":{"1_id":"Method_call_response_tx","2_service_id":{"1_id":"Service_id",)"
        R"("string":"orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets"},)"
        R"("3_instance_id":{"1_id":"Instance_id","2_string":"1"},"4_method_id":1,"5_method_call_id":5,)"
        R"("6_error_code":2},"2_data":{"1_string":"Exception: DataIdentifier_NumberOfECUResets::UDSServiceFailed::2"}})"));
}

TEST_F(DataIdentifierSkeleton, CancelDecodesTheMapAndRepliesEmpty) {
    // {"id": "9"}: 4-byte length 11, then key and value each with their own length.
    const auto reply = call(DataIdentifier_NumberOfECUResets::Cancel::id,
                            Bytes{0, 0, 0, 11, 0, 0, 0, 2, 'i', 'd', 0, 0, 0, 1, '9'});
    EXPECT_EQ(reply.return_code, 0);
    EXPECT_TRUE(reply.payload.empty());
    service.StopOfferService();
    EXPECT_EQ(service.cancelled, (std::vector<Meta>{{{"id", "9"}}}));
}

}  // namespace
