// How a provided service's method calls are executed.
#pragma once

#include <cstdint>

namespace rk::com::cpp_binding {

enum class Method_call_processing_mode : std::uint8_t {
    // Requests are dropped: no handler runs and no reply is sent (any value
    // other than 1 and 2 too).
    kDropRequests = 0,
    // In parallel on the runtime's thread pool.
    kEvent = 1,
    // One after the other, in the order received.
    kEventSingleThread = 2,
};

}  // namespace rk::com::cpp_binding
