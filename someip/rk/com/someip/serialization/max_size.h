// The most bytes a value of a type can take on the wire, so that a payload
// longer than the input of a method can ever be is refused before anything
// is decoded. A string, vector or map has no such bound, nor has a type that
// holds one: only the length of the payload limits it.
#pragma once

#include "rk/com/someip/serialization/serialization_properties.h"
#include "rk/com/someip/serialization/type_traits.h"

#include <cstddef>
#include <tuple>
#include <type_traits>

namespace rk::com::someip::serialization {

inline constexpr std::size_t unbounded_size = static_cast<std::size_t>(-1);

template <typename T>
std::size_t max_serialized_size(const Serialization_properties& properties = default_serialization_properties) {
    if constexpr (is_basic_non_bool_type_v<T>) {
        return sizeof(T);
    } else if constexpr (is_std_array_v<T>) {
        const std::size_t element = max_serialized_size<typename T::value_type>(properties);
        if (element == unbounded_size) return unbounded_size;
        return properties.array_length_field_size + std::tuple_size_v<T> * element;
    } else if constexpr (is_generated_type_v<T> && std::is_default_constructible_v<T>) {
        std::size_t total = 0;
        const T probe{};
        probe.visit_fields([&](const auto& field) {
            const std::size_t size = max_serialized_size<std::decay_t<decltype(field)>>(properties);
            total = total == unbounded_size || size == unbounded_size ? unbounded_size : total + size;
        });
        return total;
    } else {
        return unbounded_size;
    }
}

// The most bytes the arguments of a call can take, one after the other.
template <typename... Args>
std::size_t max_serialized_args_size() {
    std::size_t total = 0;
    for (const std::size_t size : {std::size_t{0}, max_serialized_size<Args>()...}) {
        total = total == unbounded_size || size == unbounded_size ? unbounded_size : total + size;
    }
    return total;
}

}  // namespace rk::com::someip::serialization
