// Interface orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets:
// the UDS data identifier whose Read returns the measured values recorded so
// far. Read may answer with the application error UDSServiceFailed (code 2).
#pragma once

#include "rk/com/connector/service_interface_description.h"
#include "rk/com/cpp_binding/application_error_exception.h"
#include "rk/dm/types/dm_types.h"
#include "tq/com/runtime/identifiers.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <string>
#include <vector>

namespace orbis::services::diag::d_0401 {

class DataIdentifier_NumberOfECUResets {
public:
    static constexpr tq::com::runtime::Service_id_literal id() {
        return tq::com::runtime::Service_id_literal(
            "orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets");
    }
    // No event, two methods.
    static constexpr rk::com::connector::Service_interface_description description() { return {0, 2}; }

    // A UDS negative response; its data is the one-byte response code.
    class UDSServiceFailed : public rk::com::cpp_binding::Application_error_exception {
    public:
        static constexpr std::uint8_t code = 2;

        explicit UDSServiceFailed(rk::dm::types::UDSResponseCodeType value) noexcept;
        // Decodes the response code; throws std::out_of_range when the payload is empty.
        explicit UDSServiceFailed(const std::vector<std::uint8_t>& payload);
        UDSServiceFailed(const UDSServiceFailed&) = default;
        UDSServiceFailed& operator=(const UDSServiceFailed&) = default;

        const char* what() const noexcept override;
        std::uint8_t error() const noexcept override;
        void serialize(rk::com::someip::serialization::Serializer& serializer) const override;

        rk::dm::types::UDSResponseCodeType value() const noexcept { return value_; }

    private:
        rk::dm::types::UDSResponseCodeType value_;
    };

    struct Cancel {
        static constexpr std::uint16_t id = 0;
        using Signature = void(std::map<std::string, std::string>);
        static constexpr std::size_t expected_output_size = 0;
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t /*errorCode*/,
                                                                  const std::vector<std::uint8_t>& /*payload*/) {
            return nullptr;
        }
    };

    struct Read {
        static constexpr std::uint16_t id = 1;

        struct Output {
            std::array<std::uint8_t, 1> count{};
            std::vector<std::uint8_t> data;

            template <typename Visitor>
            void visit_fields(Visitor&& visitor) {
                visitor(count);
                visitor(data);
            }
            template <typename Visitor>
            void visit_fields(Visitor&& visitor) const {
                visitor(count);
                visitor(data);
            }

            friend bool operator==(const Output& a, const Output& b) {
                return a.count == b.count && a.data == b.data;
            }
            friend bool operator!=(const Output& a, const Output& b) { return !(a == b); }
        };

        using Signature = Output(std::map<std::string, std::string>);
        static constexpr std::size_t expected_output_size = 32;
        // Code 2 gives a UDSServiceFailed decoded from the payload; every other
        // code an empty pointer.
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t errorCode,
                                                                  const std::vector<std::uint8_t>& payload);
    };
};

}  // namespace orbis::services::diag::d_0401
