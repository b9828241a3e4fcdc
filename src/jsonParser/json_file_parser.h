// Loads one JSON document from a file.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>

class Json_file_parser {
public:
    // Largest configuration file read, in bytes.
    static constexpr std::size_t kMaxFileBytes = 16u << 20;

    explicit Json_file_parser(std::string path);
    ~Json_file_parser();

    const std::string& path() const;
    void set_path(std::string path);

    // Throws std::runtime_error naming the path when the file cannot be
    // opened, is not a regular file, is larger than kMaxFileBytes or is not
    // exactly one JSON document.
    nlohmann::json parse_file() const;

private:
    std::string path_;
};
