// Service discovery messages: the reference bytes of an offer and a
// subscription, refusal of payloads that do not add up, and request sessions.
#include "rk/com/someip/message.h"
#include "rk/com/someip/sd_message.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace rk::com::someip {
namespace {

using Bytes = std::vector<std::uint8_t>;

// An offer with one endpoint and a subscription without, session 1.
const Bytes reference = {0xff, 0xff, 0x81, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01,
                         0x02, 0x00, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x01, 0x00, 0x00, 0x10,
                         0x12, 0x34, 0x00, 0x01, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00,
                         0x00, 0x00, 0x12, 0x34, 0x00, 0x01, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01,
                         0x00, 0x00, 0x00, 0x0c, 0x00, 0x09, 0x04, 0x00, 0x7f, 0x00, 0x00, 0x01, 0x00, 0x11,
                         0x77, 0x2d};

TEST(SdMessage, OfferAndSubscribeEncodeToTheReferenceBytes) {
    sd::Message message;
    message.flags = sd::flag_reboot | sd::flag_unicast;
    sd::Entry offer;
    offer.type = sd::entry_type::offer_service;
    offer.service_id = 0x1234;
    offer.instance_id = 1;
    offer.major_version = 1;
    offer.ttl = 3;
    offer.first_option = sd::add_endpoint(message, sd::Endpoint{0x7F000001, sd::protocol_udp, 30509});
    offer.first_count = 1;
    sd::Entry subscribe = offer;
    subscribe.type = sd::entry_type::subscribe_eventgroup;
    subscribe.first_count = 0;
    subscribe.eventgroup = 1;
    message.entries = {offer, subscribe};
    const auto bytes = sd::encode(message, 1);
    ASSERT_EQ(bytes, reference);

    const auto parsed = sd::parse(bytes.data() + 16, bytes.size() - 16);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(sd::encode(*parsed, 1), reference) << "parsed back whole";
    EXPECT_EQ(parsed->endpoints_of(parsed->entries[0]),
              std::vector<sd::Endpoint>{(sd::Endpoint{0x7F000001, sd::protocol_udp, 30509})});
    EXPECT_TRUE(parsed->endpoints_of(parsed->entries[1]).empty());
}

TEST(SdMessage, PayloadsThatDoNotAddUpAreRefusedWhole) {
    // Past the header: flags, entries length, two entries from 8, options length at 40, the option from 44.
    const Bytes good(reference.begin() + 16, reference.end());
    auto broken = [&](std::size_t at, std::uint8_t value) {
        Bytes bytes = good;
        bytes.at(at) = value;
        return bytes;
    };
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"entry array past the end", broken(7, 0x40)},
        {"entry array of part of an entry", broken(7, 0x08)},
        {"first option run past the options", broken(9, 1)},
        {"second option run past the options", [&] { Bytes b = broken(11, 0x11); b.at(10) = 1; return b; }()},
        {"option length past its array", broken(45, 0x0A)},
        {"options array past the end", broken(43, 0x0D)},
        {"cut short", Bytes(good.begin(), good.end() - 1)},
        {"bytes left over", [&] { Bytes b = good; b.push_back(0); return b; }()},
        {"no header", Bytes{0xC0, 0, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(sd::parse(c.second.data(), c.second.size()).has_value()) << c.first;
    }
}

// Request sessions count from 1 and skip 0 when they wrap (discovery's own
// counters are checked with the state machine).
TEST(Sessions, CountFromOneAndWrapPastFfffToOne) {
    Session_counter near_end(0xFFFE);
    EXPECT_EQ(near_end.next(), 0xFFFE);
    EXPECT_EQ(near_end.next(), 0xFFFF);
    EXPECT_EQ(near_end.next(), 1);
    EXPECT_EQ(near_end.next(), 2);
    EXPECT_EQ(Session_counter(0).next(), 1);
}

}  // namespace
}  // namespace rk::com::someip
