// Provided events: sent only once the runtime asked for SOME/IP, one byte per
// value, logged as Event_update_tx; update requests without a callback.
#include "calculator.h"

#include <thread>

namespace skeleton_test {
namespace {

using ara::log::LogLevel;

using Events = Runtime_fixture;

TEST_F(Events, OnlyAnOfferedEventGoesOutAsOneByteAndIsLoggedWithItsValue) {
    Calculator_skeleton skeleton;
    capture.clear();
    skeleton.Changed.Send(Mood::kAngry);
    EXPECT_TRUE(transport->events().empty());
    EXPECT_TRUE(incidents().empty());

    skeleton.OfferService();
    capture.clear();
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

    const auto records = incidents("Event_update_tx");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].level, LogLevel::kDebug);
    EXPECT_EQ(records[0].text(), R"({"1_incident":{"1_id":"Event_update_tx","2_Event_id":0},"2_data":{"1_enum":1}})");
    EXPECT_EQ(records[1].text(), R"({"1_incident":{"1_id":"Event_update_tx","2_Event_id":0},"2_data":{"1_enum":2}})");
}

TEST_F(Events, SendsFromSeveralThreadsWhileTheOfferChanges) {
    Calculator_skeleton skeleton;
    skeleton.OfferService();
    std::vector<std::thread> senders;
    for (int t = 0; t < 3; ++t) {
        senders.emplace_back([&] {
            for (int i = 0; i < 100; ++i) skeleton.Changed.Send(Mood::kCalm);
        });
    }
    std::thread toggling([&] {
        for (int i = 0; i < 20; ++i) {
            skeleton.StopOfferService();
            skeleton.OfferService();
        }
    });
    for (auto& sender : senders) sender.join();
    toggling.join();
    // Every event that reached the transport was logged and is whole; a send
    // that met the withdrawal is logged but dropped by the port.
    const auto events = transport->events();
    EXPECT_LE(events.size(), incidents("Event_update_tx").size());
    for (const auto& event : events) EXPECT_EQ(event.payloads.at(0).payload(), Bytes{0});
}

TEST_F(Events, UpdateRequestWithoutCallbackIsAnErrorOfTheBinding) {
    rk::com::cpp_binding::skeleton::Pport port(tq::com::runtime::Service_id("test::Calculator"),
                                               tq::com::runtime::Instance_id("7"), Calculator::description());
    rk::com::cpp_binding::skeleton::Event_impl<Calculator::Changed> event(port);
    event.request_event_update();
    const auto records = incidents("Event_request_update_err");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, LogLevel::kError);
    EXPECT_EQ(records[0].context, "CBND");
    EXPECT_EQ(records[0].text(), R"({"1_incident":{"1_id":"Event_request_update_err",)" + service_json +
                                     R"(,"4_event_id":0}})");

    int updates = 0;
    event.set_update_callback([&] { ++updates; });
    event.request_event_update();
    EXPECT_EQ(updates, 1);
    EXPECT_EQ(incidents("Event_request_update_err").size(), 1u);
}

}  // namespace
}  // namespace skeleton_test
