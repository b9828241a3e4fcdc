#include "rk/com/runtime/someip/deployment.h"

#include "wardex/paths.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>

#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <utility>

namespace rk::com::runtime::someip {

// Generated from config/com_deployment.json when configuring.
extern const char* const default_deployment_text;

namespace {

using nlohmann::json;

class Reader {
public:
    explicit Reader(std::string origin) : origin_(std::move(origin)) {}

    [[noreturn]] void fail(const std::string& key, const std::string& problem) const {
        throw Deployment_error(origin_ + ": " + key + ": " + problem);
    }

    const json& member(const json& object, const std::string& key, const std::string& name) const {
        const auto found = object.find(name);
        if (found == object.end()) fail(key, "missing");
        return *found;
    }

    const json& object(const json& value, const std::string& key) const {
        if (!value.is_object()) fail(key, "expected an object");
        return value;
    }

    const json& array(const json& value, const std::string& key) const {
        if (!value.is_array()) fail(key, "expected an array");
        return value;
    }

    std::string text(const json& value, const std::string& key) const {
        if (!value.is_string()) fail(key, "expected a text");
        return value.get<std::string>();
    }

    // An unsigned number, written as a JSON number or as a text "0x…".
    std::uint64_t number(const json& value, const std::string& key, std::uint64_t maximum) const {
        std::uint64_t result = 0;
        if (value.is_number_unsigned()) {
            result = value.get<std::uint64_t>();
        } else if (value.is_string()) {
            const auto text = value.get<std::string>();
            if (text.size() < 3 || text.size() > 18 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
                fail(key, "expected a number or a hexadecimal text \"0x…\"");
            }
            for (std::size_t i = 2; i < text.size(); ++i) {
                const char c = text[i];
                std::uint64_t digit = 0;
                if (c >= '0' && c <= '9') {
                    digit = static_cast<std::uint64_t>(c - '0');
                } else if (c >= 'a' && c <= 'f') {
                    digit = static_cast<std::uint64_t>(c - 'a' + 10);
                } else if (c >= 'A' && c <= 'F') {
                    digit = static_cast<std::uint64_t>(c - 'A' + 10);
                } else {
                    fail(key, "expected a number or a hexadecimal text \"0x…\"");
                }
                if (result > (maximum >> 4)) fail(key, "out of range (at most " + std::to_string(maximum) + ")");
                result = (result << 4) | digit;
            }
        } else {
            fail(key, "expected a number or a hexadecimal text \"0x…\"");
        }
        if (result > maximum) fail(key, "out of range (at most " + std::to_string(maximum) + ")");
        return result;
    }

    std::string address(const json& value, const std::string& key) const {
        const auto text = this->text(value, key);
        in_addr parsed{};
        if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) fail(key, "expected an IPv4 address");
        return text;
    }

private:
    std::string origin_;
};

std::string at(const std::string& key, std::size_t index) { return key + "[" + std::to_string(index) + "]"; }

Service_deployment read_service(const Reader& r, const json& value, const std::string& key,
                                const std::string& unicast) {
    r.object(value, key);
    Service_deployment service;
    service.interface = r.text(r.member(value, key + ".interface", "interface"), key + ".interface");
    service.service_id = static_cast<std::uint16_t>(
        r.number(r.member(value, key + ".service_id", "service_id"), key + ".service_id", 0xFFFE));
    service.major_version = static_cast<std::uint8_t>(
        r.number(r.member(value, key + ".major_version", "major_version"), key + ".major_version", 0xFE));
    service.minor_version = static_cast<std::uint32_t>(
        r.number(r.member(value, key + ".minor_version", "minor_version"), key + ".minor_version", 0xFFFFFFFE));
    for (auto [name, limit] : {std::pair{"max_queued_requests", &service.max_queued_requests},
                               std::pair{"max_queued_bytes", &service.max_queued_bytes}}) {
        if (value.contains(name)) *limit = static_cast<std::uint32_t>(r.number(value[name], key + "." + name, 0xFFFFFFFF));
    }

    const std::string instances_key = key + ".instances";
    const auto& instances = r.array(r.member(value, instances_key, "instances"), instances_key);
    for (std::size_t i = 0; i < instances.size(); ++i) {
        const auto ikey = at(instances_key, i);
        const auto& entry = r.object(instances[i], ikey);
        Instance_deployment instance;
        instance.instance = r.text(r.member(entry, ikey + ".instance", "instance"), ikey + ".instance");
        instance.instance_id = static_cast<std::uint16_t>(
            r.number(r.member(entry, ikey + ".instance_id", "instance_id"), ikey + ".instance_id", 0xFFFE));
        instance.address = entry.contains("address") ? r.address(entry["address"], ikey + ".address") : unicast;
        instance.port = static_cast<std::uint16_t>(r.number(r.member(entry, ikey + ".port", "port"), ikey + ".port", 0xFFFF));
        if (service.find_instance(instance.instance) != nullptr) {
            r.fail(ikey + ".instance", "\"" + instance.instance + "\" appears twice");
        }
        service.instances.push_back(std::move(instance));
    }

    const std::string methods_key = key + ".methods";
    if (value.contains("methods")) {
        const auto& methods = r.array(value["methods"], methods_key);
        for (std::size_t i = 0; i < methods.size(); ++i) {
            const auto mkey = at(methods_key, i);
            const auto& entry = r.object(methods[i], mkey);
            Method_deployment method;
            method.name = r.text(r.member(entry, mkey + ".name", "name"), mkey + ".name");
            method.id = static_cast<std::uint16_t>(r.number(r.member(entry, mkey + ".id", "id"), mkey + ".id", 0x7FFF));
            service.methods.push_back(std::move(method));
        }
    }

    const std::string events_key = key + ".events";
    if (value.contains("events")) {
        const auto& events = r.array(value["events"], events_key);
        for (std::size_t i = 0; i < events.size(); ++i) {
            const auto ekey = at(events_key, i);
            const auto& entry = r.object(events[i], ekey);
            Event_deployment event;
            event.name = r.text(r.member(entry, ekey + ".name", "name"), ekey + ".name");
            event.id = static_cast<std::uint16_t>(r.number(r.member(entry, ekey + ".id", "id"), ekey + ".id", 0xFFFF));
            if (event.id < 0x8000) r.fail(ekey + ".id", "an event id has bit 15 set (0x8000 and up)");
            event.eventgroup = static_cast<std::uint16_t>(
                r.number(r.member(entry, ekey + ".eventgroup", "eventgroup"), ekey + ".eventgroup", 0xFFFE));
            service.events.push_back(std::move(event));
        }
    }
    return service;
}

Service_discovery_deployment read_discovery(const Reader& r, const json& value, const std::string& key) {
    r.object(value, key);
    Service_discovery_deployment sd;
    sd.port = static_cast<std::uint16_t>(r.number(r.member(value, key + ".port", "port"), key + ".port", 0xFFFF));
    auto flag = [&](const char* name, bool fallback) {
        if (!value.contains(name)) return fallback;
        if (!value[name].is_boolean()) r.fail(key + "." + name, "expected true or false");
        return value[name].get<bool>();
    };
    auto milliseconds = [&](const char* name, std::chrono::milliseconds fallback) {
        if (!value.contains(name)) return fallback;
        return std::chrono::milliseconds(r.number(value[name], key + "." + name, 3600000));
    };
    sd.enabled = flag("enabled", sd.enabled);
    sd.unicast_only = flag("unicast_only", sd.unicast_only);
    if (value.contains("multicast")) {
        sd.multicast = r.address(value["multicast"], key + ".multicast");
        in_addr group{};
        inet_pton(AF_INET, sd.multicast.c_str(), &group);
        if ((ntohl(group.s_addr) >> 28) != 0xE) r.fail(key + ".multicast", "not a multicast address (224.0.0.0/4)");
    }
    if (value.contains("peers")) {
        const auto& peers = r.array(value["peers"], key + ".peers");
        for (std::size_t i = 0; i < peers.size(); ++i) {
            const auto pkey = at(key + ".peers", i);
            const auto& entry = r.object(peers[i], pkey);
            Service_discovery_deployment::Peer peer;
            peer.address = r.address(r.member(entry, pkey + ".address", "address"), pkey + ".address");
            peer.port = static_cast<std::uint16_t>(r.number(r.member(entry, pkey + ".port", "port"), pkey + ".port", 0xFFFF));
            if (peer.port == 0) r.fail(pkey + ".port", "must be at least 1");
            sd.peers.push_back(std::move(peer));
        }
    }
    if (sd.enabled && sd.unicast_only && sd.peers.empty()) r.fail(key + ".peers", "unicast_only needs at least one peer");
    sd.initial_delay_min = milliseconds("initial_delay_min_ms", sd.initial_delay_min);
    sd.initial_delay_max = milliseconds("initial_delay_max_ms", sd.initial_delay_max);
    if (sd.initial_delay_max < sd.initial_delay_min) {
        r.fail(key + ".initial_delay_max_ms", "below initial_delay_min_ms");
    }
    sd.repetition_base_delay = milliseconds("repetition_base_delay_ms", sd.repetition_base_delay);
    if (value.contains("repetitions_max")) {
        sd.repetitions_max = static_cast<std::uint32_t>(r.number(value["repetitions_max"], key + ".repetitions_max", 10));
    }
    sd.cyclic_offer_delay = milliseconds("cyclic_offer_delay_ms", sd.cyclic_offer_delay);
    if (sd.cyclic_offer_delay.count() == 0) r.fail(key + ".cyclic_offer_delay_ms", "must be at least 1");
    if (value.contains("offer_ttl_s")) {
        sd.offer_ttl = static_cast<std::uint32_t>(r.number(value["offer_ttl_s"], key + ".offer_ttl_s", 0xFFFFFF));
        if (sd.offer_ttl == 0) r.fail(key + ".offer_ttl_s", "must be at least 1");
    }
    if (value.contains("subscription_ttl_s")) {
        sd.subscription_ttl =
            static_cast<std::uint32_t>(r.number(value["subscription_ttl_s"], key + ".subscription_ttl_s", 0xFFFFFF));
        if (sd.subscription_ttl == 0) r.fail(key + ".subscription_ttl_s", "must be at least 1");
    }
    // What other processes may ask of this one.
    auto at_least_one = [&](const char* name, std::uint32_t fallback, std::uint32_t most) {
        if (!value.contains(name)) return fallback;
        const auto number = static_cast<std::uint32_t>(r.number(value[name], key + "." + name, most));
        if (number == 0) r.fail(key + "." + name, "must be at least 1");
        return number;
    };
    sd.max_subscription_ttl = at_least_one("max_subscription_ttl_s", sd.max_subscription_ttl, 0xFFFFFE);
    sd.max_subscribers_per_eventgroup =
        at_least_one("max_subscribers_per_eventgroup", sd.max_subscribers_per_eventgroup, 65535);
    sd.max_subscribers_per_address =
        at_least_one("max_subscribers_per_address", sd.max_subscribers_per_address, 65535);
    sd.max_peers = at_least_one("max_peers", sd.max_peers, 65535);
    sd.peer_timeout = std::chrono::seconds(at_least_one("peer_timeout_s", sd.peer_timeout.count(), 86400));
    sd.subscribers_on_other_addresses = flag("subscribers_on_other_addresses", sd.subscribers_on_other_addresses);
    sd.offers_on_other_addresses = flag("offers_on_other_addresses", sd.offers_on_other_addresses);
    sd.share_port = flag("share_port", sd.share_port);
    return sd;
}

}  // namespace

const Instance_deployment* Service_deployment::find_instance(std::uint16_t instance_id) const {
    for (const auto& entry : instances) {
        if (entry.instance_id == instance_id) return &entry;
    }
    return nullptr;
}

int Service_deployment::find_eventgroup_event(std::uint16_t eventgroup) const {
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].eventgroup == eventgroup) return static_cast<int>(i);
    }
    return -1;
}

const Service_deployment* Deployment::find_service(std::uint16_t service_id) const {
    for (const auto& entry : services) {
        if (entry.service_id == service_id) return &entry;
    }
    return nullptr;
}

const Instance_deployment* Service_deployment::find_instance(const std::string& instance) const {
    for (const auto& entry : instances) {
        if (entry.instance == instance) return &entry;
    }
    return nullptr;
}

const Service_deployment* Deployment::find_service(const std::string& interface) const {
    for (const auto& entry : services) {
        if (entry.interface == interface) return &entry;
    }
    return nullptr;
}

Deployment parse_deployment(const std::string& text, const std::string& origin) {
    const Reader r(origin);
    json document;
    try {
        document = json::parse(text);
    } catch (const json::exception& error) {
        // A number too large for a double is the library's out_of_range, not
        // a parse error; the file is refused the same way.
        throw Deployment_error(origin + ": not valid JSON: " + error.what());
    }
    r.object(document, "(document)");
    Deployment deployment;
    deployment.unicast = r.address(r.member(document, "unicast", "unicast"), "unicast");
    deployment.client_id = static_cast<std::uint16_t>(
        r.number(r.member(document, "client_id", "client_id"), "client_id", 0xFFFF));
    deployment.service_discovery =
        read_discovery(r, r.member(document, "service_discovery", "service_discovery"), "service_discovery");
    const auto timeout = r.number(r.member(document, "call_timeout_ms", "call_timeout_ms"), "call_timeout_ms", 3600000);
    if (timeout == 0) r.fail("call_timeout_ms", "must be at least 1");
    deployment.call_timeout = std::chrono::milliseconds(timeout);

    const auto& services = r.array(r.member(document, "services", "services"), "services");
    std::set<std::string> interfaces;
    std::set<std::uint16_t> ids;
    for (std::size_t i = 0; i < services.size(); ++i) {
        const auto key = at("services", i);
        auto service = read_service(r, services[i], key, deployment.unicast);
        if (!interfaces.insert(service.interface).second) r.fail(key + ".interface", "\"" + service.interface + "\" appears twice");
        if (!ids.insert(service.service_id).second) r.fail(key + ".service_id", "the id appears twice");
        deployment.services.push_back(std::move(service));
    }
    return deployment;
}

Deployment load_deployment(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw Deployment_error(path + ": cannot be read");
    std::ostringstream text;
    text << file.rdbuf();
    return parse_deployment(text.str(), path);
}

const Deployment& default_deployment() {
    static const Deployment deployment = parse_deployment(default_deployment_text, "default deployment");
    return deployment;
}

std::string installed_deployment_path() { return wardex::paths::etc_adaptive_dir() + "/com_deployment.json"; }

Deployment process_deployment(const std::string& path) {
    if (!path.empty()) return load_deployment(path);
    const auto installed = installed_deployment_path();
    if (std::ifstream(installed).good()) return load_deployment(installed);
    return default_deployment();
}

}  // namespace rk::com::runtime::someip
