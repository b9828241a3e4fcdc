// Builds the text of one incident record: {"1_incident":...,"2_data":{...}}.
// The argument counter lives in the helper, made afresh for every record, so
// that threads sharing a logger never share a counter.
#pragma once

#include "rk/com/json/serialization/json_serializer.h"

#include <cstdint>
#include <string>

namespace rk::com::json::serialization::detail {

class Serialization_helper {
public:
    // Never throws: a record that cannot be built is an empty text.
    template <typename Incident, typename... Args>
    std::string serialize(const Incident& incident, const Args&... args) noexcept {
        try {
            counter_ = 1;
            nlohmann::json record = nlohmann::json::object();
            record["1_incident"] = incident;
            if constexpr (sizeof...(Args) > 0) {
                nlohmann::json data = nlohmann::json::object();
                (add(data, args), ...);
                record["2_data"] = std::move(data);
            }
            return get_json_dump(record);
        } catch (...) {
            return std::string();
        }
    }

    // "<counter>_<type name>"; raises the counter.
    template <typename T>
    std::string get_arg_key() {
        return std::to_string(counter_++) + "_" + get_type<T>();
    }

private:
    template <typename T>
    void add(nlohmann::json& data, const T& value) {
        std::string key = get_arg_key<T>();
        data[key] = to_json_value(value);
    }

    std::uint32_t counter_{1};
};

}  // namespace rk::com::json::serialization::detail
