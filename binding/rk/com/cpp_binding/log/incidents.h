// Incidents of the communication binding. Each is a small value with its
// level; its JSON form lists "1_id" (the incident's name) and its fields under
// numbered keys, which keeps them in order in the sorted JSON object.
//
// An incident is made for one trace call and refers to its port's service
// info instead of copying it: a disabled level then costs no allocation.
#pragma once

#include "ara/log/logging.h"
#include "rk/com/cpp_binding/defaults.h"
#include "rk/com/cpp_binding/service_info.h"
#include "tq/com/runtime/json_forms.h"

#include <nlohmann/json.hpp>

#include <cstdint>

namespace rk::com::cpp_binding::log::incidents {

using Level = ara::log::LogLevel;

struct Service_skeleton_constructed {
    static constexpr Level level = Level::kInfo;
    const Service_info& service_info;
    defaults::Compile_options options;
};

struct Service_proxy_constructed {
    static constexpr Level level = Level::kInfo;
    const Service_info& service_info;
    defaults::Compile_options options;
};

struct Offer_service {
    static constexpr Level level = Level::kInfo;
    const Service_info& service_info;
};

struct Stop_offer_service {
    static constexpr Level level = Level::kInfo;
    const Service_info& service_info;
};

struct Event_update_tx {
    static constexpr Level level = Level::kDebug;
    std::uint16_t event_id;
};

struct Event_request_update_err {
    static constexpr Level level = Level::kError;
    const Service_info& service_info;
    std::uint16_t event_id;
};

struct Method_call_request_err {
    static constexpr Level level = Level::kError;
    const Service_info& service_info;
    std::uint16_t method_id;
    std::uint8_t error_code;
};

struct Method_call_request_process {
    static constexpr Level level = Level::kVerbose;
    const Service_info& service_info;
    std::uint16_t method_id;
    std::uint16_t method_call_id;
};

struct Method_call_request_exception {
    static constexpr Level level = Level::kFatal;
    const Service_info& service_info;
    std::uint16_t method_id;
};

struct Method_call_response_tx {
    static constexpr Level level = Level::kDebug;
    const Service_info& service_info;
    std::uint16_t method_id;
    std::uint16_t method_call_id;
    std::uint8_t error_code;
};

struct Method_call_request_tx {
    static constexpr Level level = Level::kDebug;
    const Service_info& service_info;
    std::uint16_t method_id;
};

struct Method_call_response_rx {
    static constexpr Level level = Level::kDebug;
    const Service_info& service_info;
    std::uint16_t method_id;
    std::uint8_t error_code;
};

struct Method_call_response_invalid_code {
    static constexpr Level level = Level::kError;
    const Service_info& service_info;
    std::uint16_t method_id;
    std::uint8_t error_code;
};

struct Method_call_deserializer_exception {
    static constexpr Level level = Level::kError;
    const Service_info& service_info;
    std::uint16_t method_id;
    std::uint8_t error_code;
};

constexpr const char* get_incident_id(const Service_skeleton_constructed&) { return "Service_skeleton_constructed"; }
constexpr const char* get_incident_id(const Service_proxy_constructed&) { return "Service_proxy_constructed"; }
constexpr const char* get_incident_id(const Offer_service&) { return "Offer_service"; }
constexpr const char* get_incident_id(const Stop_offer_service&) { return "Stop_offer_service"; }
constexpr const char* get_incident_id(const Event_update_tx&) { return "Event_update_tx"; }
constexpr const char* get_incident_id(const Event_request_update_err&) { return "Event_request_update_err"; }
constexpr const char* get_incident_id(const Method_call_request_err&) { return "Method_call_request_err"; }
constexpr const char* get_incident_id(const Method_call_request_process&) { return "Method_call_request_process"; }
constexpr const char* get_incident_id(const Method_call_request_exception&) { return "Method_call_request_exception"; }
constexpr const char* get_incident_id(const Method_call_response_tx&) { return "Method_call_response_tx"; }
constexpr const char* get_incident_id(const Method_call_request_tx&) { return "Method_call_request_tx"; }
constexpr const char* get_incident_id(const Method_call_response_rx&) { return "Method_call_response_rx"; }
constexpr const char* get_incident_id(const Method_call_response_invalid_code&) { return "Method_call_response_invalid_code"; }
constexpr const char* get_incident_id(const Method_call_deserializer_exception&) { return "Method_call_deserializer_exception"; }

namespace detail {

template <typename Incident>
nlohmann::json with_service(const Incident& incident) {
    nlohmann::json j = nlohmann::json::object();
    j["1_id"] = get_incident_id(incident);
    j["2_service_id"] = incident.service_info.service_id();
    j["3_instance_id"] = incident.service_info.instance_id();
    return j;
}

template <typename Incident>
void constructed(nlohmann::json& j, const Incident& incident) {
    j = with_service(incident);
    j["4_struct4bytes"] = defaults::to_string(incident.options.struct4bytes);
    j["5_utf8simple"] = defaults::to_string(incident.options.utf8simple);
}

template <typename Incident>
void with_method_and_code(nlohmann::json& j, const Incident& incident) {
    j = with_service(incident);
    j["4_method_id"] = incident.method_id;
    j["5_error_code"] = incident.error_code;
}

}  // namespace detail

inline void to_json(nlohmann::json& j, const Service_skeleton_constructed& i) { detail::constructed(j, i); }
inline void to_json(nlohmann::json& j, const Service_proxy_constructed& i) { detail::constructed(j, i); }
inline void to_json(nlohmann::json& j, const Offer_service& i) { j = detail::with_service(i); }
inline void to_json(nlohmann::json& j, const Stop_offer_service& i) { j = detail::with_service(i); }

inline void to_json(nlohmann::json& j, const Event_update_tx& i) {
    j = nlohmann::json::object();
    j["1_id"] = get_incident_id(i);
    j["2_Event_id"] = i.event_id;
}

inline void to_json(nlohmann::json& j, const Event_request_update_err& i) {
    j = detail::with_service(i);
    j["4_event_id"] = i.event_id;
}

inline void to_json(nlohmann::json& j, const Method_call_request_err& i) { detail::with_method_and_code(j, i); }

inline void to_json(nlohmann::json& j, const Method_call_request_process& i) {
    j = detail::with_service(i);
    j["4_method_id"] = i.method_id;
    j["5_method_call_id"] = i.method_call_id;
}

inline void to_json(nlohmann::json& j, const Method_call_request_exception& i) {
    j = detail::with_service(i);
    j["4_method_id"] = i.method_id;
}

inline void to_json(nlohmann::json& j, const Method_call_response_tx& i) {
    j = detail::with_service(i);
    j["4_method_id"] = i.method_id;
    j["5_method_call_id"] = i.method_call_id;
    j["6_error_code"] = i.error_code;
}

inline void to_json(nlohmann::json& j, const Method_call_request_tx& i) {
    j = detail::with_service(i);
    j["4_method_id"] = i.method_id;
}

inline void to_json(nlohmann::json& j, const Method_call_response_rx& i) { detail::with_method_and_code(j, i); }
inline void to_json(nlohmann::json& j, const Method_call_response_invalid_code& i) { detail::with_method_and_code(j, i); }
inline void to_json(nlohmann::json& j, const Method_call_deserializer_exception& i) { detail::with_method_and_code(j, i); }

}  // namespace rk::com::cpp_binding::log::incidents
