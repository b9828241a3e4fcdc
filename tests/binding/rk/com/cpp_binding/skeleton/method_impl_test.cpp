// Handling of one request: decoding, the handler, the result step, the reply
// bytes and return codes, and the incident records of each path.
#include "calculator.h"

#include <functional>
#include <stdexcept>
#include <thread>

namespace skeleton_test {
namespace {

using ara::log::LogLevel;
using rk::com::runtime::Fake_transport;

// Store with the value 7 and Lookup with {"a": "b"}, as they come on the wire.
const Bytes store_7{7};
const Bytes lookup_a_b{0, 0, 0, 10, 0, 0, 0, 1, 'a', 0, 0, 0, 1, 'b'};

class Requests : public Runtime_fixture {
protected:
    Requests() {
        skeleton.store_handler = [this](std::uint8_t value) {
            stored.push_back(value);
            return ready();
        };
        skeleton.OfferService();
    }

    Fake_transport::Reply call(std::uint16_t method, const Bytes& request, std::uint16_t call_id = 9) {
        auto slot = transport->deliver_request(calculator_7, method, request, true, call_id);
        auto reply = slot->wait();
        EXPECT_TRUE(reply.has_value());
        return reply.value_or(Fake_transport::Reply{0xEE, {}});
    }

    std::string process_text(const std::string& data) const {
        return R"({"1_incident":{"1_id":"Method_call_request_process",)" + service_json +
               R"(,"4_method_id":1,"5_method_call_id":9},"2_data":)" + data + "}";
    }

    std::vector<std::uint8_t> stored;
    Calculator_skeleton skeleton;
};

TEST_F(Requests, ResultIsEncodedFieldByFieldAndLoggedAsAGeneratedType) {
    Meta seen;
    skeleton.lookup_handler = [&](const Meta& meta) {
        seen = meta;
        Summary summary;
        summary.count[0] = 2;
        summary.data = {0xAB, 0xCD};
        return ready(summary);
    };
    const auto reply = call(Calculator::Lookup::id, lookup_a_b);

    EXPECT_EQ(reply.return_code, 0);
    EXPECT_EQ(reply.payload, (Bytes{0, 0, 0, 1, 2, 0, 0, 0, 2, 0xAB, 0xCD}));
    EXPECT_EQ(seen, (Meta{{"a", "b"}}));

    const auto process = incidents("Method_call_request_process");
    ASSERT_EQ(process.size(), 1u);
    EXPECT_EQ(process[0].level, LogLevel::kVerbose);
    EXPECT_EQ(process[0].text(), process_text(R"({"1_undefined_type":[{"a":"b"}]})"));
    const auto response = incidents("Method_call_response_tx");
    ASSERT_EQ(response.size(), 1u);
    EXPECT_EQ(response[0].level, LogLevel::kDebug);
    EXPECT_EQ(response[0].text(), R"({"1_incident":{"1_id":"Method_call_response_tx",)" + service_json +
                                      R"(,"4_method_id":1,"5_method_call_id":9,"6_error_code":0},)"
                                      R"("2_data":{"1_generated_type":{"1_array":[2],"2_vector":[171,205]}}})");
}

TEST_F(Requests, MethodWithoutResultRepliesEmptyAndLogsNoData) {
    const auto reply = call(Calculator::Store::id, store_7, 3);
    EXPECT_EQ(reply.return_code, 0);
    EXPECT_TRUE(reply.payload.empty());
    EXPECT_EQ(stored, (std::vector<std::uint8_t>{7}));
    const auto response = incidents("Method_call_response_tx");
    ASSERT_EQ(response.size(), 1u);
    EXPECT_EQ(response[0].text(), R"({"1_incident":{"1_id":"Method_call_response_tx",)" + service_json +
                                      R"(,"4_method_id":0,"5_method_call_id":3,"6_error_code":0}})");
    const auto process = incidents("Method_call_request_process");
    ASSERT_EQ(process.size(), 1u);
    EXPECT_NE(process[0].text().find(R"("2_data":{"1_undefined_type":[7]})"), std::string::npos);
}

TEST_F(Requests, PayloadTooShortForTheMapFailsWithTheDecodersTextAndSkipsTheHandler) {
    bool called = false;
    skeleton.lookup_handler = [&](const Meta&) {
        called = true;
        return ready(Summary{});
    };
    // Half a length field, then an entry whose key runs past the end.
    for (const Bytes& request : {Bytes{0, 0}, Bytes{0, 0, 0, 8, 0, 0, 0, 9, 'a', 'b', 'c', 'd'}}) {
        capture.clear();
        const auto reply = call(Calculator::Lookup::id, request);
        EXPECT_EQ(reply.return_code, 0x80);
        EXPECT_TRUE(reply.payload.empty());
        const auto process = incidents("Method_call_request_process");
        ASSERT_EQ(process.size(), 1u);
        EXPECT_EQ(process[0].level, LogLevel::kVerbose);
        EXPECT_EQ(process[0].text(), process_text(R"({"1_string":"Read beyond the end of the data buffer"})"));
        EXPECT_TRUE(incidents("Method_call_request_exception").empty());
        EXPECT_TRUE(incidents("Method_call_response_tx").empty());
    }
    EXPECT_FALSE(called);
}

TEST_F(Requests, RequestWithoutReplyFunctionIsDroppedWithErrorCodeTen) {
    auto slot = transport->deliver_request(calculator_7, Calculator::Store::id, store_7, false);
    // Withdrawing waits for the request, so everything it did is visible now.
    skeleton.StopOfferService();
    EXPECT_FALSE(slot->answered());
    EXPECT_TRUE(stored.empty());
    const auto errors = incidents("Method_call_request_err");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].level, LogLevel::kError);
    EXPECT_EQ(errors[0].text(), R"({"1_incident":{"1_id":"Method_call_request_err",)" + service_json +
                                    R"(,"4_method_id":0,"5_error_code":10}})");
    EXPECT_TRUE(incidents("Method_call_request_process").empty());
}

TEST_F(Requests, ThrowingHandlerLogsTheExceptionThenTheTextAndAnswersRequestFailed) {
    skeleton.lookup_handler = [](const Meta&) -> tq::com::Future<Summary> {
        throw std::runtime_error("no table");
    };
    capture.clear();
    const auto reply = call(Calculator::Lookup::id, lookup_a_b);
    EXPECT_EQ(reply.return_code, 0x80);
    EXPECT_TRUE(reply.payload.empty());

    const auto records = incidents();
    // Process (arguments), exception, process (text); nothing else.
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].text(), process_text(R"({"1_undefined_type":[{"a":"b"}]})"));
    EXPECT_EQ(records[1].level, LogLevel::kFatal);
    EXPECT_EQ(records[1].text(), R"({"1_incident":{"1_id":"Method_call_request_exception",)" + service_json +
                                     R"(,"4_method_id":1}})");
    EXPECT_EQ(records[2].text(), process_text(R"({"1_string":"no table"})"));
}

TEST_F(Requests, OtherFailuresOfTheResultStillAnswerRequestFailedAndWarnOncePerCause) {
    using Handler = std::function<tq::com::Future<Summary>(const Meta&)>;
    const std::vector<std::pair<Handler, const char*>> cases{
        {[](const Meta&) { return failed<Summary>(std::make_exception_ptr(std::length_error("table too long"))); },
         R"({"1_string":"table too long"})"},
        {[](const Meta&) { return tq::com::Promise<Summary>().get_future(); }, nullptr},
        {[](const Meta&) { return failed<Summary>(std::make_exception_ptr(42)); }, nullptr},
        {[](const Meta&) -> tq::com::Future<Summary> { throw 42; }, nullptr},
    };
    std::vector<std::string> warnings;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        capture.clear();
        skeleton.lookup_handler = cases[i].first;
        for (int request = 0; request < 2; ++request) {
            const auto reply = call(Calculator::Lookup::id, lookup_a_b);
            EXPECT_EQ(reply.return_code, 0x80);
            EXPECT_TRUE(reply.payload.empty());
        }
        EXPECT_TRUE(incidents("Method_call_response_tx").empty());
        for (const auto& record : capture.records()) {
            if (record.level == LogLevel::kWarn) warnings.push_back(record.context + ": " + record.text());
        }
        if (cases[i].second == nullptr) continue;
        const auto process = incidents("Method_call_request_process");
        ASSERT_EQ(process.size(), 4u);
        EXPECT_EQ(process[1].text(), process_text(cases[i].second));
        EXPECT_TRUE(incidents("Method_call_request_exception").empty());
    }
    // One per cause, however many requests fail for it; the result step and
    // the handler that threw share "Unknown exception".
    const std::string prefix = "CPRT: Method 1 of test::Calculator 7 answered 0x80 (request failed): ";
    EXPECT_EQ(warnings, (std::vector<std::string>{prefix + "table too long",
                                                  prefix + "std::future_error: Broken promise",
                                                  prefix + "Unknown exception"}));
}

TEST_F(Requests, ResultCompletedLaterIsAnsweredFromTheCompletingThread) {
    auto pending = std::make_shared<tq::com::Promise<Summary>>();
    std::promise<void> handed_out;
    skeleton.lookup_handler = [&](const Meta&) {
        auto future = pending->get_future();
        handed_out.set_value();
        return future;
    };
    auto slot = transport->deliver_request(calculator_7, Calculator::Lookup::id, lookup_a_b, true, 9);
    handed_out.get_future().wait();
    // Withdrawing does not wait for results still to come; the answer still reaches the caller.
    skeleton.StopOfferService();
    EXPECT_FALSE(slot->answered());

    Summary summary;
    summary.count[0] = 1;
    std::thread completing([&] { pending->set_value(summary); });
    completing.join();
    ASSERT_TRUE(slot->answered());
    EXPECT_EQ(slot->wait()->payload, (Bytes{0, 0, 0, 1, 1, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace skeleton_test
