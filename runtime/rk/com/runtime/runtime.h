// The process's communication runtime: the transport, the thread pools, the
// service finder and the availability of required instances. Ports and
// processors hold it in shared ownership, so it outlives the component that
// created it as long as anything still uses it (service singletons destroyed
// after main).
#pragma once

#include "rk/com/runtime/transport.h"
#include "rk/com/static_thread_pool.h"
#include "tq/com/runtime/client.h"
#include "tq/com/runtime/service_handle.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace rk::com::runtime {

// Given a pool number, yields the process's shared pool of that number.
// Pool 1 runs provided methods (provided_method_threads()); any other number n gets a pool
// of n threads (at most 16).
// The threads of pool 1: one per core, at least 2 and at most 4.
std::uint32_t provided_method_threads() noexcept;

class Thread_pool_factory {
public:
    std::shared_ptr<static_thread_pool> get_thread_pool(std::uint32_t pool);

private:
    std::mutex mutex_;
    std::map<std::uint32_t, std::shared_ptr<static_thread_pool>> pools_;
};

class Service_finder {
public:
    explicit Service_finder(std::shared_ptr<Transport> transport) : transport_(std::move(transport)) {}
    // The instances found, in the transport's order; empty when none is known.
    std::vector<tq::com::runtime::Service_handle> find_service(
        const tq::com::runtime::Service_id& service, const tq::com::runtime::Instance_id& instance);

private:
    std::shared_ptr<Transport> transport_;
};

class Runtime {
public:
    explicit Runtime(std::shared_ptr<Transport> transport);
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // The runtime of the living component; throws std::logic_error when none lives.
    static std::shared_ptr<Runtime> current();

    Transport& transport() noexcept { return *transport_; }
    const std::shared_ptr<Thread_pool_factory>& thread_pool_factory() noexcept { return pools_; }
    const std::shared_ptr<Service_finder>& service_finder() noexcept { return finder_; }

    // A client whose state follows the instance's availability.
    std::shared_ptr<tq::com::runtime::Client> client(const cpp_binding::Service_info& service);

    // Method call ids run 1…0xFFFF and wrap to 1.
    std::uint16_t next_method_call_id() noexcept;

private:
    friend class Component_singleton;
    static void install(std::shared_ptr<Runtime> runtime);
    static void uninstall(const Runtime* runtime) noexcept;

    void on_availability(const cpp_binding::Service_info& service, bool available);

    std::shared_ptr<Transport> transport_;
    std::shared_ptr<Thread_pool_factory> pools_;
    std::shared_ptr<Service_finder> finder_;
    std::mutex clients_mutex_;
    std::multimap<cpp_binding::Service_info, std::weak_ptr<tq::com::runtime::Client>> clients_;
    std::atomic<std::uint32_t> call_counter_{0};
};

}  // namespace rk::com::runtime
