// The proxy binding against a fake transport that plays the remote side:
// requests on the wire, reply codes as the caller's exceptions after their
// incidents, and the lifetime of pending calls.
#include "calculator.h"

#include "ara/log/capture.h"
#include "rk/com/cpp_binding/proxy/method_impl_base.h"
#include "rk/com/infrastructure_exception.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/fake_transport.h"

#include <gtest/gtest.h>

#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace wardex::test {
namespace {

using rk::com::Service_not_available_exception;
using rk::com::Transport_exception;
using tq::com::runtime::Instance_id;
using tq::com::runtime::Service_id;

// A method incident of instance 1 as "level text": the method id and what follows.
std::string incident(const std::string& level, const std::string& id, const std::string& rest) {
    return level + R"( {"1_incident":{"1_id":")" + id +
           R"(","2_service_id":{"1_id":"Service_id","string":"wardex::test::Calculator"},)"
           R"("3_instance_id":{"1_id":"Instance_id","2_string":"1"},"4_method_id":)" + rest;
}

// "level text" of every record of the proxy port context, in order.
std::vector<std::string> logged(const ara::log::Capture& capture) {
    std::vector<std::string> found;
    for (const auto& record : capture.records()) {
        if (record.context == "CPRT") found.push_back(std::string(to_string(record.level)) + " " + record.text());
    }
    return found;
}

// The return code of the Transport_exception the future holds, -1 without one.
template <typename T>
int transport_code_of(tq::com::Future<T>& future) {
    try {
        future.get();
    } catch (const Transport_exception& error) {
        EXPECT_STREQ(error.what(), "Transport exception");
        return error.return_code();
    }
    return -1;
}

class ProxyWithFakeRemote : public ::testing::Test {
protected:
    void SetUp() override {
        transport->add_remote_instance(remote);
        transport->add_remote_instance({Service_id(Calculator::id()), Instance_id("2")});
        const auto handles = CalculatorProxy::FindService(Instance_id("1"));
        ASSERT_EQ(handles.size(), 1u);
        proxy = std::make_unique<CalculatorProxy>(handles.front());
        capture.clear();
    }

    ara::log::Capture capture;
    std::shared_ptr<rk::com::runtime::Fake_transport> transport = std::make_shared<rk::com::runtime::Fake_transport>();
    rk::com::runtime::Component_singleton component{transport};
    const rk::com::cpp_binding::Service_info remote{Service_id(Calculator::id()), Instance_id("1")};
    std::unique_ptr<CalculatorProxy> proxy;
};

// A call while the instance is not available throws at once and sends nothing.
TEST_F(ProxyWithFakeRemote, CallSendsTheEncodedArgumentsAndTheReplyFulfilsTheFutureWhileTheInstanceIsAvailable) {
    auto result = proxy->Add(0x0102, 0x0304);
    const auto requests = transport->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].service, remote);
    EXPECT_EQ(requests[0].method_id, 0);
    EXPECT_EQ(requests[0].payload, (std::vector<std::uint8_t>{0x01, 0x02, 0x03, 0x04}));
    EXPECT_FALSE(result.is_ready());
    ASSERT_TRUE(transport->reply(0, 0x00, {0x00, 0x00, 0x04, 0x06}));
    EXPECT_EQ(result.get(), 0x0406u);
    EXPECT_EQ(logged(capture),
              (std::vector<std::string>{
                  incident("debug", "Method_call_request_tx",
                           R"(0},"2_data":{"1_undefined_type":258,"2_undefined_type":772}})"),
                  incident("debug", "Method_call_response_rx", R"(0,"5_error_code":0}})")}));
    capture.clear();
    transport->remove_remote_instance(remote);
    EXPECT_THROW(proxy->Add(1, 2), Service_not_available_exception);
    EXPECT_EQ(transport->requests().size(), 1u);
    EXPECT_TRUE(capture.records().empty());
}

TEST_F(ProxyWithFakeRemote, FailedRepliesReachTheCallerAsExceptionsAfterTheirIncident) {
    const struct {
        std::uint8_t code;
        const char* incident;
        const char* text;
        int transport_code;  // -1: service not available
    } cases[] = {
        {0x81, "Method_call_request_err", "Transport exception", 0x81},
        {0x86, "Method_call_request_err", "Transport exception", 0x86},
        {0xFF, "Method_call_request_err", "Service not available exception", -1},
        {0x01, "Method_call_response_invalid_code", "Transport exception", 0x8A},
        {0x80, "Method_call_response_invalid_code", "Transport exception", 0x8A},
    };
    std::size_t index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.code));
        capture.clear();
        // The incident must be written before the caller can see the failure.
        std::size_t records_seen_by_follow_up = 0;
        auto checked = proxy->Add(1, 2).then([&](tq::com::Future<std::uint32_t> reply) {
            records_seen_by_follow_up = logged(capture).size();
            reply.get();
        });
        ASSERT_TRUE(transport->reply(index++, c.code));
        const auto records = logged(capture);
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records_seen_by_follow_up, 2u);
        EXPECT_EQ(records[1], incident("error", c.incident,
                                       R"(0,"5_error_code":)" + std::to_string(c.code) +
                                           R"(},"2_data":{"1_string":")" + c.text + R"("}})"));
        if (c.transport_code < 0) {
            EXPECT_THROW(checked.get(), Service_not_available_exception);
        } else {
            EXPECT_EQ(transport_code_of(checked), c.transport_code);
        }
    }
}

// An application error with its byte reaches the caller; without it, and for
// a result two bytes short, the caller gets the decoder's failure.
TEST_F(ProxyWithFakeRemote, ApplicationErrorReachesTheCallerAndUndecodableDataBecomesTransportException) {
    auto application_error = proxy->Divide(7, 0);
    auto error_without_data = proxy->Divide(7, 0);
    auto short_result = proxy->Add(1, 2);
    ASSERT_TRUE(transport->reply(0, Division_by_zero::code, {0x31}));
    ASSERT_TRUE(transport->reply(1, Division_by_zero::code, {}));
    ASSERT_TRUE(transport->reply(2, 0x00, {0x00, 0x03}));
    try {
        application_error.get();
        FAIL() << "no exception";
    } catch (const Division_by_zero& error) {
        EXPECT_EQ(error.detail, 0x31);
    }
    EXPECT_EQ(transport_code_of(error_without_data), 0x8A);
    EXPECT_EQ(transport_code_of(short_result), 0x8A);
    const auto records = logged(capture);
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[4], incident("error", "Method_call_deserializer_exception",
                                   R"(1,"5_error_code":5},"2_data":{"1_string":"Read beyond the end of the data buffer"}})"));
}

// A reply after the caller dropped its future and the proxy is harmless; a
// call the runtime discards leaves the caller a broken promise.
TEST_F(ProxyWithFakeRemote, ReplyAfterTheProxyIsGoneIsHarmlessAndADiscardedCallBreaksThePromise) {
    proxy->Add(1, 2);
    auto discarded = proxy->Add(3, 4);
    ASSERT_TRUE(transport->drop(1));
    try {
        discarded.get();
        FAIL() << "no exception";
    } catch (const std::future_error& error) {
        EXPECT_EQ(error.code(), std::make_error_code(std::future_errc::broken_promise));
    }
    proxy.reset();
    ASSERT_TRUE(transport->reply(0, 0x00, {0, 0, 0, 3}));
    const auto records = logged(capture);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2], incident("debug", "Method_call_response_rx", R"(0,"5_error_code":0}})"));
}

// Each reply is the sum of its own request's arguments, answered as the
// requests come in, concurrently with the callers.
TEST_F(ProxyWithFakeRemote, CallsFromSeveralThreadsEachGetTheirOwnReply) {
    constexpr std::uint16_t callers = 4, calls_each = 25;
    std::vector<std::vector<tq::com::Future<std::uint32_t>>> futures(callers);
    std::vector<std::thread> threads;
    for (std::uint16_t t = 0; t < callers; ++t) {
        threads.emplace_back([&, t] {
            for (std::uint16_t i = 0; i < calls_each; ++i) futures[t].push_back(proxy->Add(t, i));
        });
    }
    std::thread replier([&] {
        for (std::size_t n = 0; n < callers * calls_each && transport->wait_for_requests(n + 1); ++n) {
            const auto bytes = transport->requests()[n].payload;
            transport->reply(n, 0x00, {0, 0, 0, static_cast<std::uint8_t>(bytes[1] + bytes[3])});
        }
    });
    for (auto& thread : threads) thread.join();
    replier.join();
    std::set<std::uint16_t> call_ids;
    for (const auto& request : transport->requests()) call_ids.insert(request.method_call_id);
    EXPECT_EQ(call_ids.size(), static_cast<std::size_t>(callers * calls_each));
    for (std::uint16_t t = 0; t < callers; ++t) {
        for (std::uint16_t i = 0; i < calls_each; ++i) EXPECT_EQ(futures[t][i].get(), t + i);
    }
}

// The pending call lives exactly as long as the caller's future, even while
// the promise lives on.
TEST(PendingCallCleanup, ThePendingCallIsReleasedWithTheFuture) {
    auto dropped = std::make_shared<tq::com::Promise<void>>();
    auto future = std::make_unique<tq::com::Future<void>>(dropped->get_future());
    auto call = std::make_shared<tq::com::runtime::Method_call>(Service_id("s"), Instance_id("i"), 0, 1);
    const std::weak_ptr<tq::com::runtime::Method_call> watched = call;
    rk::com::cpp_binding::proxy::Method_impl_base::add_cleanup(dropped, std::move(call));
    EXPECT_FALSE(watched.expired());
    future.reset();
    EXPECT_TRUE(watched.expired());
    EXPECT_NO_THROW(dropped->set_value());
}

}  // namespace
}  // namespace wardex::test
