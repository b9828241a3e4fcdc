#include "wardex/base/in_flight_gate.h"

namespace wardex::base {

namespace {

// The innermost pass this thread holds; each pass names the one around it.
thread_local const In_flight_gate::Pass* innermost = nullptr;

}  // namespace

In_flight_gate::Pass::Pass(In_flight_gate& gate) : gate_(&gate), outer_(innermost) {
    std::lock_guard<std::mutex> lock(gate.mutex_);
    if (gate.closed_) {
        gate_ = nullptr;
        return;
    }
    ++gate.inside_;
    innermost = this;
}

In_flight_gate::Pass::~Pass() {
    if (gate_ == nullptr) return;
    innermost = outer_;
    // Notified under the lock: the closer may destroy the gate as soon as
    // it sees the count drop.
    std::lock_guard<std::mutex> lock(gate_->mutex_);
    --gate_->inside_;
    gate_->left_.notify_all();
}

void In_flight_gate::close() {
    int own = 0;
    for (const Pass* pass = innermost; pass != nullptr; pass = pass->outer_) {
        if (pass->gate_ == this) ++own;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    left_.wait(lock, [&] { return inside_ <= own; });
}

}  // namespace wardex::base
