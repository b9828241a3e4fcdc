#include "rk/com/cpp_binding/shared_payload.h"

namespace rk::com::cpp_binding {

tq::com::runtime::Shared_payload get_shared_payload(std::size_t expected_size) {
    auto buffer = std::make_shared<tq::com::runtime::Payload_buffer>();
    buffer->reserve(expected_size);
    return buffer;
}

}  // namespace rk::com::cpp_binding
