// Incident logger of the service front classes (instantiation and search),
// context "ARAC"; never destroyed.
#pragma once

#include "rk/com/log/generic_logger.h"

namespace ara::com {

rk::com::log::Generic_logger& logger();

}  // namespace ara::com
