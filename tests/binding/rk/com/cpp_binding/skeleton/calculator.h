// A small provided interface for the skeleton tests: a method without result
// (Store), one with a generated result (Lookup), and an event (Changed); the
// fixture plays the runtime with a fake transport.
#pragma once

#include "ara/com/internal/skeleton/event.h"
#include "ara/com/internal/skeleton/method.h"
#include "ara/com/internal/skeleton/skeleton.h"
#include "ara/log/capture.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/fake_transport.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace skeleton_test {

using Bytes = std::vector<std::uint8_t>;
using Meta = std::map<std::string, std::string>;

enum class Mood : std::uint8_t { kCalm = 0, kAngry = 1 };

struct Summary {
    std::array<std::uint8_t, 1> count{};
    std::vector<std::uint8_t> data;
    template <typename F>
    void visit_fields(F&& f) { f(count), f(data); }
    template <typename F>
    void visit_fields(F&& f) const { f(count), f(data); }
};

struct Calculator {
    static constexpr tq::com::runtime::Service_id_literal id() {
        return tq::com::runtime::Service_id_literal("test::Calculator");
    }
    static constexpr rk::com::connector::Service_interface_description description() { return {1, 2}; }

    struct Store {
        static constexpr std::uint16_t id = 0;
        using Signature = void(std::uint8_t);
        static constexpr std::size_t expected_output_size = 0;
    };
    struct Lookup {
        static constexpr std::uint16_t id = 1;
        using Signature = Summary(Meta);
        static constexpr std::size_t expected_output_size = 32;
    };
    struct Changed {
        static constexpr std::uint16_t id = 0;
        using Data = Mood;
        static constexpr std::size_t expected_size = 1;
    };
};

class Calculator_skeleton : public ara::com::internal::skeleton::Skeleton<Calculator> {
public:
    explicit Calculator_skeleton(std::string instance = "7")
        : Skeleton(tq::com::runtime::Instance_id(std::move(instance)),
                   rk::com::cpp_binding::Method_call_processing_mode::kEvent),
          Changed(port_link()),
          store_(method_dispatcher(), [this](const std::uint8_t& value) { return store_handler(value); }),
          lookup_(method_dispatcher(), [this](const Meta& meta) { return lookup_handler(meta); }) {}
    ~Calculator_skeleton() override { StopOfferService(); }

    std::function<tq::com::Future<void>(std::uint8_t)> store_handler;
    std::function<tq::com::Future<Summary>(const Meta&)> lookup_handler;

    ara::com::internal::skeleton::Event<Calculator::Changed> Changed;

private:
    ara::com::internal::skeleton::Method<Calculator::Store> store_;
    ara::com::internal::skeleton::Method<Calculator::Lookup> lookup_;
};

inline const rk::com::cpp_binding::Service_info calculator_7{tq::com::runtime::Service_id("test::Calculator"),
                                                              tq::com::runtime::Instance_id("7")};

// An incident of instance "7": its name, then what follows the service part.
inline std::string incident(const std::string& name, const std::string& rest) {
    return R"({"1_incident":{"1_id":")" + name + R"(","2_service_id":{"1_id":"Service_id","string":"test::Calculator"},)"
           R"("3_instance_id":{"1_id":"Instance_id","2_string":"7"})" + rest;
}

template <typename T>
tq::com::Future<T> ready(T value) {
    tq::com::Promise<T> promise;
    promise.set_value(std::move(value));
    return promise.get_future();
}
inline tq::com::Future<void> ready() {
    tq::com::Promise<void> promise;
    promise.set_value();
    return promise.get_future();
}

// The runtime with a fake transport, and the log captured from the start.
class Runtime_fixture : public ::testing::Test {
protected:
    // "level context text" of the incidents so far: all, or those of one kind.
    std::vector<std::string> incidents(const std::string& name = {}) const {
        const std::string prefix = R"({"1_incident":{"1_id":")" + (name.empty() ? name : name + "\"");
        std::vector<std::string> found;
        for (const auto& record : capture.records()) {
            if (record.text().rfind(prefix, 0) == 0) {
                found.push_back(std::string(to_string(record.level)) + " " + record.context + " " + record.text());
            }
        }
        return found;
    }

    ara::log::Capture capture;
    std::shared_ptr<rk::com::runtime::Fake_transport> transport = std::make_shared<rk::com::runtime::Fake_transport>();
    rk::com::runtime::Component_singleton component{transport};
};

}  // namespace skeleton_test
