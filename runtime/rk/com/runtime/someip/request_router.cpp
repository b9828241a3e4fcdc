#include "rk/com/runtime/someip/request_router.h"

#include "rk/com/runtime/runtime_logger.h"
#include "wardex/limited_warnings.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace rk::com::runtime::someip {

using tq::com::runtime::Payload_view;
using tq::com::runtime::Serialized_payload;

namespace {

// Sends one reply: 0, or the errno that kept it from being sent.
int send_reply_datagram(const Udp_socket& endpoint, Address peer, Header header, std::uint8_t type,
                        std::uint8_t code, const std::uint8_t* payload, std::size_t size) {
    header.message_type = type;
    header.return_code = code;
    header.protocol_version = protocol_version;
    std::vector<std::uint8_t> bytes;
    append_message(bytes, header, payload, size);
    return endpoint.send_to(bytes.data(), bytes.size(), peer) ? 0 : errno;
}

// Warnings a peer's requests cause, at most about one a second per kind and peer.
template <typename Write>
void warn(const char* kind, Address peer, Write&& write) {
    wardex::log::limited_warnings().warn(runtime_logger(), kind, to_text(peer), std::forward<Write>(write));
}

void warn_not_sent(Address peer, int error) {
    warn("SOME/IP reply not sent", peer, [&](auto& stream) {
        stream << "SOME/IP reply to" << to_text(peer) << "not sent:" << std::strerror(error);
    });
}

void send_reply(const Udp_socket& endpoint, Address peer, const Header& header, std::uint8_t type,
                std::uint8_t code, const std::uint8_t* payload, std::size_t size) {
    if (const int error = send_reply_datagram(endpoint, peer, header, type, code, payload, size)) {
        warn_not_sent(peer, error);
    }
}

}  // namespace

// A request's bytes as its handler holds them: its place in the intake is
// given back when the last copy of its payload goes.
struct Request_router::Held_request {
    Held_request(std::shared_ptr<tq::com::runtime::Payload_buffer> b, std::shared_ptr<Intake> i,
                 std::size_t s)
        : bytes(std::move(b)), intake(std::move(i)), size(s) {}
    ~Held_request() {
        std::lock_guard<std::mutex> lock(intake->mutex);
        --intake->requests;
        intake->bytes -= size;
    }
    Held_request(const Held_request&) = delete;
    Held_request& operator=(const Held_request&) = delete;
    std::shared_ptr<tq::com::runtime::Payload_buffer> bytes;
    std::shared_ptr<Intake> intake;
    std::size_t size;
};

void Request_router::add(const Offer& offer) {
    auto entry = std::make_shared<Entry>();
    entry->offer = std::make_shared<const Offer>(offer);
    std::lock_guard<std::mutex> lock(mutex_);
    offers_[offer.service] = std::move(entry);
}

std::shared_ptr<Udp_socket> Request_router::remove(const cpp_binding::Service_info& service) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto found = offers_.find(service);
    if (found == offers_.end()) return nullptr;
    const auto entry = found->second;
    offers_.erase(found);
    lock.unlock();
    // A handler withdrawing its own offer does not wait for itself.
    entry->gate.close();
    lock.lock();
    const auto& endpoint = entry->offer->endpoint;
    const bool shared = std::any_of(offers_.begin(), offers_.end(), [&](const auto& other) {
        return other.second->offer->endpoint == endpoint;
    });
    return shared ? nullptr : endpoint;
}

std::shared_ptr<const Request_router::Offer> Request_router::find(
    const cpp_binding::Service_info& service) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = offers_.find(service);
    return found == offers_.end() ? nullptr : found->second->offer;
}

std::shared_ptr<Udp_socket> Request_router::endpoint_at(Address local) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : offers_) {
        if (entry.second->offer->endpoint->local() == local) return entry.second->offer->endpoint;
    }
    return nullptr;
}

namespace {

// Which requests are handed to a handler and which are answered with an
// error. Only a REQUEST is answered with an error (a segmented one with
// E_WRONG_MESSAGE_TYPE: it is not served). Fire-and-forget requests,
// notifications, responses and errors never are (two peers could otherwise
// keep answering each other's errors), nor a request whose return code is
// not 0 or a message of a reserved type: an answer would only reflect it to
// whatever source it names.
struct Request_kind {
    bool served;
    bool answerable;
};

Request_kind kind_of(const Header& header) {
    const bool ok = header.return_code == wire_code::ok;
    return Request_kind{
        ok && (header.message_type == message_type::request ||
               header.message_type == message_type::request_no_return),
        ok && (header.message_type == message_type::request ||
               header.message_type == (message_type::request | message_type::tp_flag))};
}

// The binding's number of the method the wire id names, if the offer has it.
std::optional<std::uint16_t> method_index(const Request_router::Offer& offer, std::uint16_t method_id) {
    const auto found = std::find(offer.method_ids.begin(), offer.method_ids.end(), method_id);
    if (found == offer.method_ids.end()) return std::nullopt;
    return static_cast<std::uint16_t>(found - offer.method_ids.begin());
}

// The SOME/IP error a request deserves from the offer listening for it
// (null: none does), or nothing when it is to be served.
std::optional<std::uint8_t> refusal(const Request_router::Offer* offer, const Header& header, bool served) {
    if (header.protocol_version != protocol_version) return wire_code::wrong_protocol_version;
    if (offer == nullptr) return wire_code::unknown_service;
    if (!method_index(*offer, header.method_id)) return wire_code::unknown_method;
    if (header.interface_version != offer->major_version) return wire_code::wrong_interface_version;
    if (!served) return wire_code::wrong_message_type;
    return std::nullopt;
}

// Answers a REQUEST once, from the endpoint it arrived at.
Reply_function reply_function(const std::shared_ptr<Udp_socket>& endpoint, Address peer, const Header& header) {
    auto answered = std::make_shared<std::atomic<bool>>(false);
    return [endpoint, peer, header, answered](std::uint8_t code, Serialized_payload payload) {
        if (answered->exchange(true)) return;
        const auto wire = to_wire_reply(code);
        const auto& view = payload.view();
        const int error = send_reply_datagram(*endpoint, peer, header, wire.message_type, wire.return_code,
                                              wire.with_payload ? view.data() : nullptr,
                                              wire.with_payload ? view.size() : 0);
        if (error == 0) return;
        if (error != EMSGSIZE || !wire.with_payload) return warn_not_sent(peer, error);
        // The caller learns that the request failed instead of waiting for its time-out.
        warn("SOME/IP reply too large", peer, [&](auto& stream) {
            stream << "SOME/IP reply to" << to_text(peer) << "too large for one datagram with"
                   << static_cast<std::uint64_t>(view.size()) << "bytes of payload; answered E_NOT_OK";
        });
        send_reply(*endpoint, peer, header, message_type::error, wire_code::not_ok, nullptr, 0);
    };
}

}  // namespace

void Request_router::on_request(const std::shared_ptr<Udp_socket>& endpoint, Address peer,
                                const Message& message,
                                const std::shared_ptr<tq::com::runtime::Payload_buffer>& bytes) {
    const Header& header = message.header;
    const Request_kind kind = kind_of(header);
    if (!kind.served && !kind.answerable) return;
    const auto refuse = [&](std::uint8_t code) {
        if (kind.answerable) send_reply(*endpoint, peer, header, message_type::error, code, nullptr, 0);
    };
    const auto entry = entry_at(endpoint, header.service_id);
    if (const auto code = refusal(entry ? entry->offer.get() : nullptr, header, kind.served)) return refuse(*code);
    // Closed once the offer is withdrawn: the request is then for a service
    // no longer offered here.
    wardex::base::In_flight_gate::Pass pass(entry->gate);
    if (!pass) return refuse(wire_code::unknown_service);
    if (admit(*entry, peer, header)) hand_over(*entry, endpoint, peer, message, bytes);
}

std::shared_ptr<Request_router::Entry> Request_router::entry_at(const std::shared_ptr<Udp_socket>& endpoint,
                                                                std::uint16_t service_id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Entry> entry;
    for (const auto& candidate : offers_) {
        const auto& offer = *candidate.second->offer;
        if (offer.endpoint == endpoint && offer.wire_service_id == service_id) entry = candidate.second;
    }
    return entry;
}

bool Request_router::admit(Entry& entry, Address peer, const Header& header) {
    const Offer& offer = *entry.offer;
    const std::size_t size = header.payload_size();
    {
        std::lock_guard<std::mutex> lock(entry.intake->mutex);
        auto& intake = *entry.intake;
        if (intake.requests < offer.max_queued_requests && size <= offer.max_queued_bytes - intake.bytes) {
            ++intake.requests;
            intake.bytes += size;
            return true;
        }
    }
    dropped_.fetch_add(1, std::memory_order_relaxed);
    warn("SOME/IP request dropped", peer, [&](auto& stream) {
        stream << "SOME/IP request from " + to_text(peer) + " to service " + std::to_string(header.service_id) +
                      " dropped: the requests waiting there reached their bound (" +
                      std::to_string(offer.max_queued_requests) + " requests, " +
                      std::to_string(offer.max_queued_bytes) + " bytes)";
    });
    return false;
}

void Request_router::hand_over(Entry& entry, const std::shared_ptr<Udp_socket>& endpoint, Address peer,
                               const Message& message,
                               const std::shared_ptr<tq::com::runtime::Payload_buffer>& bytes) {
    const Header& header = message.header;
    const Offer& offer = *entry.offer;
    const std::size_t size = header.payload_size();
    const auto held = std::make_shared<Held_request>(bytes, entry.intake, size);
    Reply_function reply;
    if (header.message_type == message_type::request) reply = reply_function(endpoint, peer, header);
    Serialized_payload request(Serialized_payload::someip,
                               Payload_view(std::shared_ptr<tq::com::runtime::Payload_buffer>(held, held->bytes.get()),
                                            message.payload_offset, message.payload_offset + size));
    try {
        offer.handler->on_request(*method_index(offer, header.method_id), header.session_id, std::move(request),
                                  std::move(reply));
    } catch (const std::exception& error) {
        runtime_logger().LogError() << "Request handler failed:" << error.what();
    } catch (...) {
        runtime_logger().LogError() << "Request handler failed";
    }
}

}  // namespace rk::com::runtime::someip
