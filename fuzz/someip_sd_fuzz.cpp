// Feeds arbitrary SD payloads (the bytes after the SOME/IP header) to the
// service discovery parser. Every option run of an accepted message must lie
// inside its options, and a message made only of IPv4 endpoint options must
// encode back to the same payload.
#include "rk/com/someip/sd_message.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace rk::com::someip;
    const auto message = sd::parse(data, size);
    if (!message) return 0;
    bool endpoints_only = true;
    for (const auto& option : message->options) endpoints_only = endpoints_only && option.endpoint.has_value();
    for (const auto& entry : message->entries) {
        if (entry.first_count != 0 && entry.first_option + entry.first_count > message->options.size()) std::abort();
        if (entry.second_count != 0 && entry.second_option + entry.second_count > message->options.size()) std::abort();
        if (message->endpoints_of(entry).size() > 30) std::abort();
    }
    if (!endpoints_only) return 0;
    const auto again = sd::encode(*message, 1);
    if (again.size() != 16 + size) return 0;
    // Reserved bits are written as zero, so only payloads that had them zero compare equal.
    sd::Message reparsed = *sd::parse(again.data() + 16, size);
    if (reparsed.entries.size() != message->entries.size() || reparsed.options.size() != message->options.size()) {
        std::abort();
    }
    for (std::size_t i = 0; i < reparsed.entries.size(); ++i) {
        const auto& a = reparsed.entries[i];
        const auto& b = message->entries[i];
        if (a.type != b.type || a.service_id != b.service_id || a.instance_id != b.instance_id || a.ttl != b.ttl ||
            a.eventgroup != b.eventgroup || a.minor_version != b.minor_version) {
            std::abort();
        }
    }
    return 0;
}
