// The SOME/IP transport on loopback against a plain UDP socket playing the
// peer, every socket on a port the system picks.
#include "rk/com/runtime/someip/udp_transport.h"

#include "ara/log/capture.h"
#include "rk/com/someip/message.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <optional>

namespace rk::com::runtime::someip {
namespace {

using cpp_binding::Service_info;
using rk::com::someip::append_message;
using rk::com::someip::Header;
using tq::com::runtime::Instance_id;
using tq::com::runtime::Payload_buffer;
using tq::com::runtime::Serialized_payload;
using tq::com::runtime::Service_id;
using wardex::test::wait_until;
using Bytes = std::vector<std::uint8_t>;

const char* const did_interface = "orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets";
const Service_info did{Service_id(did_interface), Instance_id("1")};

Deployment test_deployment(std::uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    Deployment d;
    d.unicast = "127.0.0.1";
    d.client_id = 0x5744;
    d.call_timeout = timeout;
    // Discovery is tested on its own; here the deployment's endpoints count.
    d.service_discovery.enabled = false;
    d.services.push_back(Service_deployment{
        did_interface, 0x0401, 1, 0, {{"1", 1, "127.0.0.1", port}}, {{"Cancel", 0x0000}, {"Read", 0x0001}}, {}, 2, 6});
    return d;
}

Serialized_payload payload_of(Bytes bytes) {
    return Serialized_payload(Serialized_payload::someip, std::make_shared<Payload_buffer>(std::move(bytes)));
}

// A message of the data identifier service, interface version 1.
Bytes message(std::uint16_t method, std::uint16_t session, std::uint8_t type, const Bytes& payload = {},
              std::uint16_t client = 0x1001, std::uint8_t code = 0) {
    const Header header{0x0401, method, 0, client, session, 1, 1, type, code};
    Bytes out;
    append_message(out, header, payload.data(), payload.size());
    return out;
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A plain UDP socket on 127.0.0.1 with a port of the system's choice.
class Raw_peer {
public:
    Raw_peer() {
        sockaddr_in address = loopback(0);
        socklen_t size = sizeof address;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), size), 0);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    ~Raw_peer() { ::close(fd_); }
    void send_to(std::uint16_t to_port, const Bytes& bytes) const {
        const sockaddr_in to = loopback(to_port);
        ASSERT_EQ(::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }
    // The next datagram, and the port it came from; nothing after the time-out.
    std::optional<Bytes> receive(std::uint16_t* from_port = nullptr) const {
        pollfd entry{fd_, POLLIN, 0};
        Bytes bytes(65536);
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const auto got = ::poll(&entry, 1, 10000) != 1 ? -1
                         : ::recvfrom(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &size);
        if (got < 0) return std::nullopt;
        bytes.resize(static_cast<std::size_t>(got));
        if (from_port != nullptr) *from_port = ntohs(from.sin_port);
        return bytes;
    }
    std::uint16_t port{0};

private:
    int fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

// Collects the responses of one call; the first one is kept.
struct Response_slot {
    Response_handler handler() {
        return [this](std::uint8_t c, Serialized_payload p) {
            if (calls == 0) code = c, payload = p.payload();
            ++calls;
        };
    }
    // The return code, or nothing after the time-out.
    std::optional<std::uint8_t> wait() {
        return wait_until([&] { return calls > 0; }) ? std::optional<std::uint8_t>(code) : std::nullopt;
    }
    std::atomic<int> calls{0};
    std::uint8_t code{0};
    Bytes payload;
};

// A provider whose answer the test chooses; counts its calls, and keeps
// their requests while told to hold them.
using Script = std::function<void(std::uint16_t method_id, const Bytes& request, Reply_function& reply)>;
struct Scripted_provider final : Request_handler {
    explicit Scripted_provider(Script s) : script(std::move(s)) {}
    void on_request(std::uint16_t method_id, std::uint16_t, Serialized_payload request, Reply_function reply) override {
        ++calls;
        if (std::lock_guard<std::mutex> lock(mutex); hold) held.push_back(request);
        script(method_id, request.payload(), reply);
    }
    Script script;
    std::atomic<int> calls{0};
    std::mutex mutex;
    std::atomic<bool> hold{false};
    std::vector<Serialized_payload> held;
};
std::shared_ptr<Scripted_provider> scripted(Script script) { return std::make_shared<Scripted_provider>(script); }

// Read answers 01 | 00 00 00 02 | 12 34; Cancel answers with the binding
// code held in the request's first byte and the rest as payload.
void read_script(std::uint16_t method_id, const Bytes& request, Reply_function& reply) {
    if (!reply) return;
    if (method_id == 1) reply(0, payload_of({0x01, 0x00, 0x00, 0x00, 0x02, 0x12, 0x34}));
    if (method_id == 0 && !request.empty()) reply(request[0], payload_of(Bytes(request.begin() + 1, request.end())));
}

Bytes read_request(std::uint16_t session) { return message(0x0001, session, 0x00, {0, 0, 0, 0}); }

// A server offering the data identifier with a script, and a plain socket calling it.
struct Served : ::testing::Test {
    void serve(Script script) {
        provider = scripted(std::move(script));
        server.offer(did, {0, 2}, provider);
        port = server.bound_port(did).value_or(0);
    }
    void SetUp() override { serve(read_script); }

    Udp_transport server{test_deployment(0)};
    std::shared_ptr<Scripted_provider> provider;
    std::uint16_t port{0};
    Raw_peer tester;
};

TEST_F(Served, MalformedDatagramsAreDroppedWholeAndCountedAndSeveralMessagesInOneAreEachAnswered) {
    auto changed = [&](std::size_t at, std::uint8_t value) {
        Bytes bytes = read_request(1);
        bytes.at(at) = value;
        return bytes;
    };
    Bytes huge = read_request(1);
    huge[4] = huge[5] = huge[6] = huge[7] = 0xFF;
    Bytes trailing = read_request(1);
    trailing.push_back(0xEE);
    const Bytes cut_short(trailing.begin(), trailing.begin() + 10);
    const Bytes past_end = changed(7, 0x40);
    // A good message does not save a datagram whose second message is bad.
    Bytes second_bad = read_request(1);
    second_bad.insert(second_bad.end(), past_end.begin(), past_end.end());
    const std::vector<Bytes> bad{Bytes{}, cut_short, changed(7, 7), past_end, huge, trailing, second_bad};
    for (const auto& datagram : bad) tester.send_to(port, datagram);
    Bytes both = read_request(8);
    const Bytes second = read_request(9);
    both.insert(both.end(), second.begin(), second.end());
    tester.send_to(port, both);
    // The first answer is the one to the good request: no bad one was handed on.
    EXPECT_EQ(tester.receive().value_or(Bytes(12))[11], 8);
    EXPECT_EQ(tester.receive().value_or(Bytes(12))[11], 9);
    EXPECT_EQ(server.statistics().malformed_datagrams, bad.size());
}

TEST_F(Served, BindingCodesBecomeResponsesAndErrors) {
    // The binding code, then the payload to answer with; the message type and
    // return code on the wire. Codes without a wire meaning of their own fail
    // the request without payload.
    const std::vector<std::tuple<Bytes, std::uint8_t, std::uint8_t>> cases{
        {{0x00, 0xAA}, 0x80, 0x00}, {{0x80}, 0x81, 0x01}, {{0x01, 0x07}, 0x81, 0x20},
        {{0x02, 0x31}, 0x81, 0x21}, {{0x3F, 0x01, 0x02}, 0x81, 0x5E}, {{0x82}, 0x81, 0x03},
        {{0xFF}, 0x81, 0x02},       {{0x40}, 0x81, 0x01},             {{0x81}, 0x81, 0x01}, {{0x87}, 0x81, 0x09}};
    std::uint16_t session = 1;
    for (const auto& [request, type, code] : cases) {
        SCOPED_TRACE(int(request[0]));
        tester.send_to(port, message(0x0000, session, 0x00, request));
        const Bytes payload(request.begin() + 1, request.end());
        EXPECT_EQ(tester.receive(), message(0x0000, session++, type, payload, 0x1001, code));
    }
}

TEST_F(Served, RefusedRequestsGetTheirErrorWithoutPayloadAndRequestsWithoutReplyNone) {
    // A Read with another service, method, protocol or interface version, or
    // segmented; the return code. A reserved message type or a return code
    // that is not 0 gets no answer (0).
    const std::vector<std::tuple<std::size_t, std::uint8_t, std::uint8_t>> cases{
        {1, 0x02, 0x02}, {3, 0x05, 0x03}, {12, 2, 0x07}, {13, 9, 0x08}, {14, 0x20, 0x0A}, {14, 0x04, 0}, {15, 1, 0}};
    for (const auto& [at, value, code] : cases) {
        SCOPED_TRACE(int(code));
        Bytes request = read_request(0x30);
        request[at] = value;
        Bytes error(request.begin(), request.begin() + 16);
        error[7] = 8;
        error[12] = 1;
        error[14] = 0x81;
        error[15] = code;
        tester.send_to(port, request);
        if (code != 0) {
            EXPECT_EQ(tester.receive(), error);
        }
        request[14] = 0x01;  // the same as a request without reply: no answer
        tester.send_to(port, request);
    }
    tester.send_to(port, read_request(0x40));
    EXPECT_EQ(tester.receive().value_or(Bytes(12))[11], 0x40);
}

// Requests the provider still holds count against the bound (2 requests, 6
// bytes); those beyond are dropped unanswered, counted, and warned of once.
TEST_F(Served, RequestsBeyondTheBoundOfWhatTheProviderHoldsAreDroppedUnanswered) {
    provider->hold = true;
    ara::log::Capture capture;
    for (const Bytes& request : {read_request(1), read_request(2), message(1, 3, 0x00), message(1, 4, 0x00)})
        tester.send_to(port, request);
    EXPECT_EQ(tester.receive().value_or(Bytes(12))[11], 1);
    EXPECT_EQ(tester.receive().value_or(Bytes(12))[11], 3);
    ASSERT_TRUE(wait_until([&] { return server.statistics().dropped_requests == 2; }));
    { std::lock_guard<std::mutex> lock(provider->mutex); provider->held.clear(); }
    tester.send_to(port, read_request(5));
    EXPECT_EQ(tester.receive().value_or(Bytes(12))[11], 5);
    EXPECT_EQ(capture.texts(), std::vector<std::string>{"SOME/IP request from 127.0.0.1:" + std::to_string(tester.port) +
                                                        " to service 1025 dropped: the requests waiting there reached "
                                                        "their bound (2 requests, 6 bytes)"});
}

// The caller gets an error at once instead of waiting for its time-out.
TEST_F(Served, AResultTooLargeForOneDatagramIsAnsweredWithNotOkAndLoggedOnce) {
    server.stop_offer(did);
    serve([](std::uint16_t, const Bytes&, Reply_function& reply) { reply(0, payload_of(Bytes(65536, 0xAB))); });
    ara::log::Capture capture;
    tester.send_to(port, read_request(7));
    EXPECT_EQ(tester.receive(), message(0x0001, 7, 0x81, {}, 0x1001, 0x01));
    EXPECT_EQ(capture.texts(), std::vector<std::string>{"SOME/IP reply to 127.0.0.1:" + std::to_string(tester.port) +
                                                        " too large for one datagram with 65536 bytes of payload; "
                                                        "answered E_NOT_OK"});
}

class Calling : public ::testing::Test {
protected:
    Bytes expect_request(std::uint16_t* from = nullptr) {
        auto bytes = peer.receive(from);
        EXPECT_TRUE(bytes.has_value());
        return bytes.value_or(Bytes(16));
    }
    // A reply from the peer with the session of the request.
    void answer(const Bytes& request, std::uint8_t type, const Bytes& payload = {}, std::uint8_t code = 0,
                std::uint16_t method = 1) {
        Bytes reply = message(method, 0, type, payload, 0x5744, code);
        reply[10] = request[10];
        reply[11] = request[11];
        peer.send_to(client.client_port(), reply);
    }

    Raw_peer peer;
    Udp_transport client{test_deployment(peer.port, std::chrono::milliseconds(200))};
};

TEST_F(Calling, RepliesAreMappedToBindingCodes) {
    // Message type, return code, binding code, payload.
    const std::vector<std::tuple<std::uint8_t, std::uint8_t, std::uint8_t, Bytes>> cases{
        {0x80, 0x00, 0x00, {0x01, 0x00, 0x00, 0x00, 0x01, 0x7F}},
        {0x81, 0x01, 0x80, {}}, {0x81, 0x21, 0x02, {0x31}}, {0x81, 0x20, 0x01, {}}, {0x81, 0x5E, 0x3F, {}},
        {0x81, 0x02, 0xFF, {}}, {0x81, 0x03, 0x82, {}},     {0x81, 0x07, 0x82, {}}, {0x81, 0x08, 0x82, {}},
        {0x81, 0x09, 0x82, {}}, {0x81, 0x0A, 0x82, {}},     {0x81, 0x06, 0x81, {}}, {0x80, 0x01, 0x80, {}},
        // An ERROR claiming success, and a code past the application errors.
        {0x81, 0x00, 0x82, {}}, {0x81, 0x5F, 0x82, {}},
    };
    for (const auto& [type, code, binding, payload] : cases) {
        SCOPED_TRACE(int(code));
        Response_slot slot;
        client.send_request(did, 1, 1, payload_of({0, 0, 0, 0}), slot.handler());
        answer(expect_request(), type, payload, code);
        EXPECT_EQ(slot.wait(), binding);
        EXPECT_EQ(slot.payload, payload);
    }
}

TEST_F(Calling, AnUnansweredCallTimesOutAndALateOrForeignReplyIsOnlyCounted) {
    Response_slot slot;
    client.send_request(did, 1, 500, payload_of({0, 0, 0, 0}), slot.handler());
    std::uint16_t from = 0;
    const Bytes request = expect_request(&from);
    // The client id of the deployment, sessions from 1, the call id not on the wire.
    EXPECT_EQ(request, (Bytes{0x04, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x0C, 0x57, 0x44, 0x00, 0x01, 0x01, 0x01,
                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(from, client.client_port());
    EXPECT_EQ(slot.wait(), return_code::timeout);

    answer(request, 0x80);
    // A reply for another client id, then a malformed one; then a call that
    // is answered, first for another method, whose replies are handled after
    // the others.
    peer.send_to(client.client_port(), message(0x0001, 1, 0x80, {}, 0x1234));
    peer.send_to(client.client_port(), Bytes{0x04, 0x01});
    Response_slot answered;
    client.send_request(did, 1, 2, payload_of({0, 0, 0, 0}), answered.handler());
    const Bytes second = expect_request();
    answer(second, 0x80, {}, 0, 0);
    answer(second, 0x80, {0x05});
    EXPECT_EQ(answered.wait(), return_code::ok);
    EXPECT_EQ(answered.payload, Bytes{0x05});
    EXPECT_EQ(client.statistics().unmatched_replies, 3u);
    EXPECT_EQ(client.statistics().malformed_datagrams, 1u);
    EXPECT_EQ(slot.calls, 1) << "the late reply does not answer the call again";
}

TEST(UdpTransportTeardown, AReplyAfterTheServerIsGoneStillLeavesFromItsEndpoint) {
    Reply_function kept;
    std::atomic<bool> handed_over{false};
    Raw_peer tester;
    std::uint16_t port = 0;
    {
        Udp_transport server{test_deployment(0)};
        server.offer(did, {0, 2}, scripted([&](std::uint16_t, const Bytes&, Reply_function& reply) {
                         kept = std::move(reply);
                         handed_over = true;
                     }));
        port = *server.bound_port(did);
        tester.send_to(port, read_request(3));
        ASSERT_TRUE(wait_until([&] { return handed_over.load(); }));
    }
    kept(0, payload_of({0x09}));
    std::uint16_t from = 0;
    EXPECT_EQ(tester.receive(&from), message(0x0001, 3, 0x80, {0x09}, 0x1001, 0));
    EXPECT_EQ(from, port);
}

TEST(UdpTransportTeardown, DestroyingTheClientDropsUnansweredCalls) {
    Raw_peer silent;
    auto slot = std::make_shared<Response_slot>();
    {
        Udp_transport client{test_deployment(silent.port)};
        for (int i = 0; i < 20; ++i) {
            client.send_request(did, 1, 1, payload_of({0, 0, 0, 0}),
                                [slot](std::uint8_t code, Serialized_payload p) { slot->handler()(code, p); });
        }
        ASSERT_TRUE(silent.receive().has_value());
    }
    EXPECT_EQ(slot->calls, 0);
    EXPECT_EQ(slot.use_count(), 1) << "every handler was released";
}

TEST(UdpTransportTeardown, ConcurrentCallsWhileTheServerWithdrawsEndCleanly) {
    Udp_transport server{test_deployment(0)};
    server.offer(did, {0, 2}, scripted(read_script));
    Udp_transport client{test_deployment(*server.bound_port(did), std::chrono::milliseconds(300))};
    std::vector<std::shared_ptr<Response_slot>> slots;
    for (int i = 0; i < 200; ++i) {
        slots.push_back(std::make_shared<Response_slot>());
        client.send_request(did, 1, 1, payload_of({0, 0, 0, 0}), slots.back()->handler());
        if (i == 100) server.stop_offer(did);
    }
    for (auto& slot : slots) {
        // Requests still queued on the endpoint when the offer goes are refused
        // as an unknown service; those sent after it closed time out.
        const auto code = slot->wait().value_or(0xEE);
        EXPECT_TRUE(code == return_code::ok || code == return_code::timeout || code == return_code::not_available)
            << int(code);
        EXPECT_EQ(slot->calls, 1);
    }
}

TEST(UdpTransportTeardown, ASecondProcessOnTheSameAddressIsRefusedWithWhatToDo) {
    auto deployment = test_deployment(0);
    deployment.service_discovery.enabled = true;
    deployment.service_discovery.port = 0;
    Udp_transport first(deployment);
    deployment.service_discovery.port = first.discovery_port().value_or(0);
    try {
        Udp_transport second(deployment);
        FAIL() << "no error";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), EADDRINUSE);
        EXPECT_EQ(std::string(error.what()),
                  "SOME/IP service discovery endpoint 127.0.0.1:" + std::to_string(deployment.service_discovery.port) +
                      " is in use by another process; give each process its own unicast address in "
                      "com_deployment.json: Address already in use");
    }
    // With a shared port, a later socket on the very endpoint binds it; the
    // offers going out find it: one error.
    ara::log::Capture capture;
    deployment.service_discovery.port = 0;
    deployment.service_discovery.share_port = true;
    Udp_transport shared(deployment);
    shared.offer(did, {0, 2}, scripted(read_script));
    const int one = 1, fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in at = loopback(shared.discovery_port().value_or(0));
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
    const std::string text = "SOME/IP service discovery endpoint 127.0.0.1:" + std::to_string(ntohs(at.sin_port)) +
                             " is bound by another socket too; discovery messages to it may not reach this process";
    EXPECT_TRUE(capture.sink().wait_for_text(text));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // past the next cyclic offer
    EXPECT_EQ(capture.sink().count(text), 1u);
    ::close(fd);
}

}  // namespace
}  // namespace rk::com::runtime::someip
