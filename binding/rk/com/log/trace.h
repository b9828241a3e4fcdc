// Writes a communication incident: checks the incident's level at the logger
// first, so that a disabled incident costs only that check and builds no JSON.
#pragma once

#include "rk/com/json/serialization/detail/serialization_helper.h"
#include "rk/com/log/generic_logger.h"

namespace rk::com::log {

template <typename Incident, typename... Args>
void trace(const Generic_logger& logger, const Incident& incident, const Args&... args) noexcept {
    if (!logger.is_enabled(Incident::level)) return;
    json::serialization::detail::Serialization_helper helper;
    logger.write(helper.serialize(incident, args...), Incident::level);
}

}  // namespace rk::com::log
