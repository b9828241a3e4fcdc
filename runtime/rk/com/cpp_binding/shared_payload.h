// Buffers for encoded payloads.
#pragma once

#include "tq/com/runtime/serialized_payload.h"

#include <cstddef>

namespace rk::com::cpp_binding {

// A new, empty buffer with room reserved for the expected size.
tq::com::runtime::Shared_payload get_shared_payload(std::size_t expected_size);

}  // namespace rk::com::cpp_binding
