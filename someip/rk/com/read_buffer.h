// Read_buffer: a bounds-checked read cursor over a payload owned by someone
// else. Every read is checked against the bytes that remain before it happens.
#pragma once

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <type_traits>

namespace rk::com {

template <typename Container>
class Read_buffer {
public:
    explicit Read_buffer(const Container& data) noexcept : data_(data) {}
    // The buffer keeps a reference: a temporary would be gone before the first read.
    Read_buffer(const Container&&) = delete;

    // The comparison is written so that no sum can wrap around.
    void throw_if_out_of_range(std::size_t n) const {
        if (n > data_.size() - position_) {
            throw std::out_of_range("Read beyond the end of the data buffer");
        }
    }

    void read_bytes(std::size_t n, void* destination) {
        if (destination == nullptr) {
            throw std::invalid_argument("destination cannot be NULL");
        }
        throw_if_out_of_range(n);
        if (n != 0) {
            std::memcpy(destination, data_.data() + position_, n);
        }
        position_ += n;
    }

    template <typename T>
    void read_any(T& value) {
        static_assert(std::is_trivially_copyable_v<T>, "read_any copies raw bytes");
        read_bytes(sizeof(T), &value);
    }

    void skip(std::size_t n) {
        throw_if_out_of_range(n);
        position_ += n;
    }

    std::size_t tell() const noexcept { return position_; }
    std::size_t size() const noexcept { return data_.size(); }
    std::size_t remaining() const noexcept { return data_.size() - position_; }

private:
    const Container& data_;
    std::size_t position_ = 0;
};

}  // namespace rk::com
