// Incidents of the service front classes: a skeleton that could not be
// instantiated, and a service search.
#pragma once

#include "ara/log/logging.h"
#include "tq/com/runtime/json_forms.h"

#include <nlohmann/json.hpp>

namespace ara::com::log::incidents {

struct Service_instantiation_error {
    static constexpr ara::log::LogLevel level = ara::log::LogLevel::kFatal;
    tq::com::runtime::Instance_id instance_id;
};

struct Find_service {
    static constexpr ara::log::LogLevel level = ara::log::LogLevel::kInfo;
    tq::com::runtime::Service_id_literal service_id;
    tq::com::runtime::Instance_id instance_id;
};

inline void to_json(nlohmann::json& j, const Service_instantiation_error& i) {
    j = nlohmann::json::object();
    j["1_id"] = "Service_instantiation_error";
    j["2_instance_id"] = i.instance_id;
}

inline void to_json(nlohmann::json& j, const Find_service& i) {
    j = nlohmann::json::object();
    j["1_id"] = "Find_service";
    j["2_service_id"] = i.service_id;
    j["3_instance_id"] = i.instance_id;
}

}  // namespace ara::com::log::incidents
