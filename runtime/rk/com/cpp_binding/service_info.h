// Which service instance a port, a request or an incident belongs to.
#pragma once

#include "tq/com/runtime/identifiers.h"

#include <utility>

namespace rk::com::cpp_binding {

class Service_info {
public:
    Service_info() = default;
    Service_info(tq::com::runtime::Service_id service_id, tq::com::runtime::Instance_id instance_id)
        : service_id_(std::move(service_id)), instance_id_(std::move(instance_id)) {}

    const tq::com::runtime::Service_id& service_id() const noexcept { return service_id_; }
    const tq::com::runtime::Instance_id& instance_id() const noexcept { return instance_id_; }

    friend bool operator==(const Service_info& a, const Service_info& b) {
        return a.service_id_ == b.service_id_ && a.instance_id_ == b.instance_id_;
    }
    friend bool operator!=(const Service_info& a, const Service_info& b) { return !(a == b); }
    friend bool operator<(const Service_info& a, const Service_info& b) {
        if (a.service_id_ != b.service_id_) return a.service_id_ < b.service_id_;
        return a.instance_id_ < b.instance_id_;
    }

private:
    tq::com::runtime::Service_id service_id_;
    tq::com::runtime::Instance_id instance_id_;
};

}  // namespace rk::com::cpp_binding
