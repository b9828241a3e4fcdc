#include "rk/com/runtime/runtime.h"

#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/transport_factory.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace rk::com::runtime {

namespace {

std::mutex current_mutex;
std::shared_ptr<Runtime>& current_runtime() {
    static auto* runtime = new std::shared_ptr<Runtime>();
    return *runtime;
}

}  // namespace

std::uint32_t provided_method_threads() noexcept {
    // One per core, two at least (a slow request never holds up all others), four at most.
    return std::clamp<std::uint32_t>(std::thread::hardware_concurrency(), 2, 4);
}

std::shared_ptr<static_thread_pool> Thread_pool_factory::get_thread_pool(std::uint32_t pool) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& entry = pools_[pool];
    if (!entry) {
        const std::uint32_t threads = pool == 1 ? provided_method_threads() : std::clamp<std::uint32_t>(pool, 1, 16);
        entry = std::make_shared<static_thread_pool>(threads);
    }
    return entry;
}

std::vector<tq::com::runtime::Service_handle> Service_finder::find_service(
    const tq::com::runtime::Service_id& service, const tq::com::runtime::Instance_id& instance) {
    std::vector<tq::com::runtime::Service_handle> handles;
    for (const auto& info : transport_->find(service, instance)) {
        handles.emplace_back(std::make_shared<const tq::com::runtime::Service_instance>(
            tq::com::runtime::Service_instance{info.service_id(), info.instance_id()}));
    }
    return handles;
}

Runtime::Runtime(std::shared_ptr<Transport> transport)
    : transport_(std::move(transport)),
      pools_(std::make_shared<Thread_pool_factory>()),
      finder_(std::make_shared<Service_finder>(transport_)) {}

Runtime::~Runtime() {
    // The transport may still hold this handler; it must not call into a
    // destroyed runtime.
    transport_->set_availability_handler(nullptr);
}

std::shared_ptr<Runtime> Runtime::current() {
    std::lock_guard<std::mutex> lock(current_mutex);
    auto runtime = current_runtime();
    if (!runtime) throw std::logic_error("Communication runtime component does not exist");
    return runtime;
}

void Runtime::install(std::shared_ptr<Runtime> runtime) {
    std::weak_ptr<Runtime> weak = runtime;
    runtime->transport_->set_availability_handler(
        [weak](const cpp_binding::Service_info& service, bool available) {
            if (auto self = weak.lock()) self->on_availability(service, available);
        });
    std::lock_guard<std::mutex> lock(current_mutex);
    if (current_runtime()) throw std::logic_error("Communication runtime component already exists");
    current_runtime() = std::move(runtime);
}

void Runtime::uninstall(const Runtime* runtime) noexcept {
    std::shared_ptr<Runtime> released;
    {
        std::lock_guard<std::mutex> lock(current_mutex);
        if (current_runtime().get() == runtime) released = std::move(current_runtime());
    }
}

std::shared_ptr<tq::com::runtime::Client> Runtime::client(const cpp_binding::Service_info& service) {
    auto client = std::make_shared<tq::com::runtime::Client>();
    std::lock_guard<std::mutex> lock(clients_mutex_);
    for (auto it = clients_.begin(); it != clients_.end();) {
        it = it->second.expired() ? clients_.erase(it) : std::next(it);
    }
    clients_.emplace(service, client);
    // Read under the lock, so that a change of availability reported from now
    // on is not overwritten by this older answer.
    client->set_state(transport_->is_available(service)
                          ? tq::com::runtime::Client::Service_state::available
                          : tq::com::runtime::Client::Service_state::not_available);
    return client;
}

void Runtime::on_availability(const cpp_binding::Service_info& service, bool available) {
    std::lock_guard<std::mutex> lock(clients_mutex_);
    auto range = clients_.equal_range(service);
    for (auto it = range.first; it != range.second; ++it) {
        if (auto client = it->second.lock()) {
            client->set_state(available ? tq::com::runtime::Client::Service_state::available
                                        : tq::com::runtime::Client::Service_state::not_available);
        }
    }
}

std::uint16_t Runtime::next_method_call_id() noexcept {
    const std::uint32_t n = call_counter_.fetch_add(1, std::memory_order_relaxed);
    return static_cast<std::uint16_t>(n % 0xFFFFu + 1u);
}

Component_singleton::Component_singleton(bool in_process_only, std::string deployment_path)
    : Component_singleton(make_transport(in_process_only, deployment_path)) {}

Component_singleton::Component_singleton(std::shared_ptr<Transport> transport)
    : runtime_(std::make_shared<Runtime>(std::move(transport))) {
    Runtime::install(runtime_);
}

Component_singleton::~Component_singleton() { Runtime::uninstall(runtime_.get()); }

std::shared_ptr<Thread_pool_factory> Component_singleton::get_thread_pool_factory() {
    return Runtime::current()->thread_pool_factory();
}

std::shared_ptr<Service_finder> Component_singleton::get_service_finder() {
    return Runtime::current()->service_finder();
}

}  // namespace rk::com::runtime
