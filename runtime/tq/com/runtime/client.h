// The runtime's view of one required service instance: whether it is
// currently available. The state is written by the runtime's discovery and
// read by the proxy before every call.
#pragma once

#include <atomic>
#include <cstdint>

namespace tq::com::runtime {

class Client {
public:
    enum class Service_state : std::uint8_t { unknown = 0, not_available = 1, available = 2 };

    Service_state state() const noexcept { return state_.load(std::memory_order_acquire); }
    void set_state(Service_state state) noexcept { state_.store(state, std::memory_order_release); }

private:
    std::atomic<Service_state> state_{Service_state::unknown};
};

}  // namespace tq::com::runtime
