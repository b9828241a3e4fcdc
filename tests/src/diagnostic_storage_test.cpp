// The data identifier service: Read returns the supervision monitor's
// measured values on the wire, Cancel answers empty, the allow-working flag,
// withdrawal by StopWorking and by destruction.
#include "DiagnosticStorage.h"
#include "WardexMonitor.h"
#include "scripted_failure_source.h"
#include "service_fixture.h"

#include "ara/phm/phm_callback_client.h"

#include <atomic>
#include <thread>

namespace wardex_test {
namespace {

using ara::log::LogLevel;
using norda::phm::wardex::DataIdentifier_NumberofECUResetsSkeletonImpl;
using norda::phm::wardex::NotificationType;
using norda::phm::wardex::WardexMonitor;

const Bytes empty_map{0, 0, 0, 0};
// {"tester": "1"}
const Bytes tester_map{0, 0, 0, 15, 0, 0, 0, 6, 't', 'e', 's', 't', 'e', 'r', 0, 0, 0, 1, '1'};
// Read results: no measured values, and the one of "0xABCD".
const Bytes none{0, 0, 0, 1, 0, 0, 0, 0, 0};
const Bytes one{0, 0, 0, 1, 1, 0, 0, 0, 2, 0xAB, 0xCD};

class DataIdentifier : public Service_test {
protected:
    DataIdentifier() { forgetApplications(); }
    ~DataIdentifier() override { forgetApplications(); }

    static void forgetApplications() {
        WardexMonitor::instance().ClearApplications();
        WardexMonitor::instance().calculateMesswert();
    }

    // An application whose every error records its identifier as a measured value.
    void addMeasuring(const std::string& id, const std::string& swid) {
        WardexMonitor::instance().RegisterApplication(phm, id, 100, 0, {NotificationType::kMesswert}, {},
                                                      {id + ".fail"}, swid, 1, 1, "MW");
    }
    void fail(const std::string& id) { phm.Deliver(id + ".fail"); }

    ara::phm::PhmCallbackClient phm{std::unique_ptr<ara::phm::Failure_source>(new Scripted_failure_source)};
    DataIdentifier_NumberofECUResetsSkeletonImpl service{tq::com::runtime::Instance_id("1")};
};

TEST_F(DataIdentifier, ReadReturnsTheMeasuredValuesWhateverTheMetaInformationAndCancelAnswersEmpty) {
    EXPECT_EQ(call(data_identifier_1, 1, empty_map).payload, none);
    addMeasuring("cam", "12");
    addMeasuring("nav", "0x3456");
    fail("cam");
    fail("nav");
    const auto first = call(data_identifier_1, 1, empty_map);
    EXPECT_EQ(first.return_code, 0);
    EXPECT_EQ(first.payload, (Bytes{0, 0, 0, 1, 2, 0, 0, 0, 3, 0x12, 0x34, 0x56}));
    EXPECT_EQ(call(data_identifier_1, 1, tester_map).payload, first.payload);

    const auto cancelled = call(data_identifier_1, 0, tester_map);
    EXPECT_EQ(cancelled.return_code, 0);
    EXPECT_TRUE(cancelled.payload.empty());
}

TEST_F(DataIdentifier, ShortRequestIsRefusedWithoutReachingRead) {
    addMeasuring("cam", "0xABCD");
    fail("cam");
    const auto reply = call(data_identifier_1, 1, Bytes{0, 0});
    EXPECT_EQ(reply.return_code, 0x80);
    EXPECT_TRUE(reply.payload.empty());
    EXPECT_EQ(incidentCount("Method_call_response_tx"), 0u);
}

TEST_F(DataIdentifier, OfferedFromConstructionClearedFlagIsNotConsultedButStopWorkingWithdraws) {
    EXPECT_TRUE(transport->is_offered(data_identifier_1));
    EXPECT_TRUE(service.Read_allow_working_flag());
    service.Write_allow_working_flag(false);
    EXPECT_FALSE(service.Read_allow_working_flag());
    EXPECT_EQ(call(data_identifier_1, 1, empty_map).return_code, 0);

    service.Write_allow_working_flag(true);
    service.StopWorking();
    EXPECT_FALSE(service.Read_allow_working_flag());
    EXPECT_FALSE(transport->is_offered(data_identifier_1));
    EXPECT_EQ(call(data_identifier_1, 1, empty_map).return_code, 0xFF);
}

TEST_F(DataIdentifier, ReadsDuringRecomputationSeeOldOrNewValuesNeverAMixture) {
    addMeasuring("cam", "0xABCD");
    std::atomic<bool> done{false};
    std::thread recomputing([&] {
        while (!done) {
            fail("cam");
            forgetApplications();
            addMeasuring("cam", "0xABCD");
        }
    });
    for (int i = 0; i < 100; ++i) {
        const auto payload = call(data_identifier_1, 1, empty_map).payload;
        EXPECT_TRUE(payload == none || payload == one);
    }
    done = true;
    recomputing.join();
}

TEST(DataIdentifierTeardown, DestructionWithdrawsTheOfferThenSaysGoodbyeAtInfoLevel) {
    ara::log::Capture capture;
    auto transport = std::make_shared<rk::com::runtime::Fake_transport>();
    rk::com::runtime::Component_singleton component(transport);
    {
        DataIdentifier_NumberofECUResetsSkeletonImpl service(tq::com::runtime::Instance_id("1"));
        capture.clear();
    }
    EXPECT_FALSE(transport->is_offered(data_identifier_1));
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text().rfind(R"({"1_incident":{"1_id":"Stop_offer_service")", 0), 0u);
    EXPECT_EQ(records[1].text(), "~DataIdentifier_NumberofECUResetsSkeletonImpl");
    EXPECT_EQ(records[1].level, LogLevel::kInfo);
    EXPECT_EQ(records[1].context, "WDX");
}

}  // namespace
}  // namespace wardex_test
