#include "orbis/services/diag/d_0401/dataidentifier_numberofecuresets_common.h"

#include "rk/com/someip/serialization/deserializer.h"

namespace orbis::services::diag::d_0401 {

using UDSServiceFailed = DataIdentifier_NumberOfECUResets::UDSServiceFailed;

UDSServiceFailed::UDSServiceFailed(rk::dm::types::UDSResponseCodeType value) noexcept : value_(value) {}

UDSServiceFailed::UDSServiceFailed(const std::vector<std::uint8_t>& payload)
    : value_(static_cast<rk::dm::types::UDSResponseCodeType>(0)) {
    rk::com::someip::serialization::Deserializer deserializer(payload);
    deserializer.deserialize(value_);
}

const char* UDSServiceFailed::what() const noexcept {
    return "DataIdentifier_NumberOfECUResets::UDSServiceFailed::2";
}

std::uint8_t UDSServiceFailed::error() const noexcept { return code; }

void UDSServiceFailed::serialize(rk::com::someip::serialization::Serializer& serializer) const {
    serializer.serialize(value_);
}

std::exception_ptr DataIdentifier_NumberOfECUResets::Read::GetApplicationErrorExceptionPtr(
    std::uint8_t errorCode, const std::vector<std::uint8_t>& payload) {
    if (errorCode == UDSServiceFailed::code) return std::make_exception_ptr(UDSServiceFailed(payload));
    return nullptr;
}

}  // namespace orbis::services::diag::d_0401
