// Decodes arbitrary bytes as every value a request or reply of the provided
// services carries: the meta-information map, the 8-bit enumerations and the
// Read result. A decoded value must encode and decode back to itself.
#include "orbis/services/diag/d_0401/dataidentifier_numberofecuresets_common.h"
#include "rk/com/someip/serialization/deserializer.h"
#include "rk/com/someip/serialization/serializer.h"
#include "rk/dm/types/dm_types.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace rk::com::someip::serialization;
using Bytes = std::vector<std::uint8_t>;

using Reason = rk::dm::types::InitMonitorReasonType;
using Action = rk::dm::types::MonitorActionType;
using Response_code = rk::dm::types::UDSResponseCodeType;
using Read_output = orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets::Read::Output;

// Malformed input may only be refused with the serializer's range errors.
template <typename T>
void decode_and_check(const Bytes& payload, const Serialization_properties& properties) {
    Input_buffer buffer{payload};
    T value{};
    try {
        deserialize_without_tag(buffer, value, properties);
    } catch (const std::out_of_range&) {
        return;
    }
    if (buffer.tell() > payload.size()) {
        std::abort();
    }

    Bytes encoded;
    serialize_without_tag(encoded, value, properties);
    Input_buffer again{encoded};
    T decoded{};
    deserialize_without_tag(again, decoded, properties);
    if (!(decoded == value) || again.tell() != encoded.size()) {
        std::abort();
    }
}

template <typename T>
void decode_with_both(const Bytes& payload, const Serialization_properties& varied) {
    decode_and_check<T>(payload, default_serialization_properties);
    decode_and_check<T>(payload, varied);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes payload(data, data + size);

    // The first byte also picks a second property set, so that short length
    // fields and the other byte order see the same bytes.
    static constexpr std::size_t sizes[] = {1, 2, 4, 4};
    Serialization_properties varied;
    const std::uint8_t selector = size > 0 ? data[0] : 0;
    varied.byte_order = (selector & 0x01) != 0 ? 1234 : 4321;
    varied.array_length_field_size = sizes[(selector >> 1) & 0x03];
    varied.string_length_field_size = sizes[(selector >> 3) & 0x03];

    decode_with_both<std::map<std::string, std::string>>(payload, varied);
    decode_with_both<Reason>(payload, varied);
    decode_with_both<Action>(payload, varied);
    decode_with_both<Response_code>(payload, varied);
    decode_with_both<std::uint8_t>(payload, varied);
    decode_with_both<Read_output>(payload, varied);
    return 0;
}
