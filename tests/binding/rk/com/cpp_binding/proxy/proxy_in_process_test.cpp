// A proxy calling an instance provided in the same process through the
// runtime's in-process transport. The provider is built directly on the
// runtime's provided port, dispatcher and method registration.
#include "calculator.h"

#include "rk/com/cpp_binding/method_call_processing_mode.h"
#include "rk/com/cpp_binding/shared_payload.h"
#include "rk/com/cpp_binding/skeleton/method_dispatcher.h"
#include "rk/com/cpp_binding/skeleton/method_impl_base.h"
#include "rk/com/cpp_binding/skeleton/method_processor.h"
#include "rk/com/cpp_binding/skeleton/pport.h"
#include "rk/com/infrastructure_exception.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/someip/serialization/serializer.h"

#include <gtest/gtest.h>

#include <future>

namespace wardex::test {
namespace {

namespace skeleton = rk::com::cpp_binding::skeleton;
using tq::com::runtime::Instance_id;
using tq::com::runtime::Serialized_payload;

// The provider side of the calculator, answering on the runtime's pool.
class Calculator_provider {
public:
    explicit Calculator_provider(const Instance_id& instance)
        : port_(tq::com::runtime::Service_id(Calculator::id()), instance, Calculator::description()),
          dispatcher_(port_, skeleton::create_method_processor(
                                 rk::com::cpp_binding::Method_call_processing_mode::kEvent,
                                 *rk::com::runtime::Component_singleton::get_thread_pool_factory()
                                      ->get_thread_pool(1))),
          add_(Calculator::Add::method_id,
               [](std::uint16_t, skeleton::Reply_function reply, const Serialized_payload& request) {
                   const auto [a, b] = arguments(request);
                   answer(reply, 0, static_cast<std::uint32_t>(a) + b);
               },
               dispatcher_),
          divide_(Calculator::Divide::method_id,
                  [](std::uint16_t, skeleton::Reply_function reply, const Serialized_payload& request) {
                      const auto [a, b] = arguments(request);
                      if (b == 0) {
                          answer(reply, Division_by_zero::code, std::uint8_t{0x31});
                      } else {
                          answer(reply, 0, static_cast<std::uint16_t>(a / b));
                      }
                  },
                  dispatcher_) {
        dispatcher_.start();
        port_.start_offer();
    }

    ~Calculator_provider() {
        port_.stop_offer();
        dispatcher_.stop();
    }

    void stop_offer() { port_.stop_offer(); }

private:
    static std::pair<std::uint16_t, std::uint16_t> arguments(const Serialized_payload& request) {
        const auto bytes = request.payload();
        rk::com::someip::serialization::Deserializer deserializer(bytes);
        std::uint16_t a = 0;
        std::uint16_t b = 0;
        deserializer.deserialize_args(a, b);
        return {a, b};
    }

    template <typename T>
    static void answer(const skeleton::Reply_function& reply, std::uint8_t code, const T& value) {
        auto buffer = rk::com::cpp_binding::get_shared_payload(sizeof(T));
        rk::com::someip::serialization::Serializer(buffer).serialize(value);
        skeleton::Method_impl_base::reply_method(reply, Serialized_payload(Serialized_payload::someip, buffer),
                                                 code);
    }

    skeleton::Pport port_;
    skeleton::Method_dispatcher dispatcher_;
    skeleton::Method_impl_base add_;
    skeleton::Method_impl_base divide_;
};

class ProxyInProcess : public ::testing::Test {
protected:
    rk::com::runtime::Component_singleton component{true, ""};
};

TEST_F(ProxyInProcess, FindsAndCallsAnInstanceProvidedInThisProcess) {
    Calculator_provider provider(Instance_id("1"));
    const auto handles = CalculatorProxy::FindService(Instance_id("1"));
    ASSERT_EQ(handles.size(), 1u);
    CalculatorProxy proxy(handles.front());

    auto sum = proxy.Add(40, 2);
    auto quotient = proxy.Divide(9, 3);
    auto by_zero = proxy.Divide(9, 0);

    EXPECT_EQ(sum.get(), 42u);
    EXPECT_EQ(quotient.get(), 3u);
    try {
        by_zero.get();
        FAIL() << "no exception";
    } catch (const Division_by_zero& error) {
        EXPECT_EQ(error.detail, 0x31);
    }
}

TEST_F(ProxyInProcess, WithdrawnInstanceIsNoLongerFoundNorCalled) {
    Calculator_provider provider(Instance_id("1"));
    const auto handles = CalculatorProxy::FindService(Instance_id("1"));
    ASSERT_EQ(handles.size(), 1u);
    CalculatorProxy proxy(handles.front());
    EXPECT_TRUE(CalculatorProxy::FindService(Instance_id("2")).empty());

    provider.stop_offer();

    EXPECT_TRUE(CalculatorProxy::FindService(Instance_id("1")).empty());
    EXPECT_THROW(proxy.Add(1, 1), rk::com::Service_not_available_exception);
}

}  // namespace
}  // namespace wardex::test
