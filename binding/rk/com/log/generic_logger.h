// Writes communication incidents: checks the incident's level at the target
// first, so that a disabled incident costs only that check and builds no JSON.
#pragma once

#include "rk/com/json/serialization/detail/serialization_helper.h"
#include "rk/com/log/target/dlt.h"

#include <memory>
#include <utility>

namespace rk::com::log {

class Generic_logger {
public:
    explicit Generic_logger(std::shared_ptr<target::Dlt> target) : target_(std::move(target)) {}

    template <typename Incident, typename... Args>
    void trace(const Incident& incident, const Args&... args) const noexcept {
        if (!target_->is_log_level_enabled(Incident::level)) return;
        json::serialization::detail::Serialization_helper helper;
        target_->trace(helper.serialize(incident, args...), Incident::level);
    }

    const std::shared_ptr<target::Dlt>& target() const noexcept { return target_; }

private:
    std::shared_ptr<target::Dlt> target_;
};

}  // namespace rk::com::log
