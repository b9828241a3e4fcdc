// The proxy binding against a fake transport that plays the remote side:
// requests on the wire, reply codes as the caller's exceptions after their
// incidents, and replies that outlive their caller.
#include "ara/com/internal/proxy/method.h"
#include "ara/com/internal/proxy/proxy.h"
#include "ara/log/capture.h"
#include "rk/com/connector/service_interface_description.h"
#include "rk/com/infrastructure_exception.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/fake_transport.h"
#include "tq/com/runtime/identifiers.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

namespace wardex::test {
namespace {

// A small interface: Add returns a result.
struct Calculator {
    static constexpr tq::com::runtime::Service_id_literal id() noexcept {
        return tq::com::runtime::Service_id_literal("wardex::test::Calculator");
    }
    static constexpr rk::com::connector::Service_interface_description description() noexcept { return {0, 2}; }

    struct Add {
        static constexpr std::uint16_t id = 0;
        using Signature = std::uint32_t(std::uint16_t, std::uint16_t);
        static constexpr std::size_t expected_output_size = 4;
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t, const std::vector<std::uint8_t>&) {
            return nullptr;
        }
    };
};

class CalculatorProxy : public ara::com::internal::proxy::Proxy<Calculator> {
public:
    explicit CalculatorProxy(const HandleType& handle) : Proxy<Calculator>(handle), Add(port_link()) {}
    ara::com::internal::proxy::Method<Calculator::Add, Calculator::Add::Signature> Add;
};

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

}  // namespace
}  // namespace wardex::test
