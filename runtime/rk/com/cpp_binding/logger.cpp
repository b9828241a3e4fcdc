#include "rk/com/cpp_binding/logger.h"

#include "ara/com/logger.h"

namespace {

rk::com::log::Generic_logger& make_logger(const char* context, const char* description) {
    // Deliberately leaked: used during static destruction.
    auto* logger = new rk::com::log::Generic_logger(std::make_shared<rk::com::log::target::Dlt>(
        ara::log::CreateLogger(context, description)));
    return *logger;
}

}  // namespace

namespace rk::com::cpp_binding {

rk::com::log::Generic_logger& logger() {
    static rk::com::log::Generic_logger& instance = make_logger("CBND", "communication binding");
    return instance;
}

rk::com::log::Generic_logger& port_logger() {
    static rk::com::log::Generic_logger& instance = make_logger("CPRT", "communication ports");
    return instance;
}

}  // namespace rk::com::cpp_binding

namespace ara::com {

rk::com::log::Generic_logger& logger() {
    static rk::com::log::Generic_logger& instance = make_logger("ARAC", "communication services");
    return instance;
}

}  // namespace ara::com
