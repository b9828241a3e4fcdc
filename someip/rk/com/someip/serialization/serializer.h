// SOME/IP serializer: appends the encoding of values to a byte vector. The
// encoding is chosen at compile time by the category of the value's type.
#pragma once

#include "rk/com/byte_order.h"
#include "rk/com/someip/serialization/lengths.h"
#include "rk/com/someip/serialization/serialization_properties.h"
#include "rk/com/someip/serialization/type_traits.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace rk::com::someip::serialization {

using Output_bytes = std::vector<std::uint8_t>;

template <typename Length>
void serialize_length_field(Output_bytes& output, Length length, const Serialization_properties& properties) {
    static_assert(std::is_same_v<Length, std::uint8_t> || std::is_same_v<Length, std::uint16_t> ||
                      std::is_same_v<Length, std::uint32_t>,
                  "length fields are 8, 16 or 32 bits wide");
    rk::com::byte_order::write_to_container(length, output, properties.byte_order);
}

namespace detail {

template <typename Length>
void serialize_checked_length_field(Output_bytes& output, std::size_t length,
                                    const Serialization_properties& properties) {
    if (length > std::numeric_limits<Length>::max()) {
        throw std::overflow_error("Calculated record length does not fit into configured length field");
    }
    serialize_length_field(output, static_cast<Length>(length), properties);
}

}  // namespace detail

inline void serialize_length_field_dispatch(std::size_t size, std::size_t length, Output_bytes& output,
                                            const Serialization_properties& properties) {
    switch (size) {
    case 0:
        return;
    case 1:
        return detail::serialize_checked_length_field<std::uint8_t>(output, length, properties);
    case 2:
        return detail::serialize_checked_length_field<std::uint16_t>(output, length, properties);
    case 4:
        return detail::serialize_checked_length_field<std::uint32_t>(output, length, properties);
    default:
        throw std::invalid_argument("Invalid value for length field size.");
    }
}

template <typename T>
void serialize_without_tag(Output_bytes& output, const T& value, Serialization_properties properties);

// Writes the data of a value, without the length field in front of it.
template <typename T>
void serialize_dispatch(Output_bytes& output, const T& value, Serialization_properties properties) {
    static_assert(is_serializable_v<T>, "type cannot be encoded as SOME/IP");
    if constexpr (is_basic_non_bool_type_v<T>) {
        if constexpr (std::is_enum_v<T>) {
            rk::com::byte_order::write_to_container(static_cast<std::underlying_type_t<T>>(value), output,
                                                    properties.byte_order);
        } else {
            rk::com::byte_order::write_to_container(value, output, properties.byte_order);
        }
    } else if constexpr (is_sequence_v<T>) {
        if constexpr (is_std_vector_v<T>) {
            if (properties.array_length_field_size == 0) {
                throw std::invalid_argument(
                    "Vectors must have a length field that deserializer can also deserialize it. "
                    "Violation of PRS_SOMEIP_00376 & PRS_SOMEIP_00107!");
            }
        }
        if constexpr (is_byte_sequence_v<T>) {
            const auto* first = reinterpret_cast<const std::uint8_t*>(value.data());
            output.insert(output.end(), first, first + value.size());
        } else {
            for (const auto& element : value) {
                serialize_without_tag(output, element, properties);
            }
        }
    } else if constexpr (is_std_map_v<T>) {
        for (const auto& entry : value) {
            serialize_without_tag(output, entry.first, properties);
            serialize_without_tag(output, entry.second, properties);
        }
    } else if constexpr (is_std_string_v<T>) {
        // Without a length field the receiver could not tell where the text ends.
        if (properties.string_length_field_size == 0) {
            throw std::invalid_argument("Invalid value for length field size.");
        }
        output.insert(output.end(), value.begin(), value.end());
    } else {
        value.visit_fields([&output, &properties](const auto& field) {
            serialize_without_tag(output, field, properties);
        });
    }
}

template <typename T>
void serialize_without_tag(Output_bytes& output, const T& value, Serialization_properties properties) {
    const std::size_t length_field_size = get_serialization_property_length_for_type<T>(properties);
    if (length_field_size != 0) {
        serialize_length_field_dispatch(length_field_size, get_data_length_dispatch(value, properties), output,
                                        properties);
    }
    serialize_dispatch(output, value, properties);
}

class Serializer {
public:
    // The caller keeps ownership of the output; it must outlive the serializer.
    explicit Serializer(const std::shared_ptr<Output_bytes>& output) : output_(output.get()) {
        if (output_ == nullptr) {
            throw std::invalid_argument("destination cannot be NULL");
        }
    }

    template <typename T>
    void serialize(const T& value) const {
        serialize_without_tag(*output_, value, default_serialization_properties);
    }

    template <typename... Args>
    void serialize_args(const Args&... args) const {
        (serialize(args), ...);
    }

private:
    Output_bytes* output_;
};

}  // namespace rk::com::someip::serialization
