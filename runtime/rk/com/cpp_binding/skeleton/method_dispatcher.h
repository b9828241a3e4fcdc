// Delivers the requests of a provided port to its methods through the method
// processor it owns, between start() and stop().
//
// stop() discards the requests handed to the processor that have not started
// (they are never answered) and returns only after those already running
// have finished, so that no request reaches a service being torn down. A
// request that arrives while stopped is answered "not available" (0xFF); one
// for an unknown method "rejected" (0x82); one longer than its method's
// input can be "malformed" (0x87), before it is queued.
#pragma once

#include "rk/com/cpp_binding/skeleton/method_impl_base.h"
#include "rk/com/cpp_binding/skeleton/method_processor.h"
#include "wardex/base/in_flight_gate.h"

#include <map>
#include <memory>
#include <mutex>

namespace rk::com::cpp_binding::skeleton {

class Pport;

class Method_dispatcher {
public:
    Method_dispatcher(Pport& port, std::unique_ptr<Method_processor> processor);
    ~Method_dispatcher();
    Method_dispatcher(const Method_dispatcher&) = delete;
    Method_dispatcher& operator=(const Method_dispatcher&) = delete;

    void start();
    void stop();
    bool is_running() const;

    Pport& port_link() const noexcept { return port_; }
    Method_processor& method_processor() const noexcept { return *processor_; }

    void register_method(Method_impl_base& method);
    void unregister_method(std::uint16_t method_id);

    // Called by the port for every incoming request.
    void dispatch(std::uint16_t method_id, std::uint16_t method_call_id,
                  tq::com::runtime::Serialized_payload request, Reply_function reply);

private:
    struct Method_entry {
        explicit Method_entry(Method_impl_base& m) : method(m) {}
        Method_impl_base& method;
        // Closed by unregister_method, which waits for the calls running.
        wardex::base::In_flight_gate gate;
    };
    // Shared with the tasks, which may outlive a dispatcher destroyed from
    // inside one of them.
    struct Shared {
        std::mutex mutex;
        bool running{false};
        // Counts the stops: a task posted before the last one does not start.
        std::uint64_t epoch{0};
        std::map<std::uint16_t, std::shared_ptr<Method_entry>> methods;
    };

    Pport& port_;
    std::unique_ptr<Method_processor> processor_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace rk::com::cpp_binding::skeleton
