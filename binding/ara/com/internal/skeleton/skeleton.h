// Front class of a provided service interface I. The generated skeleton of
// an interface derives from it and builds its methods and events on
// method_dispatcher() and port_link().
//
// A service withdraws its offer (StopOfferService) in its own destructor,
// before its members go. Destroying a skeleton that is still offered
// withdraws it too: the provided port's destructor stops a standing offer
// (the StopOffer goes out) but logs no Stop_offer_service incident, and the
// dispatcher is gone by then.
#pragma once

#include "ara/com/log/incidents.h"
#include "ara/com/logger.h"
#include "rk/com/cpp_binding/defaults.h"
#include "rk/com/cpp_binding/log/incidents.h"
#include "rk/com/cpp_binding/method_call_processing_mode.h"
#include "rk/com/cpp_binding/skeleton/skeleton_impl.h"
#include "rk/com/invalid_argument_exception.h"
#include "rk/com/log/trace.h"

#include <memory>
#include <string>
#include <utility>

namespace ara::com::internal::skeleton {

template <typename I>
class Skeleton {
public:
    Skeleton(tq::com::runtime::Instance_id instance_id, rk::com::cpp_binding::Method_call_processing_mode mode)
        : impl_(make_impl(std::move(instance_id), mode)) {
        rk::com::log::trace(
            impl_->port().logger(),
            rk::com::cpp_binding::log::incidents::Service_skeleton_constructed{
                impl_->port().service_info(), rk::com::cpp_binding::defaults::compile_options()});
    }

    virtual ~Skeleton() = default;

    Skeleton(const Skeleton&) = delete;
    Skeleton& operator=(const Skeleton&) = delete;

    // Runs the fields' offer checks, starts the dispatcher, then offers.
    void OfferService() {
        auto& port = impl_->port();
        rk::com::log::trace(port.logger(), rk::com::cpp_binding::log::incidents::Offer_service{
                                               port.service_info()});
        impl_->field_handler().run_offer_cond_checks();
        impl_->method_dispatcher().start();
        port.start_offer();
    }

    // Withdraws the offer, then stops the dispatcher, which returns once every
    // request already handed to the method processor has finished.
    void StopOfferService() {
        auto& port = impl_->port();
        rk::com::log::trace(port.logger(), rk::com::cpp_binding::log::incidents::Stop_offer_service{
                                               port.service_info()});
        port.stop_offer();
        impl_->method_dispatcher().stop();
    }

    rk::com::cpp_binding::skeleton::Pport& port_link() noexcept { return impl_->port(); }
    rk::com::cpp_binding::skeleton::Method_dispatcher& method_dispatcher() noexcept {
        return impl_->method_dispatcher();
    }

private:
    using Impl = rk::com::cpp_binding::skeleton::Skeleton_impl<I>;

    static std::unique_ptr<Impl> make_impl(tq::com::runtime::Instance_id instance_id,
                                           rk::com::cpp_binding::Method_call_processing_mode mode) {
        try {
            return std::make_unique<Impl>(instance_id, mode);
        } catch (const rk::com::Invalid_argument_exception& error) {
            rk::com::log::trace(ara::com::logger(),
                                ara::com::log::incidents::Service_instantiation_error{instance_id},
                                std::string(error.what()));
            throw;
        }
    }

    std::unique_ptr<Impl> impl_;
};

}  // namespace ara::com::internal::skeleton
