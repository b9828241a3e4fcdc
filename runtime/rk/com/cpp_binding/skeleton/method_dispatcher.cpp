#include "rk/com/cpp_binding/skeleton/method_dispatcher.h"

#include "rk/com/cpp_binding/skeleton/pport.h"


namespace rk::com::cpp_binding::skeleton {

using tq::com::runtime::Serialized_payload;

Method_dispatcher::Method_dispatcher(Pport& port, std::unique_ptr<Method_processor> processor)
    : port_(port), processor_(std::move(processor)), shared_(std::make_shared<Shared>()) {
    port_.set_dispatcher(this);
}

Method_dispatcher::~Method_dispatcher() {
    port_.set_dispatcher(nullptr);
    stop();
}

void Method_dispatcher::start() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->running = true;
}

void Method_dispatcher::stop() {
    {
        // Taken by dispatch while it hands a request to the processor, so
        // every request handed over before this point is waited for below.
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->running = false;
        ++shared_->epoch;
    }
    processor_->wait();
}

bool Method_dispatcher::is_running() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->running;
}

void Method_dispatcher::register_method(Method_impl_base& method) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->methods[method.method_id()] = std::make_shared<Method_entry>(method);
}

void Method_dispatcher::unregister_method(std::uint16_t method_id) {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    auto found = shared_->methods.find(method_id);
    if (found == shared_->methods.end()) return;
    const auto entry = found->second;
    shared_->methods.erase(found);
    lock.unlock();
    // A method unregistering itself from its own call does not wait for itself.
    entry->gate.close();
}

void Method_dispatcher::dispatch(std::uint16_t method_id, std::uint16_t method_call_id,
                                 Serialized_payload request, Reply_function reply) {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    std::uint8_t refusal = runtime::return_code::ok;
    std::shared_ptr<Method_entry> entry;
    if (!shared_->running) {
        refusal = runtime::return_code::not_available;
    } else {
        auto found = shared_->methods.find(method_id);
        if (found == shared_->methods.end()) {
            refusal = runtime::return_code::rejected;
        } else {
            entry = found->second;
            if (request.size() > entry->method.max_request_size())
                refusal = runtime::return_code::malformed_request;
        }
    }
    if (refusal != runtime::return_code::ok) {
        lock.unlock();
        Method_impl_base::reply_method(reply, Serialized_payload(), refusal);
        return;
    }
    // Handed over under the lock that stop() takes: see stop().
    processor_->post([shared = shared_, entry = std::move(entry), method_call_id, epoch = shared_->epoch,
                      request = std::move(request), reply = std::move(reply)]() mutable {
        {
            std::lock_guard<std::mutex> guard(shared->mutex);
            // Stopped since it was queued: discarded unanswered, so that a
            // withdrawal waits only for the requests already running.
            if (epoch != shared->epoch) return;
        }
        wardex::base::In_flight_gate::Pass pass(entry->gate);
        if (!pass) {
            Method_impl_base::reply_method(reply, Serialized_payload(), runtime::return_code::not_available);
            return;
        }
        entry->method.callback()(method_call_id, std::move(reply), request);
    });
}

}  // namespace rk::com::cpp_binding::skeleton
