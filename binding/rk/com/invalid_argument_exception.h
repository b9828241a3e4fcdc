// Raised when a service front class is given an argument it cannot work with
// (for example an empty instance identifier).
#pragma once

#include <stdexcept>
#include <string>

namespace rk::com {

class Invalid_argument_exception : public std::invalid_argument {
public:
    explicit Invalid_argument_exception(const std::string& what) : std::invalid_argument(what) {}
};

}  // namespace rk::com
