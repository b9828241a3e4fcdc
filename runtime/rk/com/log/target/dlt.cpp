#include "rk/com/log/target/dlt.h"

namespace rk::com::log::target {

void Dlt::trace(const std::string& text, ara::log::LogLevel level) const noexcept {
    try {
        ara::log::Record record{level, logger_.context_id(), {ara::log::Argument(text)}};
        logger_.write(record);
    } catch (...) {
        // Logging never fails a communication step.
    }
}

}  // namespace rk::com::log::target
