// Process-wide incident loggers of the communication binding. They are never
// destroyed, so objects destroyed after main (service singletons) may still
// log through them.
#pragma once

#include "rk/com/log/generic_logger.h"

namespace rk::com::cpp_binding {

// Context "CBND": incidents of the binding that belong to no port.
rk::com::log::Generic_logger& logger();

// Context "CPRT": the logger of every provided and required port.
rk::com::log::Generic_logger& port_logger();

}  // namespace rk::com::cpp_binding
