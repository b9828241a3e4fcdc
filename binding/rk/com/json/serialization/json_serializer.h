// JSON forms of the values carried in incident records: type names
// (`get_type`), values (`to_json_value`), generated structures
// (`Json_serializer`) and the compact text of a record (`get_json_dump`).
#pragma once

#include "tq/com/generated_type.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace rk::com::json::serialization {

namespace detail {

template <typename T>
struct is_vector : std::false_type {};
template <typename T, typename A>
struct is_vector<std::vector<T, A>> : std::true_type {};

template <typename T>
struct is_std_array : std::false_type {};
template <typename T, std::size_t N>
struct is_std_array<std::array<T, N>> : std::true_type {};

template <typename T>
inline constexpr bool is_text_v =
    std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view> ||
    std::is_same_v<T, const char*> || std::is_same_v<T, char*>;

}  // namespace detail

// Type name of a value in a record's keys.
template <typename T>
constexpr const char* get_type() noexcept {
    using U = std::decay_t<T>;
    if constexpr (detail::is_text_v<U>) {
        return "string";
    } else if constexpr (std::is_enum_v<U>) {
        return "enum";
    } else if constexpr (std::is_same_v<U, std::uint8_t>) {
        return "uint8";
    } else if constexpr (detail::is_vector<U>::value) {
        return "vector";
    } else if constexpr (detail::is_std_array<U>::value) {
        return "array";
    } else if constexpr (tq::com::is_generated_type_v<U>) {
        return "generated_type";
    } else {
        return "undefined_type";
    }
}

template <typename T>
nlohmann::json to_json_value(const T& value);

// Stores a generated structure's fields in declaration order under
// "<counter>_<type name>", the counter starting at 1.
class Json_serializer {
public:
    template <typename Field>
    void operator()(const Field& field) {
        object_[std::to_string(counter_) + "_" + get_type<Field>()] = to_json_value(field);
        ++counter_;
    }

    template <typename T>
    static nlohmann::json serialize(const T& value) {
        Json_serializer serializer;
        tq::com::visit_fields(value, serializer);
        return std::move(serializer.object_);
    }

    const nlohmann::json& object() const noexcept { return object_; }

private:
    nlohmann::json object_ = nlohmann::json::object();
    std::uint32_t counter_{1};
};

template <typename T>
nlohmann::json to_json_value(const T& value) {
    using U = std::decay_t<T>;
    if constexpr (std::is_array_v<T> && detail::is_text_v<U>) {
        return nlohmann::json(std::string(value));
    } else if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*>) {
        return nlohmann::json(std::string(value != nullptr ? value : ""));
    } else if constexpr (std::is_same_v<U, std::string_view>) {
        return nlohmann::json(std::string(value));
    } else if constexpr (std::is_enum_v<U>) {
        return nlohmann::json(static_cast<std::underlying_type_t<U>>(value));
    } else if constexpr (detail::is_vector<U>::value || detail::is_std_array<U>::value) {
        nlohmann::json array = nlohmann::json::array();
        for (const auto& element : value) array.push_back(to_json_value(element));
        return array;
    } else if constexpr (tq::com::is_generated_type_v<U>) {
        return Json_serializer::serialize(value);
    } else {
        return nlohmann::json(value);
    }
}

// The compact text of a record, non-ASCII characters left as they are. When
// the library cannot produce it (invalid UTF-8), its error text stands instead.
inline std::string get_json_dump(const nlohmann::json& record) {
    try {
        return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const std::exception& error) {
        const char* text = error.what();
        return text != nullptr ? std::string(text) : std::string();
    }
}

}  // namespace rk::com::json::serialization

namespace nlohmann {

// Generated structures nested in tuples or other containers take the same
// form as at the top of a record.
template <typename T>
struct adl_serializer<T, std::enable_if_t<tq::com::is_generated_type_v<T>>> {
    static void to_json(json& j, const T& value) {
        j = rk::com::json::serialization::Json_serializer::serialize(value);
    }
};

}  // namespace nlohmann
