// Front class of one provided event E of a generated skeleton.
#pragma once

#include "rk/com/cpp_binding/skeleton/event_impl.h"

#include <functional>
#include <memory>
#include <utility>

namespace ara::com::internal::skeleton {

template <typename E>
class Event {
public:
    using Impl = rk::com::cpp_binding::skeleton::Event_impl<E>;
    using Data = typename E::Data;

    explicit Event(rk::com::cpp_binding::skeleton::Pport& port) : impl_(std::make_unique<Impl>(port)) {}

    virtual ~Event() = default;

    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // May be called from any thread.
    void Send(const Data& value) { impl_->Send(value); }

    void set_update_callback(std::function<void()> callback) { impl_->set_update_callback(std::move(callback)); }

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace ara::com::internal::skeleton
