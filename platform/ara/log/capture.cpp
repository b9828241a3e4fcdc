#include "ara/log/capture.h"

#include <algorithm>

namespace ara::log {

void Capture_sink::write(const Logger& /*logger*/, const Record& record) noexcept {
    try {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            records_.push_back(record);
        }
        changed_.notify_all();
    } catch (...) {
    }
}

std::vector<Record> Capture_sink::records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

std::vector<std::string> Capture_sink::texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> result;
    result.reserve(records_.size());
    for (const auto& record : records_) result.push_back(record.text());
    return result;
}

void Capture_sink::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

std::size_t Capture_sink::count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        records_.begin(), records_.end(), [&](const Record& r) { return r.text() == text; }));
}

bool Capture_sink::wait_for(const std::function<bool(const Record&)>& predicate,
                            std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return std::any_of(records_.begin(), records_.end(), predicate);
    });
}

bool Capture_sink::wait_for_text(const std::string& text, std::chrono::milliseconds timeout) const {
    return wait_for([&](const Record& r) { return r.text() == text; }, timeout);
}

Capture::Capture()
    : sink_(std::make_shared<Capture_sink>()),
      previous_(set_sinks({sink_})),
      previous_level_(default_level()) {
    set_default_level(LogLevel::kVerbose);
}

Capture::~Capture() {
    set_default_level(previous_level_);
    set_sinks(std::move(previous_));
}

}  // namespace ara::log
