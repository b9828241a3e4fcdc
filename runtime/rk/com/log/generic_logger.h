// Logger of communication incidents: asks its target whether a level is
// enabled and writes finished texts. The binding builds the texts
// (rk::com::log::trace), only after asking.
#pragma once

#include "rk/com/log/target/dlt.h"

#include <memory>
#include <string>
#include <utility>

namespace rk::com::log {

class Generic_logger {
public:
    explicit Generic_logger(std::shared_ptr<target::Dlt> target) : target_(std::move(target)) {}

    bool is_enabled(ara::log::LogLevel level) const noexcept {
        return target_->is_log_level_enabled(level);
    }
    void write(const std::string& text, ara::log::LogLevel level) const noexcept {
        target_->trace(text, level);
    }

private:
    std::shared_ptr<target::Dlt> target_;
};

}  // namespace rk::com::log
