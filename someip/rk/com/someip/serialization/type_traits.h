// Compile-time categories of the value types the serializer understands:
// basic values (integers and enumerations, not bool), sequences (std::array,
// std::vector), maps (std::map), strings (std::string) and generated structures.
//
// Generated structures. A type counts as a generated structure when it offers
// both overloads of a field visitor that calls f once per field, in
// declaration order:
//
//     struct Output {
//         std::array<std::uint8_t, 1> count;
//         std::vector<std::uint8_t> data;
//
//         template <typename F> void visit_fields(F&& f) { f(count); f(data); }
//         template <typename F> void visit_fields(F&& f) const { f(count); f(data); }
//     };
//
// Nothing needs to be included for this. The fields are encoded one after
// the other with no length field around the structure. A type whose fields
// are reached another way can specialise is_generated_type<T> as
// std::true_type and provide the same two members.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace rk::com::someip::serialization {

template <typename T>
inline constexpr bool is_basic_non_bool_type_v =
    (std::is_integral_v<T> || std::is_enum_v<T>) && !std::is_same_v<T, bool>;

template <typename T>
struct is_std_array : std::false_type {};
template <typename T, std::size_t N>
struct is_std_array<std::array<T, N>> : std::true_type {};
template <typename T>
inline constexpr bool is_std_array_v = is_std_array<T>::value;

template <typename T>
struct is_std_vector : std::false_type {};
template <typename T, typename A>
struct is_std_vector<std::vector<T, A>> : std::true_type {};
template <typename T>
inline constexpr bool is_std_vector_v = is_std_vector<T>::value;

template <typename T>
inline constexpr bool is_sequence_v = is_std_array_v<T> || is_std_vector_v<T>;

template <typename T>
struct is_std_map : std::false_type {};
template <typename K, typename V, typename C, typename A>
struct is_std_map<std::map<K, V, C, A>> : std::true_type {};
template <typename T>
inline constexpr bool is_std_map_v = is_std_map<T>::value;

template <typename T>
inline constexpr bool is_std_string_v = std::is_same_v<T, std::string>;

namespace detail {

struct Field_probe {
    template <typename Field>
    void operator()(Field&&) const {}
};

template <typename T, typename = void>
struct has_field_visitor : std::false_type {};
template <typename T>
struct has_field_visitor<T, std::void_t<decltype(std::declval<T&>().visit_fields(Field_probe{})),
                                        decltype(std::declval<const T&>().visit_fields(Field_probe{}))>>
    : std::true_type {};

}  // namespace detail

template <typename T>
struct is_generated_type : detail::has_field_visitor<T> {};
template <typename T>
inline constexpr bool is_generated_type_v = is_generated_type<T>::value;

// Sequences of single bytes need no byte order and are copied as a block.
template <typename T, typename = void>
struct is_sequence_of_basic : std::false_type {};
template <typename T>
struct is_sequence_of_basic<T, std::enable_if_t<is_sequence_v<T>>>
    : std::bool_constant<is_basic_non_bool_type_v<typename T::value_type>> {};
template <typename T>
inline constexpr bool is_sequence_of_basic_v = is_sequence_of_basic<T>::value;

template <typename T, typename = void>
struct is_byte_sequence : std::false_type {};
template <typename T>
struct is_byte_sequence<T, std::enable_if_t<is_sequence_of_basic_v<T>>>
    : std::bool_constant<sizeof(typename T::value_type) == 1> {};
template <typename T>
inline constexpr bool is_byte_sequence_v = is_byte_sequence<T>::value;

template <typename T>
inline constexpr bool is_serializable_v = is_basic_non_bool_type_v<T> || is_sequence_v<T> ||
                                          is_std_map_v<T> || is_std_string_v<T> ||
                                          is_generated_type_v<T>;

}  // namespace rk::com::someip::serialization
