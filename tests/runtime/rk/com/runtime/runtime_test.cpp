#include "rk/com/cpp_binding/proxy/rport.h"
#include "rk/com/cpp_binding/shared_payload.h"
#include "rk/com/cpp_binding/skeleton/method_dispatcher.h"
#include "rk/com/cpp_binding/skeleton/method_processors.h"
#include "rk/com/cpp_binding/skeleton/pport.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/fake_transport.h"
#include "rk/com/runtime/local_transport.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace {

using namespace rk::com;
using namespace rk::com::cpp_binding::skeleton;
using namespace tq::com::runtime;
using cpp_binding::Method_call_processing_mode;
using cpp_binding::Service_info;
using runtime::Component_singleton;
using Reply = runtime::Fake_transport::Reply;

const Service_info info{Service_id("rk::dm::dem::DiagnosticMonitor"), Instance_id("479232")};
const connector::Service_interface_description description{1, 1};

Serialized_payload bytes(Payload_buffer content) {
    auto buffer = cpp_binding::get_shared_payload(content.size());
    *buffer = std::move(content);
    return Serialized_payload(Serialized_payload::someip, buffer);
}

// A provided service with one method (id 0) that counts its calls.
struct Provider {
    explicit Provider(Method_call_processing_mode mode = Method_call_processing_mode::kEvent)
        : pool(Component_singleton::get_thread_pool_factory()->get_thread_pool(1)),
          port(info.service_id(), info.instance_id(), description),
          dispatcher(port, create_method_processor(mode, *pool)),
          method(0, [this](std::uint16_t, Reply_function reply, const Serialized_payload&) {
              ++calls;
              Method_impl_base::reply_method(reply, bytes({}), 0);
          }, dispatcher) {}

    std::shared_ptr<static_thread_pool> pool;
    Pport port;
    Method_dispatcher dispatcher;
    std::atomic<int> calls{0};
    Method_impl_base method;
};

// A provider that keeps the reply function of its request for later.
struct Keeping_provider final : runtime::Request_handler {
    void on_request(std::uint16_t, std::uint16_t, Serialized_payload, runtime::Reply_function reply) override {
        kept.set_value(std::move(reply));
    }
    std::promise<runtime::Reply_function> kept;
};

TEST(LocalTransport, AReplyAfterTheTransportIsGoneStillReachesTheCallerOnce) {
    auto transport = std::make_shared<runtime::Local_transport>();
    auto provider = std::make_shared<Keeping_provider>();
    transport->offer(info, description, provider);
    std::vector<Reply> answers;
    transport->send_request(info, 0, 1, bytes({1}), [&](std::uint8_t code, Serialized_payload payload) {
        answers.push_back({code, payload.payload()});
    });
    auto reply = provider->kept.get_future().get();
    transport.reset();  // its delivery threads are joined

    // Answered in the replying thread, since no delivery thread is left.
    reply(0, bytes({2}));
    reply(0x80, bytes({3}));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].return_code, 0);
    EXPECT_EQ(answers[0].payload, Payload_buffer{2});
}

class WithFakeTransport : public ::testing::Test {
protected:
    std::shared_ptr<runtime::Fake_transport> transport = std::make_shared<runtime::Fake_transport>();
    Component_singleton component{transport};
};

TEST_F(WithFakeTransport, StoppedDispatcherAndUnknownMethodAreRefusedAndRequestsWithoutReplyStillRun) {
    Provider provider(Method_call_processing_mode::kEventSingleThread);
    provider.port.start_offer();
    EXPECT_TRUE(transport->is_offered(info));
    EXPECT_EQ(transport->deliver_request(info, 0, {1})->wait().value_or(Reply{}).return_code, 0xFF);
    provider.dispatcher.start();
    EXPECT_EQ(transport->deliver_request(info, 7, {1})->wait().value_or(Reply{}).return_code, 0x82);
    EXPECT_EQ(provider.calls.load(), 0);
    transport->deliver_request(info, 0, {1}, false);
    // Stopping discards what is still queued, so the request must have run first.
    EXPECT_TRUE(wardex::test::wait_until([&] { return provider.calls == 1; }));
    provider.dispatcher.stop();
}

TEST_F(WithFakeTransport, MethodCallIdsWrapFromFFFFToOne) {
    transport->add_remote_instance(info);
    auto handles = Component_singleton::get_service_finder()->find_service(info.service_id(), info.instance_id());
    ASSERT_EQ(handles.size(), 1u);
    cpp_binding::proxy::Rport rport(handles.front(), description);
    EXPECT_EQ(rport.call_method(0, bytes({}), nullptr)->method_call_id(), 1);
    for (std::uint32_t i = 1; i < 0xFFFF; ++i) rport.call_method(0, bytes({}), nullptr);
    EXPECT_EQ(rport.call_method(0, bytes({}), nullptr)->method_call_id(), 1);
}

}  // namespace
