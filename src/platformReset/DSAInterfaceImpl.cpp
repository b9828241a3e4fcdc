#include "DSAInterfaceImpl.h"

#include "ara/log/logging.h"

#include <exception>
#include <thread>

namespace norda::phm::wardex {

namespace {

constexpr std::chrono::milliseconds search_pause{500};

void sleep_for(std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); }

}  // namespace

DSAInterfaceImpl::DSAInterfaceImpl(const tq::com::runtime::Instance_id& instance)
    : DSAInterfaceImpl(instance, sleep_for) {}

DSAInterfaceImpl::DSAInterfaceImpl(const tq::com::runtime::Instance_id& instance, const Sleeper& sleep) {
    using tq::ap::statemanager::proxy::DSAInterfaceProxy;
    for (;;) {
        if (proxy_) {
            ara::log::LogDebug() << "Connected to StateManager";
            return;
        }
        ara::log::LogDebug() << "Waiting for StateManager";
        const auto handles = DSAInterfaceProxy::FindService(instance);
        if (!handles.empty()) {
            proxy_ = std::make_unique<DSAInterfaceProxy>(handles.front());
        } else {
            sleep(search_pause);
        }
    }
}

bool DSAInterfaceImpl::RequestRestart(std::uint8_t id) {
    ara::log::LogDebug() << "RequestRestart for id : " << id;
    if (!proxy_) {
        ara::log::LogError() << "RequestRestart: State Manager service down!";
        return false;
    }
    try {
        // Dropping the future at once releases the pending call; the reply
        // is not looked at.
        proxy_->RequestRestart(id);
    } catch (const std::exception& error) {
        ara::log::LogDebug() << "RequestRestart got exception from state manager: " << error.what();
        return false;
    }
    ara::log::LogDebug() << "RequestRestart: Success!";
    return true;
}

}  // namespace norda::phm::wardex
