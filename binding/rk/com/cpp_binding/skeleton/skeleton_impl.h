// The runtime side of one provided service instance: its provided port, its
// fields and the method dispatcher that hands its requests to the method
// processor chosen by the processing mode.
#pragma once

#include "rk/com/cpp_binding/method_call_processing_mode.h"
#include "rk/com/cpp_binding/skeleton/field_handler.h"
#include "rk/com/cpp_binding/skeleton/method_dispatcher.h"
#include "rk/com/cpp_binding/skeleton/method_processors.h"
#include "rk/com/cpp_binding/skeleton/pport.h"
#include "rk/com/invalid_argument_exception.h"
#include "rk/com/runtime/component_singleton.h"
#include "tq/com/interface.h"

#include <memory>
#include <utility>

namespace rk::com::cpp_binding::skeleton {

template <typename I>
class Skeleton_impl : private tq::com::Interface {
public:
    // Throws Invalid_argument_exception for an empty instance identifier, and
    // std::logic_error when no runtime component lives.
    Skeleton_impl(tq::com::runtime::Instance_id instance_id, Method_call_processing_mode mode)
        : port_(tq::com::runtime::Service_id(I::id()), checked(std::move(instance_id)), I::description()),
          pool_(runtime::Component_singleton::get_thread_pool_factory()->get_thread_pool(1)),
          dispatcher_(std::make_shared<Method_dispatcher>(
              port_, create_method_processor(mode, *pool_, port_.service_info()))) {}

    // Releases the dispatcher (which waits for requests still running), the
    // field handler and the port, in that order.
    ~Skeleton_impl() override = default;

    Skeleton_impl(const Skeleton_impl&) = delete;
    Skeleton_impl& operator=(const Skeleton_impl&) = delete;

    Pport& port() noexcept { return port_; }
    Field_handler& field_handler() noexcept { return field_handler_; }
    Method_dispatcher& method_dispatcher() noexcept { return *dispatcher_; }

private:
    static tq::com::runtime::Instance_id checked(tq::com::runtime::Instance_id instance_id) {
        if (instance_id.to_string().empty()) {
            throw Invalid_argument_exception("Instance id of a provided service must not be empty");
        }
        return instance_id;
    }

    Pport port_;
    Field_handler field_handler_;
    // The processor runs on this pool; held here so that it outlives the
    // dispatcher whatever becomes of the runtime component.
    std::shared_ptr<static_thread_pool> pool_;
    std::shared_ptr<Method_dispatcher> dispatcher_;
};

}  // namespace rk::com::cpp_binding::skeleton
