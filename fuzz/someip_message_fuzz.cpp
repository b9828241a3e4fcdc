// Feeds arbitrary datagrams to the SOME/IP datagram parser. Every message it
// accepts must lie inside the datagram, and encoding the messages again must
// give back the datagram byte for byte.
#include "rk/com/someip/message.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace rk::com::someip;
    const auto messages = split_datagram(data, size);
    if (!messages) return 0;
    std::vector<std::uint8_t> again;
    for (const auto& message : *messages) {
        const auto& header = message.header;
        if (header.length < minimal_length) std::abort();
        if (message.payload_offset + header.payload_size() > size) std::abort();
        append_message(again, header, data + message.payload_offset, header.payload_size());
    }
    if (again.size() != size || !std::equal(again.begin(), again.end(), data)) std::abort();
    return 0;
}
