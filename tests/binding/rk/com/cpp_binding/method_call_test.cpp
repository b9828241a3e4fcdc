// Method calls through the binding against a fake transport that plays the
// other side. Skeleton: decoding, the handler, the result step, the reply
// bytes, return codes and incidents, and withdrawal waiting for a running
// request. Proxy: requests on the wire, reply codes as the caller's
// exceptions after their incidents, and replies that outlive their caller.
#include "ara/com/internal/proxy/method.h"
#include "ara/com/internal/proxy/proxy.h"
#include "ara/com/internal/skeleton/method.h"
#include "ara/com/internal/skeleton/skeleton.h"
#include "ara/log/capture.h"
#include "rk/com/infrastructure_exception.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/fake_transport.h"
#include "rk/com/runtime/runtime.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// A small interface: a method without result (Store), one with a generated
// result (Lookup), both provided, and one with a plain result (Add), used.
using Bytes = std::vector<std::uint8_t>;
using Meta = std::map<std::string, std::string>;

struct Summary {
    std::array<std::uint8_t, 1> count{};
    std::vector<std::uint8_t> data;
    template <typename F>
    void visit_fields(F&& f) { f(count), f(data); }
    template <typename F>
    void visit_fields(F&& f) const { f(count), f(data); }
};

struct Calculator {
    static constexpr tq::com::runtime::Service_id_literal id() {
        return tq::com::runtime::Service_id_literal("test::Calculator");
    }
    static constexpr rk::com::connector::Service_interface_description description() { return {1, 2}; }

    struct Store {
        static constexpr std::uint16_t id = 0;
        using Signature = void(std::uint8_t);
        static constexpr std::size_t expected_output_size = 0;
    };
    struct Lookup {
        static constexpr std::uint16_t id = 1;
        using Signature = Summary(Meta);
        static constexpr std::size_t expected_output_size = 32;
    };
    struct Add {
        static constexpr std::uint16_t id = 2;
        using Signature = std::uint32_t(std::uint16_t, std::uint16_t);
        static constexpr std::size_t expected_output_size = 4;
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t, const Bytes&) { return nullptr; }
    };
};

class Calculator_skeleton : public ara::com::internal::skeleton::Skeleton<Calculator> {
public:
    Calculator_skeleton()
        : Skeleton(tq::com::runtime::Instance_id("7"), rk::com::cpp_binding::Method_call_processing_mode::kEvent),
          store_(method_dispatcher(), [this](const std::uint8_t& value) { return store_handler(value); }),
          lookup_(method_dispatcher(), [this](const Meta& meta) { return lookup_handler(meta); }) {}
    ~Calculator_skeleton() override { StopOfferService(); }

    std::function<tq::com::Future<void>(std::uint8_t)> store_handler;
    std::function<tq::com::Future<Summary>(const Meta&)> lookup_handler;

private:
    ara::com::internal::skeleton::Method<Calculator::Store> store_;
    ara::com::internal::skeleton::Method<Calculator::Lookup> lookup_;
};

const rk::com::cpp_binding::Service_info calculator_7{tq::com::runtime::Service_id("test::Calculator"),
                                                              tq::com::runtime::Instance_id("7")};

class Calculator_proxy : public ara::com::internal::proxy::Proxy<Calculator> {
public:
    explicit Calculator_proxy(const HandleType& handle) : Proxy<Calculator>(handle), Add(port_link()) {}
    ara::com::internal::proxy::Method<Calculator::Add, Calculator::Add::Signature> Add;
};

// An incident of instance "7": its name, then what follows the service part.
std::string incident(const std::string& name, const std::string& rest) {
    return R"({"1_incident":{"1_id":")" + name + R"(","2_service_id":{"1_id":"Service_id","string":"test::Calculator"},)"
           R"("3_instance_id":{"1_id":"Instance_id","2_string":"7"})" + rest;
}

// A future holding the value, or the exception when one is given.
template <typename T = void, typename... Value>
tq::com::Future<T> ready(std::exception_ptr error = nullptr, Value... value) {
    tq::com::Promise<T> promise;
    error ? promise.set_exception(error) : promise.set_value(value...);
    return promise.get_future();
}

using rk::com::runtime::Fake_transport;
using Strings = std::vector<std::string>;
const std::string lookup_9 = R"(,"4_method_id":1,"5_method_call_id":9)";
const Bytes lookup_a_b{0, 0, 0, 10, 0, 0, 0, 1, 'a', 0, 0, 0, 1, 'b'};

// The runtime with a fake transport, and the log captured from the start.
class Runtime : public ::testing::Test {
protected:
    // "level context text" of the incidents so far: all, or those of one kind.
    Strings incidents(const std::string& name = {}) const {
        const std::string prefix = R"({"1_incident":{"1_id":")" + (name.empty() ? name : name + "\"");
        Strings found;
        for (const auto& record : capture.records()) {
            if (record.text().rfind(prefix, 0) == 0) {
                found.push_back(std::string(to_string(record.level)) + " " + record.context + " " + record.text());
            }
        }
        return found;
    }

    ara::log::Capture capture;
    std::shared_ptr<Fake_transport> transport = std::make_shared<Fake_transport>();
    rk::com::runtime::Component_singleton component{transport};
};

// The skeleton offered with handlers that record their arguments.
class Requests : public Runtime {
protected:
    Requests() {
        skeleton.store_handler = [this](std::uint8_t value) {
            stored.push_back(value);
            return ready();
        };
        skeleton.lookup_handler = [this](const Meta& meta) {
            seen.push_back(meta);
            return ready<Summary>(nullptr, Summary{{2}, {0xAB, 0xCD}});
        };
        skeleton.OfferService();
        capture.clear();
    }

    Fake_transport::Reply call(std::uint16_t method, const Bytes& request, std::uint16_t call_id = 9) {
        return transport->deliver_request(calculator_7, method, request, true, call_id)->wait().value();
    }

    Bytes stored;
    std::vector<Meta> seen;
    Calculator_skeleton skeleton;
};

// Results are encoded field by field; a payload too short for the map (half a
// length field, then a key running past the end) fails with the decoder's
// text and never reaches the handler; one longer than Store's byte can be is
// refused before it is decoded.
TEST_F(Requests, EachRequestIsDecodedAnsweredAndLoggedWithItsArguments) {
    const std::string store_3 = R"(,"4_method_id":0,"5_method_call_id":3)";
    const std::string too_short = "verbose CPRT " + incident("Method_call_request_process", lookup_9) +
                                  R"(},"2_data":{"1_string":"Read beyond the end of the data buffer"}})";
    // Method, call id, request; the return code, payload and incidents of the reply.
    const std::vector<std::tuple<std::uint16_t, std::uint16_t, Bytes, std::uint8_t, Bytes, Strings>> cases{
        {1, 9, lookup_a_b, 0, {0, 0, 0, 1, 2, 0, 0, 0, 2, 0xAB, 0xCD},
         {"verbose CPRT " + incident("Method_call_request_process", lookup_9) +
              R"(},"2_data":{"1_undefined_type":[{"a":"b"}]}})",
          "debug CPRT " + incident("Method_call_response_tx", lookup_9) +
              R"(,"6_error_code":0},"2_data":{"1_generated_type":{"1_array":[2],"2_vector":[171,205]}}})"}},
        {0, 3, {7}, 0, {},
         {"verbose CPRT " + incident("Method_call_request_process", store_3) + R"(},"2_data":{"1_undefined_type":[7]}})",
          "debug CPRT " + incident("Method_call_response_tx", store_3) + R"(,"6_error_code":0}})"}},
        {1, 9, {0, 0}, 0x87, {}, {too_short}},
        {1, 9, {0, 0, 0, 8, 0, 0, 0, 9, 'a', 'b', 'c', 'd'}, 0x87, {}, {too_short}},
        {0, 3, {7, 8}, 0x87, {}, {}},
    };
    for (const auto& [method, call_id, request, code, payload, logged] : cases) {
        SCOPED_TRACE(::testing::PrintToString(request));
        capture.clear();
        const auto reply = call(method, request, call_id);
        EXPECT_EQ(reply.return_code, code);
        EXPECT_EQ(reply.payload, payload);
        EXPECT_EQ(incidents(), logged);
    }
    EXPECT_EQ(seen, (std::vector<Meta>{Meta{{"a", "b"}}}));
    EXPECT_EQ(stored, Bytes{7});
}

// One warning per method and cause, however many requests fail for it, for
// at most 16 causes of a method; the result step and the handler that threw
// share "Unknown exception". Only a handler that threw logs the exception.
TEST_F(Requests, FailedResultsAnswerRequestFailedAndWarnOncePerMethodAndCause) {
    const std::vector<std::function<tq::com::Future<Summary>(const Meta&)>> handlers{
        [](const Meta&) { return ready<Summary>(std::make_exception_ptr(std::length_error("too long")), Summary{}); },
        [](const Meta&) { return tq::com::Promise<Summary>().get_future(); },
        [](const Meta&) { return ready<Summary>(std::make_exception_ptr(42), Summary{}); },
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
    skeleton.store_handler = [](std::uint8_t value) {
        return ready(std::make_exception_ptr(std::runtime_error("cause " + std::to_string(value))));
    };
    for (std::uint8_t value : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0}) {
        EXPECT_EQ(call(Calculator::Store::id, Bytes{value}).return_code, 0x80);
    }
    Strings warnings;
    for (const auto& record : capture.records()) {
        if (record.level == ara::log::LogLevel::kWarn) warnings.push_back(record.context + ": " + record.text());
    }
    const std::string lookup = "CPRT: Method 1 of test::Calculator 7 answered 0x80 (request failed): ";
    Strings expected{lookup + "too long", lookup + "std::future_error: Broken promise",
                     lookup + "Unknown exception"};
    for (int cause = 0; cause < 16; ++cause) {
        expected.push_back("CPRT: Method 0 of test::Calculator 7 answered 0x80 (request failed): cause " +
                           std::to_string(cause));
    }
    EXPECT_EQ(warnings, expected);
}

using Skeleton = Requests;

// Every pool thread runs a request and four more wait in the queue: the
// withdrawal waits for the running ones, which are answered, and discards
// the waiting ones unanswered.
TEST_F(Skeleton, WithdrawalWaitsForTheRunningRequestsAndDiscardsTheQueuedOnes) {
    const int threads = static_cast<int>(rk::com::runtime::provided_method_threads());
    std::atomic<int> entered{0}, finished_before_withdrawn{0};
    wardex::test::Gate release;
    std::atomic<bool> withdrawn{false};
    skeleton.store_handler = [&](std::uint8_t) {
        ++entered;
        release.wait();
        if (!withdrawn) ++finished_before_withdrawn;
        return ready();
    };
    std::vector<std::shared_ptr<const Fake_transport::Reply_slot>> replies;
    for (int i = 0; i < threads + 4; ++i) replies.push_back(transport->deliver_request(calculator_7, 0, {5}));
    ASSERT_TRUE(wardex::test::wait_until([&] { return entered == threads; }));
    std::thread withdrawing([&] {
        skeleton.StopOfferService();
        withdrawn = true;
    });
    ASSERT_TRUE(wardex::test::wait_until([&] { return !skeleton.method_dispatcher().is_running(); }));
    release.open();
    withdrawing.join();
    EXPECT_EQ(entered.load(), threads);
    EXPECT_EQ(finished_before_withdrawn.load(), threads);
    EXPECT_EQ(std::count_if(replies.begin(), replies.end(), [](const auto& r) { return r->answered(); }), threads);
}

class ProxyWithFakeRemote : public Runtime {
protected:
    void SetUp() override {
        transport->add_remote_instance(calculator_7);
        transport->add_remote_instance({calculator_7.service_id(), tq::com::runtime::Instance_id("8")});
        const auto handles = Calculator_proxy::FindService(tq::com::runtime::Instance_id("7"));
        ASSERT_EQ(handles.size(), 1u);
        proxy = std::make_unique<Calculator_proxy>(handles.front());
        capture.clear();
    }
    std::unique_ptr<Calculator_proxy> proxy;
};

const std::string add_0 = R"(,"4_method_id":2,"5_error_code":0}})";

// A call while the instance is available goes on the wire and its reply
// fulfils the future; one the runtime discards leaves the caller a broken
// promise. A call while the instance is not available throws at once and
// sends nothing. A reply after the caller dropped its future and the proxy is
// harmless.
TEST_F(ProxyWithFakeRemote, CallsGoOutOnlyWhileTheInstanceIsAvailableAndTheirRepliesMayOutliveTheProxy) {
    auto result = proxy->Add(0x0102, 0x0304);
    ASSERT_EQ(transport->requests().size(), 1u);
    const auto request = transport->requests()[0];
    EXPECT_EQ(std::tie(request.service, request.method_id, request.payload),
              std::make_tuple(calculator_7, 2, Bytes{0x01, 0x02, 0x03, 0x04}));
    ASSERT_TRUE(transport->reply(0, 0x00, {0x00, 0x00, 0x04, 0x06}));
    EXPECT_EQ(result.get(), 0x0406u);
    EXPECT_EQ(incidents(), (Strings{"debug CPRT " + incident("Method_call_request_tx", R"(,"4_method_id":2},"2_data":)"
                                                             R"({"1_undefined_type":258,"2_undefined_type":772}})"),
                                    "debug CPRT " + incident("Method_call_response_rx", add_0)}));
    auto discarded = proxy->Add(3, 4);
    ASSERT_TRUE(transport->drop(1));
    try {
        discarded.get();
        FAIL() << "no exception";
    } catch (const std::future_error& error) {
        EXPECT_EQ(error.code(), std::make_error_code(std::future_errc::broken_promise));
    }
    proxy->Add(1, 2);
    transport->remove_remote_instance(calculator_7);
    capture.clear();
    EXPECT_THROW(proxy->Add(1, 2), rk::com::Service_not_available_exception);
    EXPECT_EQ(transport->requests().size(), 3u);
    EXPECT_TRUE(capture.records().empty());
    proxy.reset();
    ASSERT_TRUE(transport->reply(2, 0x00, {0, 0, 0, 3}));
    EXPECT_EQ(incidents(), Strings{"debug CPRT " + incident("Method_call_response_rx", add_0)});
}

TEST_F(ProxyWithFakeRemote, FailedRepliesReachTheCallerAsExceptionsAfterTheirIncident) {
    // The reply's code; the incident and the exception's text; the caller's code (-1: service not available).
    const std::vector<std::tuple<std::uint8_t, const char*, const char*, int>> cases{
        {0x81, "Method_call_request_err", "Transport exception", 0x81},
        {0xFF, "Method_call_request_err", "Service not available exception", -1},
        {0x01, "Method_call_response_invalid_code", "Transport exception", 0x8A},
        {0x80, "Method_call_response_invalid_code", "Transport exception", 0x8A},
    };
    std::size_t index = 0;
    for (const auto& [reply_code, name, text, transport_code] : cases) {
        SCOPED_TRACE(static_cast<int>(reply_code));
        capture.clear();
        // The incident must be written before the caller can see the failure.
        std::size_t records_seen_by_follow_up = 0;
        int code = 0;
        auto checked = proxy->Add(1, 2).then([&](tq::com::Future<std::uint32_t> reply) {
            records_seen_by_follow_up = incidents().size();
            try {
                reply.get();
            } catch (const rk::com::Transport_exception& error) {
                code = error.return_code();
            } catch (const rk::com::Service_not_available_exception&) {
                code = -1;
            }
        });
        ASSERT_TRUE(transport->reply(index++, reply_code));
        EXPECT_EQ(records_seen_by_follow_up, 2u);
        EXPECT_EQ(code, transport_code);
        const auto records = incidents();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[1], "error CPRT " + incident(name, R"(,"4_method_id":2,"5_error_code":)" +
                                                           std::to_string(reply_code) + R"(},"2_data":{"1_string":")" +
                                                           text + R"("}})"));
    }
}

}  // namespace
