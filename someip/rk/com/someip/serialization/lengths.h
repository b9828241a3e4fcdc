// Length computations: which length field a value carries, how many bytes its
// data takes, and how long a whole entry (tag, length field, data) is.
#pragma once

#include "rk/com/someip/serialization/serialization_properties.h"
#include "rk/com/someip/serialization/type_traits.h"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace rk::com::someip::serialization {

// Size of the length field in front of a value of type T when it carries no tag.
template <typename T>
std::size_t get_serialization_property_length_for_type(const Serialization_properties& properties) {
    static_assert(is_serializable_v<T>, "type cannot be encoded as SOME/IP");
    if constexpr (is_sequence_v<T> || is_std_map_v<T>) {
        return properties.array_length_field_size;
    } else if constexpr (is_std_string_v<T>) {
        return properties.string_length_field_size;
    } else {
        return 0;
    }
}

// The fixed length-field sizes of wire types 5, 6 and 7; 0 for every other.
constexpr std::size_t get_length_field_byte_size_for_wire_type(Wire_type wire_type) noexcept {
    switch (wire_type) {
    case Wire_type::kComplex_1_byte_length:
        return 1;
    case Wire_type::kComplex_2_byte_length:
        return 2;
    case Wire_type::kComplex_4_byte_length:
        return 4;
    default:
        return 0;
    }
}

inline std::size_t get_length_field_size_for_wire_type(Wire_type wire_type,
                                                        const Serialization_properties& properties) {
    if (wire_type != Wire_type::kComplex_configured_length) {
        return get_length_field_byte_size_for_wire_type(wire_type);
    }
    const auto size = properties.array_length_field_size;
    if (size == 0 || properties.string_length_field_size != size ||
        properties.struct_length_field_size != size) {
        throw std::runtime_error(
            "Violation of COM.PRS_SOMEIP_00215: All length fields must have same size and not be 0 "
            "when wire type 4 is used (" +
            std::to_string(properties.array_length_field_size) + "," +
            std::to_string(properties.string_length_field_size) + "," +
            std::to_string(properties.struct_length_field_size) + ")");
    }
    return size;
}

template <typename T>
std::size_t get_length_field_size_for_type(const Serialization_properties& properties,
                                           const Optional_wire_type& wire_type = {}) {
    if (wire_type) {
        return get_length_field_size_for_wire_type(*wire_type, properties);
    }
    return get_serialization_property_length_for_type<T>(properties);
}

// The fewest data bytes a value of type T can take; a record length below it
// cannot be right.
template <typename T>
constexpr std::size_t get_static_data_size() noexcept {
    if constexpr (is_basic_non_bool_type_v<T>) {
        return sizeof(T);
    } else {
        return 0;
    }
}

template <typename T>
std::size_t get_data_length_dispatch(const T& value, Serialization_properties properties);

template <typename T>
std::size_t get_entry_length_dispatch(const T& value, Serialization_properties properties,
                                      const Optional_wire_type& wire_type = {}) {
    const std::size_t tag_size = wire_type ? 2 : 0;
    return tag_size + get_length_field_size_for_type<T>(properties, wire_type) +
           get_data_length_dispatch(value, properties);
}

namespace detail {

struct SizeAccumulator {
    std::size_t size = 0;
    const Serialization_properties& properties;

    template <typename T>
    void operator()(const T& element) {
        size += get_entry_length_dispatch(element, properties);
    }
};

}  // namespace detail

template <typename T>
std::size_t get_data_length_dispatch(const T& value, Serialization_properties properties) {
    static_assert(is_serializable_v<T>, "type cannot be encoded as SOME/IP");
    if constexpr (is_basic_non_bool_type_v<T>) {
        return sizeof(T);
    } else if constexpr (is_std_string_v<T>) {
        return value.size();
    } else if constexpr (is_sequence_of_basic_v<T>) {
        return value.size() * sizeof(typename T::value_type);
    } else {
        detail::SizeAccumulator accumulator{0, properties};
        if constexpr (is_sequence_v<T>) {
            for (const auto& element : value) {
                accumulator(element);
            }
        } else if constexpr (is_std_map_v<T>) {
            for (const auto& entry : value) {
                accumulator(entry.first);
                accumulator(entry.second);
            }
        } else {
            value.visit_fields(accumulator);
        }
        return accumulator.size;
    }
}

}  // namespace rk::com::someip::serialization
