// Log target of the communication binding's incident records: asks the
// platform logging whether a level is enabled, and writes a finished text.
#pragma once

#include "ara/log/logging.h"

#include <string>

namespace rk::com::log::target {

class Dlt {
public:
    explicit Dlt(const ara::log::Logger& logger) noexcept : logger_(logger) {}

    bool is_log_level_enabled(ara::log::LogLevel level) const noexcept {
        return logger_.IsLogEnabled(level);
    }

    // Writes the text as one message of one text argument.
    void trace(const std::string& text, ara::log::LogLevel level) const noexcept;

    const ara::log::Logger& logger() const noexcept { return logger_; }

private:
    const ara::log::Logger& logger_;
};

}  // namespace rk::com::log::target
