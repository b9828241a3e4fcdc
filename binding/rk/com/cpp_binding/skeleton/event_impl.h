// One provided event: encodes each value for every serialization the runtime
// asked for (SOME/IP only) and hands the payloads to the provided port.
//
// An event type E gives its id (`E::id`), its data type (`E::Data`) and the
// size to reserve for one encoded value (`E::expected_size`).
#pragma once

#include "rk/com/cpp_binding/log/incidents.h"
#include "rk/com/cpp_binding/logger.h"
#include "rk/com/cpp_binding/shared_payload.h"
#include "rk/com/cpp_binding/skeleton/pport.h"
#include "rk/com/cpp_binding/skeleton/provided_event_base.h"
#include "rk/com/log/trace.h"
#include "rk/com/someip/serialization/serializer.h"

#include "ara/log/logging.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace rk::com::cpp_binding::skeleton {

template <typename E>
class Event_impl : public Provided_event_base {
public:
    using Data = typename E::Data;

    explicit Event_impl(Pport& port) : port_(port) { port_.register_event(E::id, *this); }

    ~Event_impl() override {
        try {
            port_.unregister_event(E::id);
        } catch (const std::exception& error) {
            ara::log::CreateLogger("CBND", "communication binding").LogError()
                << "Unregistering an event failed:" << error.what();
        } catch (...) {
            ara::log::CreateLogger("CBND", "communication binding").LogError()
                << "Unregistering an event failed";
        }
    }

    Event_impl(const Event_impl&) = delete;
    Event_impl& operator=(const Event_impl&) = delete;

    // Nothing is sent, and nothing logged, until the runtime has asked for SOME/IP.
    void Send(const Data& value) {
        std::vector<std::uint32_t> types;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            types = serialization_types_;
        }
        std::vector<tq::com::runtime::Serialized_payload> payloads;
        for (const std::uint32_t type : types) {
            if (type != tq::com::runtime::Serialized_payload::someip) continue;
            auto buffer = get_shared_payload(E::expected_size);
            someip::serialization::Serializer(buffer).serialize(value);
            payloads.emplace_back(tq::com::runtime::Serialized_payload::someip, std::move(buffer));
        }
        if (payloads.empty()) return;
        rk::com::log::trace(port_.logger(), log::incidents::Event_update_tx{E::id}, value);
        port_.send_event(E::id, payloads);
    }

    // Called when a subscriber wants the current value.
    void set_update_callback(std::function<void()> callback) {
        std::lock_guard<std::mutex> lock(mutex_);
        update_callback_ = std::move(callback);
    }

    void request_event_update() override {
        std::function<void()> callback;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            callback = update_callback_;
        }
        if (callback) {
            callback();
        } else {
            rk::com::log::trace(cpp_binding::logger(), log::incidents::Event_request_update_err{
                                                           port_.service_info(), E::id});
        }
    }

    void set_serialization_types(const std::vector<std::uint32_t>& types) override {
        std::lock_guard<std::mutex> lock(mutex_);
        serialization_types_ = types;
    }

private:
    Pport& port_;
    std::mutex mutex_;
    std::function<void()> update_callback_;
    std::vector<std::uint32_t> serialization_types_{tq::com::runtime::Serialized_payload::invalid};
};

}  // namespace rk::com::cpp_binding::skeleton
