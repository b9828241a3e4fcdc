// A small interface for the proxy tests: Add returns a result, Divide has an
// application error (code 5, one byte of detail) for a zero divisor.
#pragma once

#include "ara/com/internal/proxy/method.h"
#include "ara/com/internal/proxy/proxy.h"
#include "rk/com/connector/service_interface_description.h"
#include "rk/com/cpp_binding/application_error_exception.h"
#include "rk/com/someip/serialization/deserializer.h"
#include "tq/com/runtime/identifiers.h"

#include <exception>
#include <vector>

namespace wardex::test {

class Division_by_zero : public rk::com::cpp_binding::Application_error_exception {
public:
    static constexpr std::uint8_t code = 5;
    explicit Division_by_zero(const std::vector<std::uint8_t>& payload) {
        rk::com::someip::serialization::Deserializer(payload).deserialize(detail);
    }
    const char* what() const noexcept override { return "Calculator::Division_by_zero::5"; }
    std::uint8_t error() const noexcept override { return code; }
    void serialize(rk::com::someip::serialization::Serializer& serializer) const override {
        serializer.serialize(detail);
    }
    std::uint8_t detail{0};
};

struct Calculator {
    static constexpr tq::com::runtime::Service_id_literal id() noexcept {
        return tq::com::runtime::Service_id_literal("wardex::test::Calculator");
    }
    static constexpr rk::com::connector::Service_interface_description description() noexcept { return {0, 2}; }

    template <std::uint16_t Id, typename Signature_, std::size_t Output_size>
    struct Method {
        static constexpr std::uint16_t id = Id;
        using Signature = Signature_;
        static constexpr std::size_t expected_output_size = Output_size;
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t code,
                                                                  const std::vector<std::uint8_t>& payload) {
            return Id == 1 && code == Division_by_zero::code ? std::make_exception_ptr(Division_by_zero(payload))
                                                             : nullptr;
        }
    };
    using Add = Method<0, std::uint32_t(std::uint16_t, std::uint16_t), 4>;
    using Divide = Method<1, std::uint16_t(std::uint16_t, std::uint16_t), 2>;
};

class CalculatorProxy : public ara::com::internal::proxy::Proxy<Calculator> {
public:
    explicit CalculatorProxy(const HandleType& handle)
        : Proxy<Calculator>(handle), Add(port_link()), Divide(port_link()) {}
    ara::com::internal::proxy::Method<Calculator::Add, Calculator::Add::Signature> Add;
    ara::com::internal::proxy::Method<Calculator::Divide, Calculator::Divide::Signature> Divide;
};

}  // namespace wardex::test
