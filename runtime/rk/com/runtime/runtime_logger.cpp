#include "rk/com/runtime/runtime_logger.h"

namespace rk::com::runtime {

ara::log::Logger& runtime_logger() {
    static ara::log::Logger& logger = ara::log::CreateLogger("RCOM", "communication runtime");
    return logger;
}

}  // namespace rk::com::runtime
