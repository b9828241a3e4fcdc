// Loads one JSON document from a file.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

class Json_file_parser {
public:
    explicit Json_file_parser(std::string path);
    ~Json_file_parser();

    const std::string& path() const;
    void set_path(std::string path);

    // Throws std::runtime_error naming the path when the file cannot be opened
    // or is not exactly one JSON document.
    nlohmann::json parse_file() const;

private:
    std::string path_;
};
