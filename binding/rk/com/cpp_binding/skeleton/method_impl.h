// One provided method: decodes each request, calls the application's handler
// and, once the handler's future holds its result, encodes it and replies.
//
// A method type M gives its id (`M::id`), its signature (`M::Signature`,
// result type and argument types) and the size to reserve for its encoded
// result (`M::expected_output_size`).
//
// Every request is answered exactly once when it has a reply function: with
// the result (0), with an application error's code and data, with 0x87 and
// no data when it cannot be decoded, or with 0x80 and no data when the
// handler or the result failed otherwise.
// The cause of a 0x80 that stands for a broken service (a result failing
// with anything but an application error, a handler throwing something that
// is no standard exception) is also written as a warning, once per method and
// cause, so that it shows at the default log level without flooding it.
#pragma once

#include "rk/com/cpp_binding/application_error_exception.h"
#include "rk/com/cpp_binding/log/incidents.h"
#include "rk/com/cpp_binding/shared_payload.h"
#include "rk/com/cpp_binding/skeleton/method_dispatcher.h"
#include "rk/com/cpp_binding/skeleton/method_impl_base.h"
#include "rk/com/cpp_binding/skeleton/method_output_serialization_dispatcher.h"
#include "rk/com/cpp_binding/skeleton/pport.h"
#include "rk/com/cpp_binding/to_string.h"
#include "rk/com/log/trace.h"
#include "rk/com/someip/serialization/deserializer.h"
#include "rk/com/someip/serialization/max_size.h"
#include "rk/com/someip/serialization/serializer.h"
#include "tq/com/future.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

namespace rk::com::cpp_binding::skeleton {

namespace method_detail {

// Return code of a request that failed in the skeleton.
constexpr std::uint8_t request_failed = 0x80;
// Error code of a request that came without a way to answer it.
constexpr std::uint8_t no_reply_function = 10;

// The causes of 0x80 replies a method has already warned about. Bounded, so
// that causes that differ with every request cannot grow it without end.
class Failure_causes {
public:
    // True the first time a cause is given, while fewer than the bound are known.
    bool first(const std::string& cause) {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_.size() < bound && seen_.insert(cause).second;
    }

private:
    static constexpr std::size_t bound = 16;
    std::mutex mutex_;
    std::set<std::string> seen_;
};

inline void warn_failed(Failure_causes& causes, const rk::com::log::Generic_logger& logger,
                        const Service_info& service_info, std::uint16_t method_id, const std::string& cause) {
    if (!logger.is_enabled(ara::log::LogLevel::kWarn) || !causes.first(cause)) return;
    logger.write("Method " + std::to_string(method_id) + " of " + service_info.service_id().to_string() + " " +
                     service_info.instance_id().to_string() + " answered 0x80 (request failed): " + cause,
                 ara::log::LogLevel::kWarn);
}

// Holds the handler in a base that is built before the method registers
// with the dispatcher and destroyed only after it has unregistered, so that
// no request ever sees the handler half-built or gone.
template <typename Handler>
struct Handler_holder {
    explicit Handler_holder(Handler h) : handler(std::move(h)) {}
    Handler handler;
    // Shared with result steps that may outlive the method.
    std::shared_ptr<Failure_causes> failure_causes = std::make_shared<Failure_causes>();
};

inline void reply_failed(const Reply_function& reply, std::uint8_t code = request_failed) {
    Method_impl_base::reply_method(
        reply,
        tq::com::runtime::Serialized_payload(tq::com::runtime::Serialized_payload::someip, get_shared_payload(0)),
        code);
}

// The result step: runs where the handler's future completes. It owns copies
// of all it needs, so it may run after the method itself is gone.
template <typename R>
struct Result_step {
    rk::com::log::Generic_logger* logger;
    Service_info service_info;
    std::uint16_t method_id;
    std::uint16_t method_call_id;
    std::size_t expected_output_size;
    Reply_function reply;
    std::shared_ptr<Failure_causes> failure_causes;

    void failed(const std::string& cause) {
        rk::com::log::trace(*logger,
                            log::incidents::Method_call_request_process{service_info, method_id, method_call_id},
                            cause);
        warn_failed(*failure_causes, *logger, service_info, method_id, cause);
        reply_failed(reply);
    }

    void operator()(tq::com::Future<R> future) {
        namespace incidents = log::incidents;
        auto buffer = get_shared_payload(expected_output_size);
        std::uint8_t return_code = 0;
        try {
            try {
                const someip::serialization::Serializer serializer(buffer);
                if constexpr (std::is_void_v<R>) {
                    future.get();
                    rk::com::log::trace(*logger, incidents::Method_call_response_tx{
                                                     service_info, method_id, method_call_id, 0});
                } else {
                    const R value = future.get();
                    Method_output_serialization_dispatcher<R>::serialize(serializer, value);
                    rk::com::log::trace(*logger,
                                        incidents::Method_call_response_tx{service_info, method_id,
                                                                           method_call_id, 0},
                                        value);
                }
            } catch (const Application_error_exception& error) {
                buffer->clear();
                someip::serialization::Serializer serializer(buffer);
                error.serialize(serializer);
                return_code = error.error();
                rk::com::log::trace(*logger,
                                    incidents::Method_call_response_tx{service_info, method_id,
                                                                       method_call_id, return_code},
                                    to_string(error));
            }
        } catch (const std::exception& error) {
            // Left unanswered the caller would only learn of it from its time-out.
            failed(error.what() != nullptr ? error.what() : "");
            return;
        } catch (...) {
            failed("Unknown exception");
            return;
        }
        Method_impl_base::reply_method(
            reply, tq::com::runtime::Serialized_payload(tq::com::runtime::Serialized_payload::someip, buffer),
            return_code);
    }
};

}  // namespace method_detail

template <typename M, bool Fire_and_forget = false, typename Signature = typename M::Signature>
class Method_impl;

template <typename M, typename R, typename... Args>
class Method_impl<M, false, R(Args...)>
    : private method_detail::Handler_holder<std::function<tq::com::Future<R>(const Args&...)>>,
      private Method_impl_base {
public:
    using Handler = std::function<tq::com::Future<R>(const Args&...)>;

    Method_impl(Method_dispatcher& dispatcher, Handler handler)
        : method_detail::Handler_holder<Handler>(std::move(handler)),
          Method_impl_base(
              M::id,
              [this](std::uint16_t method_call_id, Reply_function reply,
                     const tq::com::runtime::Serialized_payload& request) {
                  method_call_handler(method_call_id, std::move(reply), request);
              },
              dispatcher, someip::serialization::max_serialized_args_size<Args...>()) {}

    ~Method_impl() override = default;

    using Method_impl_base::method_dispatcher;
    using Method_impl_base::method_id;

    void method_call_handler(std::uint16_t method_call_id, Reply_function reply,
                             const tq::com::runtime::Serialized_payload& request) {
        namespace incidents = log::incidents;
        const Port_link& port = method_dispatcher().port_link();
        rk::com::log::Generic_logger& logger = port.logger();
        // The deserializer reads from this local, never from a temporary.
        const tq::com::runtime::Payload_buffer bytes = request.payload();
        someip::serialization::Deserializer deserializer(bytes);
        if (!reply) {
            rk::com::log::trace(
                logger, incidents::Method_call_request_err{port.service_info(), M::id,
                                                           method_detail::no_reply_function});
            return;
        }
        std::tuple<Args...> args;
        try {
            std::apply([&deserializer](auto&... arg) { deserializer.deserialize_args(arg...); }, args);
        } catch (const std::exception& error) {
            rk::com::log::trace(
                logger,
                incidents::Method_call_request_process{port.service_info(), M::id, method_call_id},
                std::string(error.what() != nullptr ? error.what() : ""));
            method_detail::reply_failed(reply, runtime::return_code::malformed_request);
            return;
        }
        bool handed_over = false;
        try {
            rk::com::log::trace(
                logger,
                incidents::Method_call_request_process{port.service_info(), M::id, method_call_id},
                args);
            tq::com::Future<R> future = call_handler(args, logger, port);
            future.then(method_detail::Result_step<R>{&logger, port.service_info(), M::id, method_call_id,
                                                      M::expected_output_size, reply, this->failure_causes});
            handed_over = true;
        } catch (const std::exception& error) {
            rk::com::log::trace(
                logger,
                incidents::Method_call_request_process{port.service_info(), M::id, method_call_id},
                std::string(error.what() != nullptr ? error.what() : ""));
            if (!handed_over) method_detail::reply_failed(reply);
        } catch (...) {
            // Passed on to the runtime, but the caller still gets its answer.
            if (!handed_over) {
                method_detail::warn_failed(*this->failure_causes, logger, port.service_info(), M::id,
                                           "Unknown exception");
                method_detail::reply_failed(reply);
            }
            throw;
        }
    }

private:
    tq::com::Future<R> call_handler(const std::tuple<Args...>& args, rk::com::log::Generic_logger& logger,
                                    const Port_link& port) {
        try {
            return std::apply(this->handler, args);
        } catch (...) {
            rk::com::log::trace(
                logger, log::incidents::Method_call_request_exception{port.service_info(), M::id});
            throw;
        }
    }
};

}  // namespace rk::com::cpp_binding::skeleton
