#include "wardex/protocol.h"

#include <gtest/gtest.h>

#include <tuple>

namespace wardex::protocol {
namespace {

struct Collected {
    std::vector<std::string> lines;
    int overlong = 0;
    Line_splitter splitter{[this](std::string_view line) { lines.emplace_back(line); },
                           [this] { ++overlong; }};
};

TEST(LineSplitter, DropsAnOverlongLineUpToItsEndAndGoesOn) {
    Collected c;
    c.splitter.feed(std::string(kMaxLineLength, 'a') + "\n");
    EXPECT_EQ(c.lines.size(), 1u);
    c.splitter.feed(std::string(kMaxLineLength, 'b'));
    c.splitter.feed("b");
    c.splitter.feed(std::string(5000, 'b'));
    c.splitter.feed("bbb\nfailure CB1\n");
    EXPECT_EQ(c.overlong, 1);
    ASSERT_EQ(c.lines.size(), 2u);
    EXPECT_EQ(c.lines[1], "failure CB1");
}

// Each good line reads and is written back unchanged; each bad one is refused with a reason.
template <typename Parse>
void check_lines(Parse parse, const std::vector<std::string>& good, const std::vector<std::string>& bad) {
    std::string error;
    for (const auto& line : good) {
        const auto message = parse(line, error);
        ASSERT_TRUE(message) << line << ": " << error;
        EXPECT_EQ(format(*message), line);
    }
    for (const auto& line : bad) {
        error.clear();
        EXPECT_FALSE(parse(line, error)) << printable(line);
        EXPECT_FALSE(error.empty()) << printable(line);
    }
}

TEST(PlatformLines, ReadEveryMessageWriteItBackUnchangedAndRejectMalformedLines) {
    check_lines(parse_phm_line,
                {"subscribe CB1", "subscribe Name with blanks", "failure CB1", "checkpoint Wardex 25011 25011",
                 "checkpoint A b 0 65535", "delivered 3", "watch"},
                {"", "bogus", "subscribe", "subscribe ", "failure CB1\r", std::string("failure C\0B", 10),
                 "checkpoint Wardex 25011", "checkpoint Wardex 65536 1", "checkpoint Wardex -1 1", "checkpoint  1 2",
                 "checkpoint Wardex 1 0x10", "delivered", "delivered x", "watch ", "SUBSCRIBE CB1"});
    check_lines(parse_exec_line,
                {"state Wardex kRunning", "state Wardex kShuttingdown", "restart App1", "stop App 2",
                 "reset-platform 5000", "ok", "watch", "error 1 not allowed", "error 111 ",
                 "request 7 18446744073709551615 restart App 1", "request 1 0 state Wardex kRunning", "answer 7 ok",
                 "answer 4294967295 error 62 request expired"},
                {"state Wardex kStarting", "state kRunning", "restart", "stop ", "reset-platform",
                 "reset-platform -1", "reset-platform 2147483648", "error 0 zero", "error 4096 big", "error x y",
                 "ok ", "okay", "request 0 1 restart A", "request 1 restart A", "request 1 2 ok",
                 "request 1 2 watch", "request 1 2 request 3 4 restart A", "answer 1 restart A",
                 "answer 4294967296 ok", "answer ok", "answer 1 2 ok"});
    std::string error;
    const auto checkpoint = parse_phm_line("checkpoint Wardex 25011 25012", error);
    ASSERT_TRUE(checkpoint);
    EXPECT_EQ(std::tie(checkpoint->name, checkpoint->supervision_entity, checkpoint->checkpoint_id),
              std::make_tuple("Wardex", 25011, 25012));
    const auto identified = parse_exec_line("request 12 345 stop App 2", error);
    ASSERT_TRUE(identified);
    EXPECT_EQ(std::tie(identified->kind, identified->name, identified->id, identified->deadline_ns),
              std::make_tuple(Exec_message::Kind::kStop, "App 2", 12u, 345u));
    parse_phm_line("frobnicate", error);
    EXPECT_EQ(error, "unknown message");
}

TEST(Printable, EscapesControlCharactersAndCutsLongLines) {
    EXPECT_EQ(printable("a\tb\\c\x7f"), "a\\x09b\\x5cc\\x7f");
    EXPECT_EQ(printable(std::string(100, 'x')), std::string(80, 'x') + "...");
}

}  // namespace
}  // namespace wardex::protocol
