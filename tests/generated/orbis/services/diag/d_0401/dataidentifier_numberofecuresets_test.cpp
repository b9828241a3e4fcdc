// The data identifier's application error UDSServiceFailed as the generated
// skeleton answers it. Read's result and Cancel are answered through the
// runtime in the service's own tests.
#include "orbis/services/diag/d_0401/dataidentifier_numberofecuresets_common.h"
#include "orbis/services/diag/d_0401/skeleton/dataidentifier_numberofecuresets_skeleton.h"

#include "ara/log/capture.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/fake_transport.h"

#include <gtest/gtest.h>


namespace {

using orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets;
using UDSServiceFailed = DataIdentifier_NumberOfECUResets::UDSServiceFailed;
using Output = DataIdentifier_NumberOfECUResets::Read::Output;
using Bytes = std::vector<std::uint8_t>;
using Meta = std::map<std::string, std::string>;

class Scripted_data_identifier : public orbis::services::diag::d_0401::skeleton::DataIdentifier_NumberOfECUResetsSkeleton {
public:
    Scripted_data_identifier()
        : DataIdentifier_NumberOfECUResetsSkeleton(tq::com::runtime::Instance_id("1"),
                                                   rk::com::cpp_binding::Method_call_processing_mode::kEvent) {}
    ~Scripted_data_identifier() override { StopOfferService(); }

    tq::com::Future<void> Cancel(const Meta&) override { return tq::com::Promise<void>().get_future(); }
    tq::com::Future<Output> Read(const Meta&) override {
        tq::com::Promise<Output> promise;
        promise.set_exception(std::make_exception_ptr(UDSServiceFailed(rk::dm::types::UDSResponseCodeType{0x31})));
        return promise.get_future();
    }
};

TEST(DataIdentifierSkeleton, ReadHoldingUdsServiceFailedAnswersCodeTwoWithItsOneByte) {
    ara::log::Capture capture;
    auto transport = std::make_shared<rk::com::runtime::Fake_transport>();
    rk::com::runtime::Component_singleton component{transport};
    Scripted_data_identifier service;
    service.OfferService();
    const auto reply = transport->deliver_request({tq::com::runtime::Service_id(DataIdentifier_NumberOfECUResets::id()),
                                                   tq::com::runtime::Instance_id("1")},
                                                  DataIdentifier_NumberOfECUResets::Read::id, Bytes{0, 0, 0, 0}, true, 5)
                           ->wait();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->return_code, 2);
    EXPECT_EQ(reply->payload, Bytes{0x31});
    EXPECT_TRUE(capture.wait_for_text(
        R"({"1_incident":{"1_id":"Method_call_response_tx","2_service_id":{"1_id":"Service_id",)"
        R"("string":"orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets"},)"
        R"("3_instance_id":{"1_id":"Instance_id","2_string":"1"},"4_method_id":1,"5_method_call_id":5,)"
        R"("6_error_code":2},"2_data":{"1_string":"Exception: DataIdentifier_NumberOfECUResets::UDSServiceFailed::2"}})"));
}

}  // namespace
