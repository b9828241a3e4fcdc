#include "json_file_parser.h"

#include "regular_file.h"

#include <stdexcept>

Json_file_parser::Json_file_parser(std::string path) : path_(std::move(path)) {}

Json_file_parser::~Json_file_parser() = default;

const std::string& Json_file_parser::path() const { return path_; }

void Json_file_parser::set_path(std::string path) { path_ = std::move(path); }

nlohmann::json Json_file_parser::parse_file() const {
    const Regular_file file = read_regular_file(path_, kMaxFileBytes);
    switch (file.status) {
        case Regular_file::Status::kRead: break;
        case Regular_file::Status::kCannotOpen: throw std::runtime_error("Failed to open JSON file '" + path_ + "'.");
        case Regular_file::Status::kNotRegular:
            throw std::runtime_error("Failed to open JSON file '" + path_ + "': not a regular file.");
        case Regular_file::Status::kTooLarge:
            throw std::runtime_error("Failed to open JSON file '" + path_ + "': larger than " +
                                     std::to_string(kMaxFileBytes) + " bytes.");
    }
    try {
        return nlohmann::json::parse(file.content);
    } catch (const nlohmann::json::parse_error& error) {
        throw std::runtime_error("Failed to parse JSON file '" + path_ + "': " + error.what());
    }
}
