// Header bytes, datagram splitting, session ids and the return-code mapping.
#include "rk/com/runtime/someip/message.h"

#include "rk/com/runtime/transport.h"

#include <gtest/gtest.h>

namespace rk::com::runtime::someip {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(SomeipHeader, RequestEncodesToTheReferenceBytes) {
    Header header;
    header.service_id = 0x1234;
    header.method_id = 0x0001;
    header.client_id = 0x0001;
    header.session_id = 0x0001;
    header.interface_version = 0x01;
    header.message_type = message_type::request;
    const Bytes payload{0x00, 0x00, 0x00, 0x00};
    Bytes out;
    append_message(out, header, payload.data(), payload.size());
    EXPECT_EQ(out, (Bytes{0x12, 0x34, 0x00, 0x01, 0x00, 0x00, 0x00, 0x0c, 0x00, 0x01, 0x00, 0x01,
                          0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    const Header back = decode_header(out.data());
    EXPECT_EQ(back.service_id, 0x1234);
    EXPECT_EQ(back.method_id, 0x0001);
    EXPECT_EQ(back.length, 12u);
    EXPECT_EQ(back.payload_size(), 4u);
    EXPECT_EQ(back.message_type, message_type::request);
}

TEST(SomeipDatagram, SeveralMessagesAreSplitAtTheirLengths) {
    Header first;
    first.service_id = 0x0401;
    first.method_id = 0x0001;
    Header second = first;
    second.method_id = 0x0000;
    Bytes datagram;
    const Bytes payload{0xAB, 0xCD, 0xEF};
    append_message(datagram, first, payload.data(), payload.size());
    append_message(datagram, second, nullptr, 0);
    const auto messages = split_datagram(datagram.data(), datagram.size());
    ASSERT_TRUE(messages.has_value());
    ASSERT_EQ(messages->size(), 2u);
    EXPECT_EQ((*messages)[0].header.method_id, 0x0001);
    EXPECT_EQ((*messages)[0].payload_offset, 16u);
    EXPECT_EQ((*messages)[0].header.payload_size(), 3u);
    EXPECT_EQ((*messages)[1].header.method_id, 0x0000);
    EXPECT_EQ((*messages)[1].payload_offset, 35u);
    EXPECT_EQ((*messages)[1].header.payload_size(), 0u);
}

TEST(SomeipDatagram, LengthsThatDoNotAddUpRejectTheWholeDatagram) {
    Header header;
    Bytes good;
    append_message(good, header, nullptr, 0);

    EXPECT_FALSE(split_datagram(good.data(), 0).has_value()) << "empty";
    EXPECT_FALSE(split_datagram(good.data(), 15).has_value()) << "header cut short";

    Bytes short_length = good;
    short_length[7] = 7;
    EXPECT_FALSE(split_datagram(short_length.data(), short_length.size()).has_value()) << "length below 8";

    Bytes past_end = good;
    past_end[7] = 9;
    EXPECT_FALSE(split_datagram(past_end.data(), past_end.size()).has_value()) << "length past the end";

    Bytes huge = good;
    huge[4] = huge[5] = huge[6] = huge[7] = 0xFF;
    EXPECT_FALSE(split_datagram(huge.data(), huge.size()).has_value()) << "length near 4 GiB";

    Bytes trailing = good;
    trailing.insert(trailing.end(), {0x01, 0x02, 0x03});
    EXPECT_FALSE(split_datagram(trailing.data(), trailing.size()).has_value()) << "bytes after the last message";

    Bytes second_bad = good;
    second_bad.insert(second_bad.end(), past_end.begin(), past_end.end());
    EXPECT_FALSE(split_datagram(second_bad.data(), second_bad.size()).has_value())
        << "a good message does not save a datagram whose second message is bad";
}

TEST(SomeipSession, CountsFromOneAndWrapsPastFfffToOne) {
    Session_counter counter;
    EXPECT_EQ(counter.next(), 1);
    EXPECT_EQ(counter.next(), 2);

    Session_counter near_end(0xFFFE);
    EXPECT_EQ(near_end.next(), 0xFFFE);
    EXPECT_EQ(near_end.next(), 0xFFFF);
    EXPECT_EQ(near_end.next(), 1) << "0 means no session handling and is never used";
    EXPECT_EQ(near_end.next(), 2);

    EXPECT_EQ(Session_counter(0).next(), 1);
}

TEST(SomeipReturnCodes, ProviderCodesBecomeWireReplies) {
    auto expect = [](std::uint8_t binding, std::uint8_t type, std::uint8_t code, bool payload) {
        const auto wire = to_wire_reply(binding);
        EXPECT_EQ(wire.message_type, type) << int(binding);
        EXPECT_EQ(wire.return_code, code) << int(binding);
        EXPECT_EQ(wire.with_payload, payload) << int(binding);
    };
    expect(0x00, message_type::response, 0x00, true);
    expect(0x80, message_type::error, 0x01, false);
    expect(0x01, message_type::error, 0x20, true);
    expect(0x02, message_type::error, 0x21, true);
    expect(0x3F, message_type::error, 0x5E, true);
    expect(0x82, message_type::error, 0x03, false);
    expect(0xFF, message_type::error, 0x02, false);
    expect(0x40, message_type::error, 0x01, false);
    expect(0x81, message_type::error, 0x01, false);
}

TEST(SomeipReturnCodes, WireRepliesBecomeCallerCodes) {
    using namespace message_type;
    EXPECT_EQ(to_binding_code(response, 0x00), return_code::ok);
    EXPECT_EQ(to_binding_code(error, 0x01), return_code::request_failed);
    EXPECT_EQ(to_binding_code(error, 0x20), 0x01);
    EXPECT_EQ(to_binding_code(error, 0x21), 0x02);
    EXPECT_EQ(to_binding_code(error, 0x5E), 0x3F);
    for (std::uint8_t code : {0x03, 0x07, 0x08, 0x09, 0x0A}) {
        EXPECT_EQ(to_binding_code(error, code), return_code::rejected) << int(code);
    }
    EXPECT_EQ(to_binding_code(error, 0x02), return_code::not_available);
    EXPECT_EQ(to_binding_code(error, 0x06), return_code::timeout);
    EXPECT_EQ(to_binding_code(error, 0x00), return_code::rejected) << "an ERROR claiming success";
    EXPECT_EQ(to_binding_code(error, 0x5F), return_code::rejected);
    EXPECT_EQ(to_binding_code(response, 0x01), return_code::request_failed);
    // Every wire code an application error can become comes back as itself.
    for (int n = 1; n <= 0x3F; ++n) {
        const auto wire = to_wire_reply(static_cast<std::uint8_t>(n));
        EXPECT_EQ(to_binding_code(wire.message_type, wire.return_code), n);
    }
}

}  // namespace
}  // namespace rk::com::runtime::someip
