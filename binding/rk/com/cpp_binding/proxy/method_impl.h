// One method of a required service: sends a request through the port and
// returns the future that the reply fulfils or fails.
//
// The response handler owns copies of what it needs (a share of the promise,
// the service info, the process-wide port logger), never the proxy, so a
// reply may arrive after the proxy and the caller's future are gone.
#pragma once

#include "rk/com/cpp_binding/log/incidents.h"
#include "rk/com/cpp_binding/proxy/handle_error.h"
#include "rk/com/cpp_binding/proxy/method_impl_base.h"
#include "rk/com/cpp_binding/shared_payload.h"
#include "rk/com/infrastructure_exception.h"
#include "rk/com/log/trace.h"
#include "rk/com/someip/serialization/deserializer.h"
#include "rk/com/someip/serialization/serializer.h"
#include "tq/com/future.h"

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace rk::com::cpp_binding::proxy {

namespace detail {

template <typename M, typename R>
class Response_handler {
public:
    Response_handler(const rk::com::log::Generic_logger& logger, std::shared_ptr<tq::com::Promise<R>> promise,
                     Service_info service_info)
        : logger_(&logger), promise_(std::move(promise)), service_info_(std::move(service_info)) {}

    void operator()(std::uint8_t return_code, const tq::com::runtime::Serialized_payload& payload) const {
        if (return_code != runtime::return_code::ok) {
            handle_error<M>(*logger_, service_info_, return_code, promise_, payload);
            return;
        }
        if constexpr (std::is_void_v<R>) {
            log_received(return_code);
            promise_->set_value();
        } else {
            const std::vector<std::uint8_t> bytes = payload.payload();
            R result{};
            try {
                someip::serialization::Deserializer deserializer(bytes);
                deserializer.deserialize(result);
            } catch (const std::exception& error) {
                rk::com::log::trace(*logger_,
                                    log::incidents::Method_call_deserializer_exception{
                                        service_info_, M::id, return_code},
                                    std::string(error.what() != nullptr ? error.what() : ""));
                promise_->set_exception(std::make_exception_ptr(Transport_exception(invalid_reply)));
                return;
            }
            log_received(return_code);
            promise_->set_value(std::move(result));
        }
    }

private:
    void log_received(std::uint8_t return_code) const {
        rk::com::log::trace(
            *logger_, log::incidents::Method_call_response_rx{service_info_, M::id, return_code});
    }

    const rk::com::log::Generic_logger* logger_;
    std::shared_ptr<tq::com::Promise<R>> promise_;
    Service_info service_info_;
};

}  // namespace detail

// Fire_and_forget selects one-way methods, which no interface here has.
template <typename M, bool Fire_and_forget, typename Signature>
class Method_impl;

template <typename M, typename R, typename... Args>
class Method_impl<M, false, R(Args...)> : public Method_impl_base {
public:
    using Method_impl_base::Method_impl_base;

    // Throws Service_not_available_exception, without sending or logging,
    // while the instance is not available; every later failure reaches the
    // caller through the future.
    tq::com::Future<R> call(const std::decay_t<Args>&... args) {
        Rport& port = port_link();
        if (!port.service_available()) throw Service_not_available_exception();
        rk::com::log::trace(port.logger(),
                            log::incidents::Method_call_request_tx{port.service_info(), M::id},
                            args...);

        auto promise = std::make_shared<tq::com::Promise<R>>();
        tq::com::Future<R> future = promise->get_future();

        auto buffer = get_shared_payload(0);
        someip::serialization::Serializer serializer(buffer);
        serializer.serialize_args(args...);

        auto pending = port.call_method(
            M::id,
            tq::com::runtime::Serialized_payload(tq::com::runtime::Serialized_payload::someip, buffer),
            detail::Response_handler<M, R>(port.logger(), promise, port.service_info()));
        add_cleanup(promise, std::move(pending));
        return future;
    }
};

}  // namespace rk::com::cpp_binding::proxy
