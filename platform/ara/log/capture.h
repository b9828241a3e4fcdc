// In-memory log capture for tests: while a Capture lives it is the only sink,
// and every record (level, context, typed arguments, text) is kept.
#pragma once

#include "ara/log/sink.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ara::log {

class Capture_sink final : public Sink {
public:
    void write(const Logger& logger, const Record& record) noexcept override;

    std::vector<Record> records() const;
    std::vector<std::string> texts() const;
    void clear();
    std::size_t count(const std::string& text) const;
    // Waits until a record satisfies the predicate; false on time-out.
    bool wait_for(const std::function<bool(const Record&)>& predicate,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool wait_for_text(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Record> records_;
};

// Installs a capture sink for its lifetime, with the default level at verbose,
// and restores the previous sinks and level afterwards.
class Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    Capture_sink& sink() { return *sink_; }
    std::vector<Record> records() const { return sink_->records(); }
    std::vector<std::string> texts() const { return sink_->texts(); }
    std::size_t count(const std::string& text) const { return sink_->count(text); }
    void clear() { sink_->clear(); }
    bool wait_for_text(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        return sink_->wait_for_text(text, timeout);
    }

private:
    std::shared_ptr<Capture_sink> sink_;
    Sink_list previous_;
    LogLevel previous_level_;
};

}  // namespace ara::log
