// The skeleton front class and its events: offer and withdrawal with their
// incidents, refusal of an empty instance, withdrawal waiting for a running
// request, and events that go out only while offered.
#include "calculator.h"

#include <atomic>
#include <future>
#include <thread>

namespace skeleton_test {
namespace {

using Skeleton = Runtime_fixture;
using Strings = std::vector<std::string>;

// A request outside the offer is answered "not available" by the runtime.
TEST_F(Skeleton, ConstructionOfferAndWithdrawalEachWriteTheirIncidentOnceAtInfoLevel) {
    const auto outside_the_offer = [this] {
        const auto reply = transport->deliver_request(calculator_7, Calculator::Store::id, {1})->wait();
        return reply ? reply->return_code : -1;
    };
    {
        Calculator_skeleton skeleton;
        EXPECT_EQ(outside_the_offer(), 0xFF);
        skeleton.OfferService();
        EXPECT_TRUE(transport->is_offered(calculator_7));
        skeleton.StopOfferService();
        EXPECT_FALSE(transport->is_offered(calculator_7));
        EXPECT_EQ(outside_the_offer(), 0xFF);
    }  // the destructor withdraws once more, and logs that once
    EXPECT_EQ(incidents(), (Strings{"info CPRT " + incident("Service_skeleton_constructed",
                                                            R"(,"4_struct4bytes":"1","5_utf8simple":"1"}})"),
                                    "info CPRT " + incident("Offer_service", "}}"),
                                    "info CPRT " + incident("Stop_offer_service", "}}"),
                                    "info CPRT " + incident("Stop_offer_service", "}}")}));
}

TEST_F(Skeleton, EmptyInstanceIsRefusedWithAFatalInstantiationIncident) {
    EXPECT_THROW(Calculator_skeleton skeleton(""), rk::com::Invalid_argument_exception);
    EXPECT_EQ(incidents(), Strings{R"(fatal ARAC {"1_incident":{"1_id":"Service_instantiation_error","2_instance_id":)"
                                   R"({"1_id":"Instance_id","2_string":""}},"2_data":{"1_string":)"
                                   R"("Instance id of a provided service must not be empty"}})"});
}

TEST_F(Skeleton, WithdrawalReturnsOnlyAfterTheRunningRequestHasFinished) {
    Calculator_skeleton skeleton;
    std::promise<void> entered, release;
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
    ASSERT_TRUE(capture.wait_for_text(incident("Stop_offer_service", "}}")));
    release.set_value();
    withdrawing.join();
    EXPECT_FALSE(withdrawn_while_running);
    ASSERT_TRUE(reply->wait().has_value());
    EXPECT_EQ(reply->wait()->return_code, 0);
}

TEST_F(Skeleton, OnlyAnOfferedEventGoesOutAsOneByteAndIsLoggedWithItsValue) {
    Calculator_skeleton skeleton;
    skeleton.Changed.Send(Mood::kAngry);
    skeleton.OfferService();
    skeleton.Changed.Send(Mood::kAngry);
    skeleton.Changed.Send(static_cast<Mood>(2));
    skeleton.StopOfferService();
    skeleton.Changed.Send(Mood::kCalm);
    const auto events = transport->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].service, calculator_7);
    EXPECT_EQ(events[0].event_id, 0);
    ASSERT_EQ(events[0].payloads.size(), 1u);
    EXPECT_EQ(events[0].payloads[0].serialization_type(), 0u);
    EXPECT_EQ(events[0].payloads[0].payload(), (Bytes{1}));
    EXPECT_EQ(events[1].payloads[0].payload(), (Bytes{2}));
    const std::string update = R"(debug CPRT {"1_incident":{"1_id":"Event_update_tx","2_Event_id":0},"2_data":{"1_enum":)";
    EXPECT_EQ(incidents("Event_update_tx"), (Strings{update + "1}}", update + "2}}"}));
}

// Every event that reached the transport was logged and is whole; a send that
// met the withdrawal is logged but dropped by the port.
TEST_F(Skeleton, EventsSentFromSeveralThreadsWhileTheOfferChanges) {
    Calculator_skeleton skeleton;
    skeleton.OfferService();
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) skeleton.Changed.Send(Mood::kCalm);
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 20; ++i) skeleton.StopOfferService(), skeleton.OfferService();
    });
    for (auto& thread : threads) thread.join();
    const auto events = transport->events();
    EXPECT_LE(events.size(), incidents("Event_update_tx").size());
    for (const auto& event : events) EXPECT_EQ(event.payloads.at(0).payload(), Bytes{0});
}

}  // namespace
}  // namespace skeleton_test
