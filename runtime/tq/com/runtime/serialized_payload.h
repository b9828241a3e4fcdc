// Encoded bytes of a request, a reply or an event, with the serialization
// they were made with. The bytes live in a shared buffer; a view selects a
// part of it without copying.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tq::com::runtime {

using Payload_buffer = std::vector<std::uint8_t>;
using Shared_payload = std::shared_ptr<Payload_buffer>;

class Payload_view {
public:
    Payload_view() = default;
    // Views the whole buffer.
    explicit Payload_view(Shared_payload buffer)
        : buffer_(std::move(buffer)), begin_(0), end_(buffer_ ? buffer_->size() : 0) {}
    // Views [begin, end) of the buffer, clamped to its size.
    Payload_view(Shared_payload buffer, std::size_t begin, std::size_t end)
        : buffer_(std::move(buffer)) {
        const std::size_t size = buffer_ ? buffer_->size() : 0;
        end_ = end < size ? end : size;
        begin_ = begin < end_ ? begin : end_;
    }

    const Shared_payload& buffer() const noexcept { return buffer_; }
    std::size_t begin() const noexcept { return begin_; }
    std::size_t end() const noexcept { return end_; }
    std::size_t size() const noexcept { return end_ - begin_; }
    const std::uint8_t* data() const noexcept {
        return buffer_ && size() > 0 ? buffer_->data() + begin_ : nullptr;
    }

    // A copy of the viewed bytes.
    Payload_buffer payload() const {
        if (!buffer_) return {};
        return Payload_buffer(buffer_->begin() + static_cast<std::ptrdiff_t>(begin_),
                              buffer_->begin() + static_cast<std::ptrdiff_t>(end_));
    }

private:
    Shared_payload buffer_;
    std::size_t begin_{0};
    std::size_t end_{0};
};

class Serialized_payload {
public:
    static constexpr std::uint32_t someip = 0;
    static constexpr std::uint32_t invalid = 0xFFFFFFFFu;

    Serialized_payload() = default;
    Serialized_payload(std::uint32_t serialization_type, Shared_payload buffer)
        : type_(serialization_type), view_(std::move(buffer)) {}
    Serialized_payload(std::uint32_t serialization_type, Payload_view view)
        : type_(serialization_type), view_(std::move(view)) {}

    std::uint32_t serialization_type() const noexcept { return type_; }
    const Payload_view& view() const noexcept { return view_; }
    Payload_buffer payload() const { return view_.payload(); }
    std::size_t size() const noexcept { return view_.size(); }

    // "0" for SOME/IP, "invalid" for the invalid type, the number otherwise.
    std::string type_name() const {
        return type_ == invalid ? std::string("invalid") : std::to_string(type_);
    }

private:
    std::uint32_t type_{invalid};
    Payload_view view_;
};

}  // namespace tq::com::runtime
