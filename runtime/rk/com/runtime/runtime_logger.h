// The log context of the communication runtime itself ("RCOM"): sockets,
// discovery and handlers that fail. Never destroyed.
#pragma once

#include "ara/log/logging.h"

namespace rk::com::runtime {

ara::log::Logger& runtime_logger();

}  // namespace rk::com::runtime
