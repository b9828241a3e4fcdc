// How a generated data type (a structure of an interface definition) exposes
// its fields to the code that encodes it: the SOME/IP serializer and the JSON
// form of incident records.
//
// Convention: a generated structure opts in by defining two member templates
// that call a visitor once per field, in declaration order:
//
//     struct Output {
//         std::array<std::uint8_t, 1> count;
//         std::vector<std::uint8_t> data;
//         template <typename Visitor> void visit_fields(Visitor&& v) { v(count); v(data); }
//         template <typename Visitor> void visit_fields(Visitor&& v) const { v(count); v(data); }
//     };
//
// `is_generated_type_v<T>` is true exactly for such types, and
// `visit_fields(value, visitor)` walks the fields (const or not).
#pragma once

#include <type_traits>
#include <utility>

namespace tq::com {

namespace generated_type_detail {

// Accepts any field; used only to detect the member template.
struct Any_field_probe {
    template <typename Field>
    void operator()(Field&&) const {}
};

}  // namespace generated_type_detail

template <typename T, typename = void>
struct is_generated_type : std::false_type {};

template <typename T>
struct is_generated_type<
    T, std::void_t<decltype(std::declval<const T&>().visit_fields(
           std::declval<generated_type_detail::Any_field_probe&>()))>> : std::true_type {};

template <typename T>
inline constexpr bool is_generated_type_v = is_generated_type<std::decay_t<T>>::value;

template <typename T, typename Visitor>
void visit_fields(T&& value, Visitor&& visitor) {
    static_assert(is_generated_type_v<T>, "not a generated type");
    std::forward<T>(value).visit_fields(std::forward<Visitor>(visitor));
}

}  // namespace tq::com
