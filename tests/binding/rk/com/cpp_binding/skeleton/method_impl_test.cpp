// Handling of one request: decoding, the handler, the result step, the reply
// bytes and return codes, and the incident records of each path.
#include "calculator.h"

#include <functional>
#include <stdexcept>
#include <thread>

namespace skeleton_test {
namespace {

using rk::com::runtime::Fake_transport;
using Strings = std::vector<std::string>;

// Store with the value 7 and Lookup with {"a": "b"}, as they come on the wire.
const Bytes store_7{7};
const Bytes lookup_a_b{0, 0, 0, 10, 0, 0, 0, 1, 'a', 0, 0, 0, 1, 'b'};
const std::string lookup_9 = R"(,"4_method_id":1,"5_method_call_id":9)";
const std::string process_a_b = "verbose CPRT " + incident("Method_call_request_process", lookup_9) +
                                R"(},"2_data":{"1_undefined_type":[{"a":"b"}]}})";

template <typename T>
tq::com::Future<T> failed(std::exception_ptr error) {
    tq::com::Promise<T> promise;
    promise.set_exception(std::move(error));
    return promise.get_future();
}

class Requests : public Runtime_fixture {
protected:
    Requests() {
        skeleton.store_handler = [this](std::uint8_t value) {
            stored.push_back(value);
            return ready();
        };
        skeleton.OfferService();
        capture.clear();
    }

    Fake_transport::Reply call(std::uint16_t method, const Bytes& request, std::uint16_t call_id = 9) {
        auto reply = transport->deliver_request(calculator_7, method, request, true, call_id)->wait();
        EXPECT_TRUE(reply.has_value());
        return reply.value_or(Fake_transport::Reply{0xEE, {}});
    }

    std::vector<std::uint8_t> stored;
    Calculator_skeleton skeleton;
};

TEST_F(Requests, ResultsAreEncodedFieldByFieldAndLoggedWithTheirArguments) {
    Meta seen;
    skeleton.lookup_handler = [&](const Meta& meta) {
        seen = meta;
        Summary summary;
        summary.count[0] = 2;
        summary.data = {0xAB, 0xCD};
        return ready(summary);
    };
    auto reply = call(Calculator::Lookup::id, lookup_a_b);
    EXPECT_EQ(reply.return_code, 0);
    EXPECT_EQ(reply.payload, (Bytes{0, 0, 0, 1, 2, 0, 0, 0, 2, 0xAB, 0xCD}));
    EXPECT_EQ(seen, (Meta{{"a", "b"}}));
    reply = call(Calculator::Store::id, store_7, 3);
    EXPECT_EQ(reply.return_code, 0);
    EXPECT_TRUE(reply.payload.empty());
    EXPECT_EQ(stored, (std::vector<std::uint8_t>{7}));
    const std::string store_3 = R"(,"4_method_id":0,"5_method_call_id":3)";
    EXPECT_EQ(incidents(),
              (Strings{process_a_b,
                       "debug CPRT " + incident("Method_call_response_tx", lookup_9) +
                           R"(,"6_error_code":0},"2_data":{"1_generated_type":{"1_array":[2],"2_vector":[171,205]}}})",
                       "verbose CPRT " + incident("Method_call_request_process", store_3) +
                           R"(},"2_data":{"1_undefined_type":[7]}})",
                       "debug CPRT " + incident("Method_call_response_tx", store_3) + R"(,"6_error_code":0}})"}));
}

// Half a length field, then an entry whose key runs past the end.
TEST_F(Requests, PayloadTooShortForTheMapFailsWithTheDecodersTextAndSkipsTheHandler) {
    bool called = false;
    skeleton.lookup_handler = [&](const Meta&) {
        called = true;
        return ready(Summary{});
    };
    for (const Bytes& request : {Bytes{0, 0}, Bytes{0, 0, 0, 8, 0, 0, 0, 9, 'a', 'b', 'c', 'd'}}) {
        capture.clear();
        const auto reply = call(Calculator::Lookup::id, request);
        EXPECT_EQ(reply.return_code, 0x80);
        EXPECT_TRUE(reply.payload.empty());
        EXPECT_EQ(incidents(), Strings{"verbose CPRT " + incident("Method_call_request_process", lookup_9) +
                                       R"(},"2_data":{"1_string":"Read beyond the end of the data buffer"}})"});
    }
    EXPECT_FALSE(called);
}

TEST_F(Requests, RequestWithoutReplyFunctionIsDroppedWithErrorCodeTen) {
    auto slot = transport->deliver_request(calculator_7, Calculator::Store::id, store_7, false);
    skeleton.StopOfferService();  // waits for the request
    EXPECT_FALSE(slot->answered());
    EXPECT_TRUE(stored.empty());
    EXPECT_TRUE(incidents("Method_call_request_process").empty());
    EXPECT_EQ(incidents("Method_call_request_err"),
              Strings{"error CPRT " + incident("Method_call_request_err", R"(,"4_method_id":0,"5_error_code":10}})")});
}

// One warning per method and cause, however many requests fail for it, for
// at most 16 causes of a method; the result step and the handler that threw
// share "Unknown exception". Only a handler that threw logs the exception.
TEST_F(Requests, FailedResultsAnswerRequestFailedAndWarnOncePerMethodAndCause) {
    const std::vector<std::function<tq::com::Future<Summary>(const Meta&)>> handlers{
        [](const Meta&) { return failed<Summary>(std::make_exception_ptr(std::length_error("table too long"))); },
        [](const Meta&) { return tq::com::Promise<Summary>().get_future(); },
        [](const Meta&) { return failed<Summary>(std::make_exception_ptr(42)); },
        [](const Meta&) -> tq::com::Future<Summary> { throw 42; },
    };
    for (const auto& handler : handlers) {
        skeleton.lookup_handler = handler;
        for (int request = 0; request < 2; ++request) {
            const auto reply = call(Calculator::Lookup::id, lookup_a_b);
            EXPECT_EQ(reply.return_code, 0x80);
            EXPECT_TRUE(reply.payload.empty());
        }
    }
    EXPECT_TRUE(incidents("Method_call_response_tx").empty());
    const auto thrown = "fatal CPRT " + incident("Method_call_request_exception", R"(,"4_method_id":1}})");
    EXPECT_EQ(incidents("Method_call_request_exception"), (Strings{thrown, thrown}));  // of the handler that threw
    const auto processed = incidents("Method_call_request_process");
    ASSERT_GE(processed.size(), 2u);
    EXPECT_EQ(processed[1], "verbose CPRT " + incident("Method_call_request_process", lookup_9) +
                                R"(},"2_data":{"1_string":"table too long"}})");
    skeleton.store_handler = [](std::uint8_t value) {
        return failed<void>(std::make_exception_ptr(std::runtime_error("cause " + std::to_string(value))));
    };
    for (std::uint8_t value : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0}) {
        EXPECT_EQ(call(Calculator::Store::id, Bytes{value}).return_code, 0x80);
    }
    Strings warnings;
    for (const auto& record : capture.records()) {
        if (record.level == ara::log::LogLevel::kWarn) warnings.push_back(record.context + ": " + record.text());
    }
    const std::string lookup = "CPRT: Method 1 of test::Calculator 7 answered 0x80 (request failed): ";
    Strings expected{lookup + "table too long", lookup + "std::future_error: Broken promise",
                     lookup + "Unknown exception"};
    for (int cause = 0; cause < 16; ++cause) {
        expected.push_back("CPRT: Method 0 of test::Calculator 7 answered 0x80 (request failed): cause " +
                           std::to_string(cause));
    }
    EXPECT_EQ(warnings, expected);
}

// Withdrawing does not wait for results still to come; the answer still
// reaches the caller, from the thread that completes the result.
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
    skeleton.StopOfferService();
    EXPECT_FALSE(slot->answered());
    Summary summary;
    summary.count[0] = 1;
    std::thread([&] { pending->set_value(summary); }).join();
    ASSERT_TRUE(slot->answered());
    EXPECT_EQ(slot->wait()->payload, (Bytes{0, 0, 0, 1, 1, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace skeleton_test
