// Failures of the communication infrastructure as a caller of a required
// service sees them: the transport failed (with its 8-bit return code), or
// the service instance is not available.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace rk::com {

class Infrastructure_exception : public std::logic_error {
public:
    explicit Infrastructure_exception(const std::string& what) : std::logic_error(what) {}
    explicit Infrastructure_exception(const char* what) : std::logic_error(what) {}
};

class Transport_exception : public Infrastructure_exception {
public:
    explicit Transport_exception(std::uint8_t return_code)
        : Infrastructure_exception("Transport exception"), return_code_(return_code) {}

    std::uint8_t return_code() const noexcept { return return_code_; }

private:
    std::uint8_t return_code_;
};

class Service_not_available_exception : public Infrastructure_exception {
public:
    Service_not_available_exception() : Infrastructure_exception("Service not available exception") {}
};

}  // namespace rk::com
