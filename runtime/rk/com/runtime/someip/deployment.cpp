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

void read_instances(const Reader& r, const json& value, const std::string& key, const std::string& unicast,
                    Service_deployment& service) {
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
}

// The entries of an optional array member, each read by read_one(r, entry, its key).
template <typename Entry>
std::vector<Entry> read_entries(const Reader& r, const json& value, const std::string& key, const char* name,
                                Entry (*read_one)(const Reader&, const json&, const std::string&)) {
    std::vector<Entry> out;
    if (!value.contains(name)) return out;
    const std::string list_key = key + "." + name;
    const auto& list = r.array(value[name], list_key);
    for (std::size_t i = 0; i < list.size(); ++i) {
        const auto entry_key = at(list_key, i);
        out.push_back(read_one(r, r.object(list[i], entry_key), entry_key));
    }
    return out;
}

Method_deployment read_method(const Reader& r, const json& entry, const std::string& mkey) {
    Method_deployment method;
    method.name = r.text(r.member(entry, mkey + ".name", "name"), mkey + ".name");
    method.id = static_cast<std::uint16_t>(r.number(r.member(entry, mkey + ".id", "id"), mkey + ".id", 0x7FFF));
    return method;
}

Event_deployment read_event(const Reader& r, const json& entry, const std::string& ekey) {
    Event_deployment event;
    event.name = r.text(r.member(entry, ekey + ".name", "name"), ekey + ".name");
    event.id = static_cast<std::uint16_t>(r.number(r.member(entry, ekey + ".id", "id"), ekey + ".id", 0xFFFF));
    if (event.id < 0x8000) r.fail(ekey + ".id", "an event id has bit 15 set (0x8000 and up)");
    event.eventgroup = static_cast<std::uint16_t>(
        r.number(r.member(entry, ekey + ".eventgroup", "eventgroup"), ekey + ".eventgroup", 0xFFFE));
    return event;
}

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
    read_instances(r, value, key, unicast, service);
    service.methods = read_entries(r, value, key, "methods", read_method);
    service.events = read_entries(r, value, key, "events", read_event);
    return service;
}

// The optional members of the discovery section, each with its fallback when missing.
class Discovery_reader {
public:
    Discovery_reader(const Reader& r, const json& value, const std::string& key)
        : r_(r), value_(value), key_(key) {}

    bool flag(const char* name, bool fallback) const {
        if (!value_.contains(name)) return fallback;
        if (!value_[name].is_boolean()) r_.fail(key_ + "." + name, "expected true or false");
        return value_[name].get<bool>();
    }
    std::chrono::milliseconds milliseconds(const char* name, std::chrono::milliseconds fallback) const {
        if (!value_.contains(name)) return fallback;
        return std::chrono::milliseconds(r_.number(value_[name], key_ + "." + name, 3600000));
    }
    std::uint32_t at_least_one(const char* name, std::uint32_t fallback, std::uint32_t most) const {
        if (!value_.contains(name)) return fallback;
        const auto number = static_cast<std::uint32_t>(r_.number(value_[name], key_ + "." + name, most));
        if (number == 0) r_.fail(key_ + "." + name, "must be at least 1");
        return number;
    }

private:
    const Reader& r_;
    const json& value_;
    const std::string& key_;
};

void read_peers(const Reader& r, const json& value, const std::string& key, Service_discovery_deployment& sd) {
    if (!value.contains("peers")) return;
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

// When offers go out and how long offers and subscriptions live.
void read_timing(const Reader& r, const json& value, const std::string& key, Service_discovery_deployment& sd) {
    const Discovery_reader read(r, value, key);
    sd.initial_delay_min = read.milliseconds("initial_delay_min_ms", sd.initial_delay_min);
    sd.initial_delay_max = read.milliseconds("initial_delay_max_ms", sd.initial_delay_max);
    if (sd.initial_delay_max < sd.initial_delay_min) {
        r.fail(key + ".initial_delay_max_ms", "below initial_delay_min_ms");
    }
    sd.repetition_base_delay = read.milliseconds("repetition_base_delay_ms", sd.repetition_base_delay);
    if (value.contains("repetitions_max")) {
        sd.repetitions_max = static_cast<std::uint32_t>(r.number(value["repetitions_max"], key + ".repetitions_max", 10));
    }
    sd.cyclic_offer_delay = read.milliseconds("cyclic_offer_delay_ms", sd.cyclic_offer_delay);
    if (sd.cyclic_offer_delay.count() == 0) r.fail(key + ".cyclic_offer_delay_ms", "must be at least 1");
    sd.offer_ttl = read.at_least_one("offer_ttl_s", sd.offer_ttl, 0xFFFFFF);
    sd.subscription_ttl = read.at_least_one("subscription_ttl_s", sd.subscription_ttl, 0xFFFFFF);
}

// What other processes may ask of this one.
void read_limits(const Reader& r, const json& value, const std::string& key, Service_discovery_deployment& sd) {
    const Discovery_reader read(r, value, key);
    sd.max_subscription_ttl = read.at_least_one("max_subscription_ttl_s", sd.max_subscription_ttl, 0xFFFFFE);
    sd.max_subscribers_per_eventgroup =
        read.at_least_one("max_subscribers_per_eventgroup", sd.max_subscribers_per_eventgroup, 65535);
    sd.max_subscribers_per_address =
        read.at_least_one("max_subscribers_per_address", sd.max_subscribers_per_address, 65535);
    sd.max_peers = read.at_least_one("max_peers", sd.max_peers, 65535);
    sd.peer_timeout = std::chrono::seconds(read.at_least_one("peer_timeout_s", sd.peer_timeout.count(), 86400));
    sd.subscribers_on_other_addresses = read.flag("subscribers_on_other_addresses", sd.subscribers_on_other_addresses);
    sd.offers_on_other_addresses = read.flag("offers_on_other_addresses", sd.offers_on_other_addresses);
}

Service_discovery_deployment read_discovery(const Reader& r, const json& value, const std::string& key) {
    r.object(value, key);
    const Discovery_reader read(r, value, key);
    Service_discovery_deployment sd;
    sd.port = static_cast<std::uint16_t>(r.number(r.member(value, key + ".port", "port"), key + ".port", 0xFFFF));
    sd.enabled = read.flag("enabled", sd.enabled);
    sd.unicast_only = read.flag("unicast_only", sd.unicast_only);
    if (value.contains("multicast")) {
        sd.multicast = r.address(value["multicast"], key + ".multicast");
        in_addr group{};
        inet_pton(AF_INET, sd.multicast.c_str(), &group);
        if ((ntohl(group.s_addr) >> 28) != 0xE) r.fail(key + ".multicast", "not a multicast address (224.0.0.0/4)");
    }
    read_peers(r, value, key, sd);
    if (sd.enabled && sd.unicast_only && sd.peers.empty()) r.fail(key + ".peers", "unicast_only needs at least one peer");
    read_timing(r, value, key, sd);
    read_limits(r, value, key, sd);
    sd.share_port = read.flag("share_port", sd.share_port);
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
