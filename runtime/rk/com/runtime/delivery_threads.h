// The threads a transport hands answers over on, started with the first
// one: a process that never needs them never has them. Once the transport
// that owns them lets go, tasks already queued still run.
#pragma once

#include "rk/com/static_thread_pool.h"

#include <cstdint>
#include <memory>
#include <mutex>

namespace rk::com::runtime {

class Delivery_threads {
public:
    explicit Delivery_threads(std::uint32_t count) : count_(count) {}

    // The pool, started on the first call.
    std::shared_ptr<static_thread_pool> pool();

private:
    const std::uint32_t count_;
    std::mutex mutex_;
    std::shared_ptr<static_thread_pool> pool_;
};

}  // namespace rk::com::runtime
