#include "json_file_parser.h"

#include <fstream>
#include <stdexcept>

Json_file_parser::Json_file_parser(std::string path) : path_(std::move(path)) {}

Json_file_parser::~Json_file_parser() = default;

const std::string& Json_file_parser::path() const { return path_; }

void Json_file_parser::set_path(std::string path) { path_ = std::move(path); }

nlohmann::json Json_file_parser::parse_file() const {
    std::ifstream file(path_);
    if (!file.is_open()) throw std::runtime_error("Failed to open JSON file '" + path_ + "'.");
    try {
        return nlohmann::json::parse(file);
    } catch (const nlohmann::json::parse_error& error) {
        throw std::runtime_error("Failed to parse JSON file '" + path_ + "': " + error.what());
    }
}
