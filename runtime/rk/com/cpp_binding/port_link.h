// Common part of provided and required ports: the port's incident logger and
// the service instance it belongs to.
#pragma once

#include "rk/com/cpp_binding/service_info.h"
#include "rk/com/log/generic_logger.h"

#include <utility>

namespace rk::com::cpp_binding {

class Port_link {
public:
    Port_link(rk::com::log::Generic_logger& logger, Service_info service_info)
        : logger_(logger), service_info_(std::move(service_info)) {}
    virtual ~Port_link() = default;
    Port_link(const Port_link&) = delete;
    Port_link& operator=(const Port_link&) = delete;

    rk::com::log::Generic_logger& logger() const noexcept { return logger_; }
    const Service_info& service_info() const noexcept { return service_info_; }

private:
    rk::com::log::Generic_logger& logger_;
    Service_info service_info_;
};

}  // namespace rk::com::cpp_binding
