// Names of services and their instances, as the binding and the runtime pass
// them around: an instance is named by a text, a service by the fully
// qualified name of its interface.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace tq::com::runtime {

class Instance_id {
public:
    Instance_id() = default;
    explicit Instance_id(std::string id) : id_(std::move(id)) {}
    explicit Instance_id(const char* id) : id_(id != nullptr ? id : "") {}

    const std::string& to_string() const noexcept { return id_; }

    friend bool operator==(const Instance_id& a, const Instance_id& b) { return a.id_ == b.id_; }
    friend bool operator!=(const Instance_id& a, const Instance_id& b) { return !(a == b); }
    friend bool operator<(const Instance_id& a, const Instance_id& b) { return a.id_ < b.id_; }

private:
    std::string id_;
};

// The interface's name as a literal; the size includes the terminating zero.
class Service_id_literal {
public:
    template <std::size_t N>
    constexpr explicit Service_id_literal(const char (&text)[N]) noexcept : text_(text), size_(N) {}
    constexpr Service_id_literal(const char* text, std::size_t size) noexcept
        : text_(text), size_(size) {}

    constexpr const char* c_str() const noexcept { return text_; }
    constexpr std::size_t size() const noexcept { return size_; }

private:
    const char* text_;
    std::size_t size_;
};

class Service_id {
public:
    Service_id() = default;
    explicit Service_id(std::string id) : id_(std::move(id)) {}
    explicit Service_id(const Service_id_literal& literal)
        : id_(literal.c_str(), literal.size() > 0 ? literal.size() - 1 : 0) {}

    const std::string& to_string() const noexcept { return id_; }

    friend bool operator==(const Service_id& a, const Service_id& b) { return a.id_ == b.id_; }
    friend bool operator!=(const Service_id& a, const Service_id& b) { return !(a == b); }
    friend bool operator<(const Service_id& a, const Service_id& b) { return a.id_ < b.id_; }

private:
    std::string id_;
};

}  // namespace tq::com::runtime
