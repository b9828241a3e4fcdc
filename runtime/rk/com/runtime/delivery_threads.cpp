#include "rk/com/runtime/delivery_threads.h"

namespace rk::com::runtime {

std::shared_ptr<static_thread_pool> Delivery_threads::pool() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pool_) pool_ = std::make_shared<static_thread_pool>(count_);
    return pool_;
}

}  // namespace rk::com::runtime
