// SOME/IP deserializer: decodes values from a payload through a bounds-checked
// cursor. Every length taken from the wire is checked against the bytes that
// remain before anything is allocated with it.
#pragma once

#include "rk/com/byte_order.h"
#include "rk/com/read_buffer.h"
#include "rk/com/someip/serialization/lengths.h"
#include "rk/com/someip/serialization/serialization_properties.h"
#include "rk/com/someip/serialization/type_traits.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace rk::com::someip::serialization {

using Input_bytes = std::vector<std::uint8_t>;
using Input_buffer = rk::com::Read_buffer<Input_bytes>;

template <typename Length, typename Buffer>
Length deserialize_length_field(Buffer& buffer, const Serialization_properties& properties) {
    static_assert(std::is_same_v<Length, std::uint8_t> || std::is_same_v<Length, std::uint16_t> ||
                      std::is_same_v<Length, std::uint32_t>,
                  "length fields are 8, 16 or 32 bits wide");
    Length length = 0;
    rk::com::byte_order::read_from_container(length, buffer, properties.byte_order);
    return length;
}

template <typename Buffer>
std::size_t deserialize_length_field_dispatch(std::size_t size, Buffer& buffer,
                                              const Serialization_properties& properties) {
    switch (size) {
    case 1:
        return deserialize_length_field<std::uint8_t>(buffer, properties);
    case 2:
        return deserialize_length_field<std::uint16_t>(buffer, properties);
    case 4:
        return deserialize_length_field<std::uint32_t>(buffer, properties);
    default:
        throw std::invalid_argument("Invalid value for length field size.");
    }
}

namespace detail {

// Where a record that starts at start and is record_length bytes long ends;
// the sum is only formed once it is known to fit.
inline std::size_t calc_record_end_offset_or_throw(std::size_t start, std::size_t payload_size,
                                                   std::size_t record_length) {
    if (record_length == no_record_length) {
        return payload_size;
    }
    if (record_length > std::numeric_limits<std::size_t>::max() - start) {
        throw std::overflow_error("Deserialization detected std::size_t overflow.");
    }
    if (start + record_length > payload_size) {
        throw std::out_of_range("Deserialization calculated invalid end position.");
    }
    return start + record_length;
}

// Strings carry no byte order mark.
template <typename Buffer>
void read_bom(Buffer&) {}

// The string becomes exactly the next length bytes; the length is checked
// against the payload before the string grows.
template <typename Buffer>
void read_string(Buffer& buffer, std::string& value, std::size_t length) {
    buffer.throw_if_out_of_range(length);
    value.resize(length);
    buffer.read_bytes(length, value.data());
}

// Strings carry no terminator.
template <typename Buffer>
void read_null_terminator(Buffer&) {}

}  // namespace detail

template <typename T, typename Buffer>
void deserialize_without_tag(Buffer& buffer, T& value, Serialization_properties properties);

// Decodes the data of a value (no length field); record_length limits a
// sequence, map or string, no_record_length leaves it to the payload's end.
template <typename T, typename Buffer>
void deserialize_dispatch(Buffer& buffer, T& value, Serialization_properties properties,
                          std::size_t record_length = no_record_length) {
    static_assert(is_serializable_v<T>, "type cannot be decoded from SOME/IP");
    if constexpr (is_basic_non_bool_type_v<T>) {
        if constexpr (std::is_enum_v<T>) {
            std::underlying_type_t<T> number{};
            rk::com::byte_order::read_from_container(number, buffer, properties.byte_order);
            value = static_cast<T>(number);
        } else {
            rk::com::byte_order::read_from_container(value, buffer, properties.byte_order);
        }
    } else if constexpr (is_std_array_v<T>) {
        for (auto& element : value) {
            deserialize_without_tag(buffer, element, properties);
        }
    } else if constexpr (is_std_vector_v<T>) {
        using Element = typename T::value_type;
        if (record_length == no_record_length) {
            throw std::invalid_argument(
                "Vectors must have a length field that deserializer can also deserialize it. "
                "Violation of PRS_SOMEIP_00376 & PRS_SOMEIP_00107!");
        }
        buffer.throw_if_out_of_range(record_length);
        value.clear();
        if constexpr (is_byte_sequence_v<T>) {
            if (record_length != 0) {
                value.resize(record_length);
                buffer.read_bytes(record_length, value.data());
            }
        } else {
            if constexpr (is_basic_non_bool_type_v<Element>) {
                value.reserve(record_length / sizeof(Element));
            }
            const std::size_t end = buffer.tell() + record_length;
            while (buffer.tell() < end) {
                const std::size_t before = buffer.tell();
                Element element{};
                deserialize_without_tag(buffer, element, properties);
                // An element that takes no bytes would repeat forever; what is
                // left is skipped by the record-length check like unknown data.
                if (buffer.tell() == before) {
                    break;
                }
                value.push_back(std::move(element));
            }
        }
    } else if constexpr (is_std_map_v<T>) {
        const std::size_t end =
            detail::calc_record_end_offset_or_throw(buffer.tell(), buffer.size(), record_length);
        value.clear();
        while (buffer.tell() < end) {
            typename T::key_type key{};
            typename T::mapped_type mapped{};
            deserialize_without_tag(buffer, key, properties);
            deserialize_without_tag(buffer, mapped, properties);
            value.emplace(std::move(key), std::move(mapped));
        }
    } else if constexpr (is_std_string_v<T>) {
        if (record_length == no_record_length) {
            throw std::invalid_argument("Invalid value for length field size.");
        }
        detail::read_bom(buffer);
        detail::read_string(buffer, value, record_length);
        detail::read_null_terminator(buffer);
    } else {
        value.visit_fields([&buffer, &properties](auto& field) {
            deserialize_without_tag(buffer, field, properties);
        });
    }
}

template <typename T, typename Buffer>
void deserialize_dispatch_with_record_length(Buffer& buffer, T& value, Serialization_properties properties,
                                             std::size_t record_length) {
    if (record_length < get_static_data_size<T>()) {
        throw std::out_of_range(
            "Violation of [PRS_SOMEIP_00900]: Record length provided by sender is smaller than expected. "
            "This is possibly due to a mismatch between the data models of sender and receiver.");
    }
    const std::size_t start = buffer.tell();
    deserialize_dispatch(buffer, value, properties, record_length);
    const std::size_t consumed = buffer.tell() - start;
    if (consumed > record_length) {
        throw std::out_of_range(
            "Violation of [PRS_SOMEIP_00900]: Record length given by sender is too small. "
            "This is possibly due to a mismatch between the data models of sender and receiver.");
    }
    if (consumed < record_length) {
        buffer.skip(record_length - consumed);
    }
}

template <typename T, typename Buffer>
void deserialize_without_tag(Buffer& buffer, T& value, Serialization_properties properties) {
    const std::size_t length_field_size = get_serialization_property_length_for_type<T>(properties);
    if (length_field_size != 0) {
        const std::size_t record_length = deserialize_length_field_dispatch(length_field_size, buffer, properties);
        deserialize_dispatch_with_record_length(buffer, value, properties, record_length);
    } else {
        deserialize_dispatch(buffer, value, properties, no_record_length);
    }
}

class Deserializer {
public:
    // The payload must outlive the deserializer; a temporary would not.
    explicit Deserializer(const Input_bytes& payload) noexcept : buffer_(payload) {}
    Deserializer(const Input_bytes&&) = delete;

    template <typename T>
    void deserialize(T& value) {
        deserialize_without_tag(buffer_, value, default_serialization_properties);
    }

    // Decodes method arguments in declaration order; bytes after the last are ignored.
    template <typename... Args>
    void deserialize_args(Args&... args) {
        (deserialize(args), ...);
    }

    // Bytes consumed so far.
    std::size_t tell() const noexcept { return buffer_.tell(); }

private:
    Input_buffer buffer_;
};

}  // namespace rk::com::someip::serialization
