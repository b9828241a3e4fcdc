// Writing numbers to and reading them from byte containers in a chosen byte
// order. Orders are given as 1234 (little-endian, the host) and 4321
// (big-endian); a number is byte-swapped exactly when the two differ.
// Fixed layouts (the SOME/IP header, SD entries and options) are always
// big-endian and include fields of three bytes: load_big_endian and
// append_big_endian read and write those at a known position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace rk::com::byte_order {

inline constexpr std::uint32_t little_endian = 1234;
inline constexpr std::uint32_t big_endian = 4321;
inline constexpr std::uint32_t host = little_endian;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the host byte order is taken to be little-endian");

namespace detail {

template <typename T>
using Raw_bytes = std::uint8_t[sizeof(T)];

template <typename T, typename Container>
void write_no_conversion(const T& value, Container& container) {
    Raw_bytes<T> raw;
    std::memcpy(raw, &value, sizeof(T));
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        container.push_back(raw[i]);
    }
}

template <typename T, typename Container>
void write_with_conversion(const T& value, Container& container) {
    Raw_bytes<T> raw;
    std::memcpy(raw, &value, sizeof(T));
    for (std::size_t i = sizeof(T); i > 0; --i) {
        container.push_back(raw[i - 1]);
    }
}

template <typename T, typename Buffer>
void read_no_conversion(T& value, Buffer& buffer) {
    Raw_bytes<T> raw;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        buffer.read_bytes(1, &raw[i]);
    }
    std::memcpy(&value, raw, sizeof(T));
}

template <typename T, typename Buffer>
void read_with_conversion(T& value, Buffer& buffer) {
    Raw_bytes<T> raw;
    for (std::size_t i = sizeof(T); i > 0; --i) {
        buffer.read_bytes(1, &raw[i - 1]);
    }
    std::memcpy(&value, raw, sizeof(T));
}

}  // namespace detail

// T is an integer; enumerations are written through their underlying type.
template <typename T, typename Container>
void write_to_container(const T& value, Container& container, std::uint32_t target_order,
                        std::uint32_t host_order = host) {
    static_assert(std::is_integral_v<T>, "only integers have a byte order");
    if (target_order == host_order) {
        detail::write_no_conversion(value, container);
    } else {
        detail::write_with_conversion(value, container);
    }
}

// Buffer offers read_bytes(n, destination) with its own range check.
template <typename T, typename Buffer>
void read_from_container(T& value, Buffer& buffer, std::uint32_t target_order,
                         std::uint32_t host_order = host) {
    static_assert(std::is_integral_v<T>, "only integers have a byte order");
    if (target_order == host_order) {
        detail::read_no_conversion(value, buffer);
    } else {
        detail::read_with_conversion(value, buffer);
    }
}

// The Width bytes (at most sizeof(T)) at bytes, most significant first; the
// caller has checked that they are there.
template <typename T, std::size_t Width = sizeof(T)>
T load_big_endian(const std::uint8_t* bytes) noexcept {
    static_assert(std::is_unsigned_v<T> && Width <= sizeof(T), "an unsigned number of at most sizeof(T) bytes");
    T value = 0;
    for (std::size_t i = 0; i < Width; ++i) value = static_cast<T>((value << 8) | bytes[i]);
    return value;
}

// Appends the low Width bytes (at most sizeof(T)) of value, most significant first.
template <typename T, std::size_t Width = sizeof(T), typename Container>
void append_big_endian(T value, Container& container) {
    static_assert(std::is_unsigned_v<T> && Width <= sizeof(T), "an unsigned number of at most sizeof(T) bytes");
    if constexpr (Width == sizeof(T)) {
        write_to_container(value, container, big_endian);
    } else {
        for (std::size_t i = Width; i > 0; --i) {
            container.push_back(static_cast<std::uint8_t>(value >> (8 * (i - 1))));
        }
    }
}

}  // namespace rk::com::byte_order
