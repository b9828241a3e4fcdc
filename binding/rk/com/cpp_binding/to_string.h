// Text of an exception as the binding's incident records carry it.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace rk::com::cpp_binding {

// "Exception: " followed by what(), or by "what() returned null ptr".
inline std::string to_string(const std::exception& error) {
    const char* text = error.what();
    return std::string("Exception: ") + (text != nullptr ? text : "what() returned null ptr");
}

// The same for a stored standard exception; anything else is rethrown, and
// an empty pointer raises std::invalid_argument.
inline std::string to_string(const std::exception_ptr& error) {
    if (!error) throw std::invalid_argument("no exception stored");
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return to_string(e);
    }
}

}  // namespace rk::com::cpp_binding
