// Arbitrary bytes as a stream on phm.sock or exec.sock: splitting and parsing
// never crash, lines stay within the limit, and every message that parses
// is written back as a line that parses to the same message.
#include "wardex/protocol.h"

#include <cstdint>
#include <string_view>

using namespace wardex::protocol;

namespace {

void check_phm(std::string_view line) {
    std::string error;
    const auto message = parse_phm_line(line, error);
    if (!message) return;
    const auto again = parse_phm_line(format(*message), error);
    if (!again || again->kind != message->kind || again->name != message->name ||
        again->supervision_entity != message->supervision_entity ||
        again->checkpoint_id != message->checkpoint_id || again->count != message->count) {
        __builtin_trap();
    }
}

void check_exec(std::string_view line) {
    std::string error;
    const auto message = parse_exec_line(line, error);
    if (!message) return;
    const auto again = parse_exec_line(format(*message), error);
    if (!again || again->kind != message->kind || again->name != message->name ||
        again->state != message->state || again->number != message->number || again->id != message->id ||
        again->deadline_ns != message->deadline_ns) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Line_splitter splitter(
        [](std::string_view line) {
            if (line.size() > kMaxLineLength) __builtin_trap();
            check_phm(line);
            check_exec(line);
            (void)printable(line);
        },
        [] {});
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Fed in two pieces, so lines that straddle reads are exercised too.
    splitter.feed(bytes.substr(0, size / 2));
    splitter.feed(bytes.substr(size / 2));
    return 0;
}
