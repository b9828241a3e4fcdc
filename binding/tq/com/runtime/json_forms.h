// JSON forms of the identification values in incident records. Service_id is
// written under the unnumbered key "string", as readers of the records expect.
#pragma once

#include "tq/com/runtime/identifiers.h"
#include "tq/com/runtime/service_handle.h"

#include <nlohmann/json.hpp>

#include <string>

namespace tq::com::runtime {

inline void to_json(nlohmann::json& j, const Instance_id& id) {
    j = nlohmann::json::object();
    j["1_id"] = "Instance_id";
    j["2_string"] = id.to_string();
}

inline void to_json(nlohmann::json& j, const Service_id& id) {
    j = nlohmann::json::object();
    j["1_id"] = "Service_id";
    j["string"] = id.to_string();
}

inline void to_json(nlohmann::json& j, const Service_id_literal& id) {
    j = nlohmann::json::object();
    j["1_id"] = "Service_id";
    j["2_char const*"] = std::string(id.c_str() != nullptr ? id.c_str() : "");
}

inline void to_json(nlohmann::json& j, const Service_handle& handle) {
    j = nlohmann::json::object();
    j["1_id"] = "Service_handle";
    j["2_service_id"] = handle.get_service_id();
    j["3_instance_id"] = handle.get_instance_id();
}

}  // namespace tq::com::runtime
