// Where the services of the system live on the network: the SOME/IP ids of
// each interface and its members, the UDP endpoint of each instance, the
// client id of this process and the call time-out. A default deployment is
// compiled in; <sysroot>/etc/adaptive/com_deployment.json replaces it.
#pragma once

#include "rk/com/runtime/someip/sd_types.h"

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace rk::com::runtime::someip {

struct Method_deployment {
    std::string name;
    std::uint16_t id{0};
};

struct Event_deployment {
    std::string name;
    std::uint16_t id{0};
    std::uint16_t eventgroup{0};
};

struct Instance_deployment {
    std::string instance;
    std::uint16_t instance_id{0};
    std::string address;
    std::uint16_t port{0};
};

struct Service_deployment {
    // The interface's fully qualified name, as the service id text.
    std::string interface;
    std::uint16_t service_id{0};
    std::uint8_t major_version{0};
    std::uint32_t minor_version{0};
    std::vector<Instance_deployment> instances;
    // In the interface's order: the binding's method id n is methods[n].
    std::vector<Method_deployment> methods;
    std::vector<Event_deployment> events;
    // Requests an offered instance has received and not yet started: at most
    // this many, with at most this many payload bytes; others are dropped.
    std::uint32_t max_queued_requests{64};
    std::uint32_t max_queued_bytes{1024 * 1024};

    const Instance_deployment* find_instance(const std::string& instance) const;
    const Instance_deployment* find_instance(std::uint16_t instance_id) const;
    // The index of the event in events (the binding's event id), or -1.
    int find_eventgroup_event(std::uint16_t eventgroup) const;
};

// How instances are found. With discovery on, offers go to the multicast
// group (and to every peer listed); with unicast_only, to the peers alone,
// and this process listens for discovery on unicast:port. With discovery
// off, an instance of another process counts as available when the
// deployment gives it an endpoint. share_port lets another stack's sockets
// bind the discovery port too (one host, two stacks); otherwise the unicast
// discovery socket is bound exclusively.
struct Service_discovery_deployment : Discovery_timing {
    bool enabled{true};
    bool unicast_only{false};
    bool share_port{false};
    std::uint16_t port{30490};
    std::string multicast{"224.244.224.245"};
    struct Peer {
        std::string address;
        std::uint16_t port{0};
    };
    std::vector<Peer> peers;
};

struct Deployment {
    std::string unicast{"127.0.0.1"};
    std::uint16_t client_id{0};
    Service_discovery_deployment service_discovery;
    std::chrono::milliseconds call_timeout{0};
    std::vector<Service_deployment> services;

    const Service_deployment* find_service(const std::string& interface) const;
    const Service_deployment* find_service(std::uint16_t service_id) const;
};

// A deployment that cannot be used; what() names the file and the key.
class Deployment_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The deployment compiled into the runtime (the one shipped as
// config/com_deployment.json).
const Deployment& default_deployment();

// origin names the text in error messages (usually the file name).
Deployment parse_deployment(const std::string& text, const std::string& origin);
Deployment load_deployment(const std::string& path);

// <sysroot>/etc/adaptive/com_deployment.json
std::string installed_deployment_path();

// The deployment of this process: the file at path when one is given, else
// the installed file when there is one, else the default.
Deployment process_deployment(const std::string& path);

}  // namespace rk::com::runtime::someip
