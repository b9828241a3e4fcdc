// What a failed reply becomes for the caller of a required method: the
// interface's application error when the method defines one for the code,
// otherwise a Transport_exception or Service_not_available_exception, each
// logged as an incident on the port's logger before the promise is failed.
#pragma once

#include "rk/com/cpp_binding/log/incidents.h"
#include "rk/com/cpp_binding/service_info.h"
#include "rk/com/cpp_binding/to_string.h"
#include "rk/com/infrastructure_exception.h"
#include "rk/com/log/trace.h"
#include "rk/com/runtime/transport.h"
#include "tq/com/future.h"
#include "tq/com/runtime/serialized_payload.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace rk::com::cpp_binding::proxy::detail {

// The code a caller sees when a reply's code or data make no sense.
constexpr std::uint8_t invalid_reply = 0x8A;

// Fails the promise with error, logged as incident.
template <typename R, typename Incident, typename Error>
void fail(const rk::com::log::Generic_logger& logger, const Incident& incident, const Error& error,
          const std::shared_ptr<tq::com::Promise<R>>& promise) {
    rk::com::log::trace(logger, incident, std::string(error.what()));
    promise->set_exception(std::make_exception_ptr(error));
}

// Whether the method defines an application error for the code: if so, the
// promise is failed with it, or as an invalid reply when its decoder throws.
template <typename M, typename R>
bool failed_with_application_error(const rk::com::log::Generic_logger& logger, const Service_info& service_info,
                                   std::uint8_t return_code, const std::shared_ptr<tq::com::Promise<R>>& promise,
                                   const tq::com::runtime::Serialized_payload& payload) {
    const std::uint16_t method_id = M::id;
    // The bytes live here for as long as the error's decoder reads them.
    const std::vector<std::uint8_t> bytes = payload.payload();
    std::exception_ptr application_error;
    try {
        application_error = M::GetApplicationErrorExceptionPtr(return_code, bytes);
    } catch (const std::exception& error) {
        rk::com::log::trace(
            logger, log::incidents::Method_call_deserializer_exception{service_info, method_id, return_code},
            std::string(error.what() != nullptr ? error.what() : ""));
        promise->set_exception(std::make_exception_ptr(Transport_exception(invalid_reply)));
        return true;
    }
    if (!application_error) return false;
    rk::com::log::trace(logger, log::incidents::Method_call_response_rx{service_info, method_id, return_code},
                        cpp_binding::to_string(application_error));
    promise->set_exception(application_error);
    return true;
}

// A code without an application error: the transport's verdict on the call
// (no reply, refused, not sent, service gone), or a reply that makes no sense.
template <typename R>
void fail_with_transport_error(const rk::com::log::Generic_logger& logger, const Service_info& service_info,
                               std::uint16_t method_id, std::uint8_t return_code,
                               const std::shared_ptr<tq::com::Promise<R>>& promise) {
    namespace incidents = log::incidents;
    switch (return_code) {
    case runtime::return_code::timeout:
    case runtime::return_code::rejected:
    case runtime::return_code::send_failed:
        fail(logger, incidents::Method_call_request_err{service_info, method_id, return_code},
             Transport_exception(return_code), promise);
        return;
    case runtime::return_code::not_available:
        fail(logger, incidents::Method_call_request_err{service_info, method_id, return_code},
             Service_not_available_exception(), promise);
        return;
    default:
        fail(logger, incidents::Method_call_response_invalid_code{service_info, method_id, return_code},
             Transport_exception(invalid_reply), promise);
        return;
    }
}

template <typename M, typename R>
void handle_error(const rk::com::log::Generic_logger& logger, const Service_info& service_info,
                  std::uint8_t return_code, const std::shared_ptr<tq::com::Promise<R>>& promise,
                  const tq::com::runtime::Serialized_payload& payload) {
    if (failed_with_application_error<M>(logger, service_info, return_code, promise, payload)) return;
    fail_with_transport_error(logger, service_info, M::id, return_code, promise);
}

}  // namespace rk::com::cpp_binding::proxy::detail
