// The skeleton front class: construction, offer and withdrawal with their
// incidents, refusal of an unusable instance, and withdrawal waiting for the
// requests still running.
#include "calculator.h"

#include <atomic>
#include <future>
#include <thread>

namespace skeleton_test {
namespace {

using ara::log::LogLevel;

using Lifecycle = Runtime_fixture;

// A request outside the offer is answered "not available" by the runtime and
// never reaches the (unset) handler.
TEST_F(Lifecycle, ConstructionOfferAndWithdrawalEachWriteTheirIncidentOnceAtInfoLevel) {
    const auto outside_the_offer = [this] {
        const auto reply = transport->deliver_request(calculator_7, Calculator::Store::id, {1})->wait();
        return reply ? reply->return_code : -1;
    };
    {
        Calculator_skeleton skeleton;
        EXPECT_FALSE(transport->is_offered(calculator_7));
        EXPECT_EQ(outside_the_offer(), 0xFF);
        skeleton.OfferService();
        EXPECT_TRUE(transport->is_offered(calculator_7));
        skeleton.StopOfferService();
        EXPECT_FALSE(transport->is_offered(calculator_7));
        EXPECT_EQ(outside_the_offer(), 0xFF);
    }  // the destructor withdraws once more, and logs that once
    const auto records = incidents();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].text(), R"({"1_incident":{"1_id":"Service_skeleton_constructed",)" + service_json +
                                     R"(,"4_struct4bytes":"1","5_utf8simple":"1"}})");
    EXPECT_EQ(records[1].text(), R"({"1_incident":{"1_id":"Offer_service",)" + service_json + "}}");
    EXPECT_EQ(records[2].text(), R"({"1_incident":{"1_id":"Stop_offer_service",)" + service_json + "}}");
    EXPECT_EQ(records[3].text(), records[2].text());
    for (const auto& record : records) {
        EXPECT_EQ(record.level, LogLevel::kInfo);
        EXPECT_EQ(record.context, "CPRT");
    }
}

TEST_F(Lifecycle, EmptyInstanceIsRefusedWithAFatalInstantiationIncident) {
    EXPECT_THROW(Calculator_skeleton skeleton(""), rk::com::Invalid_argument_exception);
    const auto records = incidents("Service_instantiation_error");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, LogLevel::kFatal);
    EXPECT_EQ(records[0].context, "ARAC");
    EXPECT_EQ(records[0].text(),
              R"({"1_incident":{"1_id":"Service_instantiation_error","2_instance_id":{"1_id":"Instance_id",)"
              R"("2_string":""}},"2_data":{"1_string":"Instance id of a provided service must not be empty"}})");
    EXPECT_TRUE(incidents("Service_skeleton_constructed").empty());
}

TEST(LifecycleWithoutRuntime, OtherConstructionFailuresPassWithoutAnIncident) {
    ara::log::Capture capture;
    EXPECT_THROW(Calculator_skeleton skeleton, std::logic_error);
    EXPECT_TRUE(capture.records().empty());
}

TEST_F(Lifecycle, WithdrawalReturnsOnlyAfterTheRunningRequestHasFinished) {
    Calculator_skeleton skeleton;
    std::promise<void> entered;
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<bool> withdrawn{false};
    bool withdrawn_while_running = true;
    skeleton.store_handler = [&](std::uint8_t) {
        entered.set_value();
        released.wait();
        withdrawn_while_running = withdrawn.load();
        return ready();
    };
    skeleton.OfferService();
    auto reply = transport->deliver_request(calculator_7, Calculator::Store::id, {5});
    entered.get_future().wait();

    std::thread withdrawing([&] {
        skeleton.StopOfferService();
        withdrawn = true;
    });
    // The port is withdrawn first; then the dispatcher waits for the handler.
    ASSERT_TRUE(capture.wait_for_text(R"({"1_incident":{"1_id":"Stop_offer_service",)" + service_json + "}}"));
    release.set_value();
    withdrawing.join();

    EXPECT_FALSE(withdrawn_while_running);
    ASSERT_TRUE(reply->wait().has_value());
    EXPECT_EQ(reply->wait()->return_code, 0);
}

TEST_F(Lifecycle, ParallelRequestsEachGetTheirOwnAnswer) {
    Calculator_skeleton skeleton;
    skeleton.lookup_handler = [](const Meta& meta) {
        Summary summary;
        summary.count[0] = static_cast<std::uint8_t>(meta.size());
        const std::string& value = meta.begin()->second;
        summary.data.assign(value.begin(), value.end());
        return ready(summary);
    };
    skeleton.OfferService();
    std::vector<std::shared_ptr<const rk::com::runtime::Fake_transport::Reply_slot>> replies;
    for (std::uint8_t i = 0; i < 40; ++i) {
        // One entry: key "k", value the single character 'A' + i.
        Bytes request{0, 0, 0, 10, 0, 0, 0, 1, 'k', 0, 0, 0, 1, static_cast<std::uint8_t>('A' + i)};
        replies.push_back(transport->deliver_request(calculator_7, Calculator::Lookup::id, request, true,
                                                     static_cast<std::uint16_t>(100 + i)));
    }
    for (std::uint8_t i = 0; i < 40; ++i) {
        const auto reply = replies[i]->wait();
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->return_code, 0);
        EXPECT_EQ(reply->payload, (Bytes{0, 0, 0, 1, 1, 0, 0, 0, 1, static_cast<std::uint8_t>('A' + i)}));
    }
    EXPECT_EQ(incidents("Method_call_response_tx").size(), 40u);
}

}  // namespace
}  // namespace skeleton_test
