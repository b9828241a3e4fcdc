// A proxy calling an instance provided in the same process: the provider is
// a skeleton of the same interface, carried by the runtime's in-process
// transport.
#include "calculator.h"

#include "ara/com/internal/skeleton/method.h"
#include "ara/com/internal/skeleton/skeleton.h"
#include "rk/com/infrastructure_exception.h"
#include "rk/com/runtime/component_singleton.h"

#include <gtest/gtest.h>

namespace wardex::test {
namespace {

using tq::com::runtime::Instance_id;

template <typename T>
tq::com::Future<T> ready(T value) {
    tq::com::Promise<T> promise;
    promise.set_value(std::move(value));
    return promise.get_future();
}

class Calculator_skeleton : public ara::com::internal::skeleton::Skeleton<Calculator> {
public:
    explicit Calculator_skeleton(const char* instance)
        : Skeleton(Instance_id(instance), rk::com::cpp_binding::Method_call_processing_mode::kEvent),
          add_(method_dispatcher(),
               [](const std::uint16_t& a, const std::uint16_t& b) {
                   return ready<std::uint32_t>(static_cast<std::uint32_t>(a) + b);
               }),
          divide_(method_dispatcher(), [](const std::uint16_t& a, const std::uint16_t& b) {
              if (b == 0) {
                  tq::com::Promise<std::uint16_t> promise;
                  promise.set_exception(std::make_exception_ptr(Division_by_zero(std::uint8_t{0x31})));
                  return promise.get_future();
              }
              return ready<std::uint16_t>(static_cast<std::uint16_t>(a / b));
          }) {
        OfferService();
    }
    ~Calculator_skeleton() override { StopOfferService(); }

private:
    ara::com::internal::skeleton::Method<Calculator::Add> add_;
    ara::com::internal::skeleton::Method<Calculator::Divide> divide_;
};

TEST(ProxyInProcess, CallsAnInstanceOfThisProcessUntilItIsWithdrawn) {
    rk::com::runtime::Component_singleton component{true, ""};
    auto provider = std::make_unique<Calculator_skeleton>("1");
    EXPECT_TRUE(CalculatorProxy::FindService(Instance_id("2")).empty());
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

    provider.reset();
    EXPECT_TRUE(CalculatorProxy::FindService(Instance_id("1")).empty());
    EXPECT_THROW(proxy.Add(1, 1), rk::com::Service_not_available_exception);
}

}  // namespace
}  // namespace wardex::test
