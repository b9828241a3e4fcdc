// The communication runtime component. main creates it first and destroys it
// last; while it lives, skeletons and proxies reach the runtime through it.
// What ports took from it stays alive until they are gone.
#pragma once

#include "rk/com/runtime/runtime.h"

#include <memory>
#include <string>

namespace rk::com::runtime {

class Component_singleton {
public:
    // in_process_only: carry services only between ports of this process.
    // Otherwise SOME/IP over UDP with the deployment file at deployment_path,
    // or, when it is empty, the installed deployment or the compiled-in one;
    // a deployment that cannot be used throws someip::Deployment_error.
    Component_singleton(bool in_process_only, std::string deployment_path);
    // With a given transport (tests, or a transport built elsewhere).
    explicit Component_singleton(std::shared_ptr<Transport> transport);
    ~Component_singleton();
    Component_singleton(const Component_singleton&) = delete;
    Component_singleton& operator=(const Component_singleton&) = delete;

    // Both throw std::logic_error when no component lives.
    static std::shared_ptr<Thread_pool_factory> get_thread_pool_factory();
    static std::shared_ptr<Service_finder> get_service_finder();

    const std::shared_ptr<Runtime>& runtime() const noexcept { return runtime_; }

private:
    std::shared_ptr<Runtime> runtime_;
};

}  // namespace rk::com::runtime
