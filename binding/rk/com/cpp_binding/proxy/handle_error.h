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

template <typename M, typename R>
void handle_error(const rk::com::log::Generic_logger& logger, const Service_info& service_info,
                  std::uint8_t return_code, const std::shared_ptr<tq::com::Promise<R>>& promise,
                  const tq::com::runtime::Serialized_payload& payload) {
    namespace incidents = log::incidents;
    const std::uint16_t method_id = M::id;

    // The bytes live here for as long as the error's decoder reads them.
    const std::vector<std::uint8_t> bytes = payload.payload();
    std::exception_ptr application_error;
    try {
        application_error = M::GetApplicationErrorExceptionPtr(return_code, bytes);
    } catch (const std::exception& error) {
        rk::com::log::trace(
            logger,
            incidents::Method_call_deserializer_exception{service_info, method_id, return_code},
            std::string(error.what() != nullptr ? error.what() : ""));
        promise->set_exception(std::make_exception_ptr(Transport_exception(invalid_reply)));
        return;
    }

    if (application_error) {
        rk::com::log::trace(
            logger, incidents::Method_call_response_rx{service_info, method_id, return_code},
            cpp_binding::to_string(application_error));
        promise->set_exception(application_error);
        return;
    }

    switch (return_code) {
    case runtime::return_code::timeout:
    case runtime::return_code::rejected:
    case runtime::return_code::send_failed: {
        const Transport_exception error(return_code);
        rk::com::log::trace(
            logger, incidents::Method_call_request_err{service_info, method_id, return_code},
            std::string(error.what()));
        promise->set_exception(std::make_exception_ptr(error));
        return;
    }
    case runtime::return_code::not_available: {
        const Service_not_available_exception error;
        rk::com::log::trace(
            logger, incidents::Method_call_request_err{service_info, method_id, return_code},
            std::string(error.what()));
        promise->set_exception(std::make_exception_ptr(error));
        return;
    }
    default: {
        const Transport_exception error(invalid_reply);
        rk::com::log::trace(
            logger,
            incidents::Method_call_response_invalid_code{service_info, method_id, return_code},
            std::string(error.what()));
        promise->set_exception(std::make_exception_ptr(error));
        return;
    }
    }
}

}  // namespace rk::com::cpp_binding::proxy::detail
