// Base of the application errors an interface defines for its methods. A
// provider's handler stores one in its future; the skeleton answers with the
// error's code and its own encoded data.
#pragma once

#include "rk/com/someip/serialization/serializer.h"

#include <cstdint>
#include <exception>

namespace rk::com::cpp_binding {

class Application_error_exception : public std::exception {
public:
    const char* what() const noexcept override = 0;
    virtual std::uint8_t error() const noexcept = 0;
    virtual void serialize(someip::serialization::Serializer& serializer) const = 0;
};

}  // namespace rk::com::cpp_binding
