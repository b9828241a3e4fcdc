// Where finished log records go. The logging service keeps a list of sinks;
// InitLogging chooses them from the log mode, tests replace them with a capture.
#pragma once

#include "ara/log/logging.h"

#include <memory>
#include <vector>

namespace ara::log {

class Sink {
public:
    virtual ~Sink() = default;
    // Called once for every logger, also for loggers created before the sink
    // was installed.
    virtual void on_logger_created(const Logger& /*logger*/) {}
    virtual bool enabled(const Logger& /*logger*/, LogLevel /*level*/) const noexcept { return true; }
    virtual void write(const Logger& logger, const Record& record) noexcept = 0;
    virtual void shutdown() noexcept {}
};

using Sink_list = std::vector<std::shared_ptr<Sink>>;

// Replaces the installed sinks and returns the previous list.
Sink_list set_sinks(Sink_list sinks);
Sink_list sinks();

// The application's default level: messages above it are dropped before any sink.
void set_default_level(LogLevel level);
LogLevel default_level();

std::shared_ptr<Sink> make_console_sink(std::string app_id);
// Registers the application with libdlt; messages are written in verbose mode
// with typed arguments.
std::shared_ptr<Sink> make_dlt_sink(const std::string& app_id, const std::string& description,
                                    LogLevel default_level);

}  // namespace ara::log
