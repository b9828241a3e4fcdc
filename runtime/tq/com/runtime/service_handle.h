// What service discovery returns for one found instance.
#pragma once

#include "tq/com/runtime/identifiers.h"

#include <memory>
#include <utility>

namespace tq::com::runtime {

struct Service_instance {
    Service_id service_id;
    Instance_id instance_id;
};

class Service_handle {
public:
    explicit Service_handle(std::shared_ptr<const Service_instance> instance)
        : instance_(std::move(instance)) {}

    const Service_id& get_service_id() const noexcept { return instance_->service_id; }
    const Instance_id& get_instance_id() const noexcept { return instance_->instance_id; }

    friend bool operator==(const Service_handle& a, const Service_handle& b) {
        return a.get_service_id() == b.get_service_id() &&
               a.get_instance_id() == b.get_instance_id();
    }

private:
    std::shared_ptr<const Service_instance> instance_;
};

}  // namespace tq::com::runtime
