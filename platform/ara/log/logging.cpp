#include "ara/log/logging.h"

#include "ara/log/sink.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace ara::log {
namespace {

struct Service {
    std::mutex mutex;  // guards loggers, sinks (writes) and the init state
    std::shared_ptr<const Sink_list> sinks = std::make_shared<const Sink_list>();
    std::atomic<LogLevel> level{LogLevel::kVerbose};
    std::map<std::string, std::unique_ptr<Logger>> loggers;
    bool exit_hook_installed = false;
    std::string description;
};

// Never destroyed: loggers are referenced from objects that are destroyed
// during static destruction, after any static Service would be gone.
Service& service() {
    static Service* instance = new Service;
    return *instance;
}

std::shared_ptr<const Sink_list> current_sinks() {
    return std::atomic_load(&service().sinks);
}

template <typename T>
std::string number(T value) {
    return std::to_string(value);
}

}  // namespace

std::string to_text(const Argument& argument) {
    return std::visit(
        [](const auto& value) -> std::string {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return value;
            } else if constexpr (std::is_same_v<T, bool>) {
                return value ? "true" : "false";
            } else if constexpr (std::is_same_v<T, std::uint8_t>) {
                return number(static_cast<unsigned>(value));
            } else if constexpr (std::is_same_v<T, std::int8_t>) {
                return number(static_cast<int>(value));
            } else if constexpr (std::is_floating_point_v<T>) {
                char buffer[64];
                std::snprintf(buffer, sizeof buffer, "%g", static_cast<double>(value));
                return buffer;
            } else {
                return number(value);
            }
        },
        argument);
}

const char* to_string(LogLevel level) {
    switch (level) {
        case LogLevel::kOff: return "off";
        case LogLevel::kFatal: return "fatal";
        case LogLevel::kError: return "error";
        case LogLevel::kWarn: return "warn";
        case LogLevel::kInfo: return "info";
        case LogLevel::kDebug: return "debug";
        case LogLevel::kVerbose: return "verbose";
    }
    return "unknown";
}

std::string Record::text() const {
    std::string result;
    for (const auto& argument : arguments) {
        if (!result.empty()) result += ' ';
        result += to_text(argument);
    }
    return result;
}

// --- LogStream

LogStream::LogStream(const Logger& logger, LogLevel level) noexcept
    : logger_(&logger), level_(level), enabled_(logger.IsLogEnabled(level)) {}

LogStream::LogStream(LogStream&& other) noexcept
    : logger_(other.logger_),
      level_(other.level_),
      enabled_(other.enabled_),
      arguments_(std::move(other.arguments_)) {
    other.enabled_ = false;
}

LogStream::~LogStream() { Flush(); }

void LogStream::Flush() noexcept {
    if (!enabled_ || arguments_.empty()) return;
    try {
        Record record{level_, logger_->context_id(), std::move(arguments_)};
        arguments_.clear();
        logger_->write(record);
    } catch (...) {
        // Logging never fails the caller.
    }
}

void LogStream::add(Argument argument) {
    if (enabled_) arguments_.push_back(std::move(argument));
}

LogStream& LogStream::operator<<(bool value) { add(value); return *this; }
LogStream& LogStream::operator<<(std::uint8_t value) { add(value); return *this; }
LogStream& LogStream::operator<<(std::uint16_t value) { add(value); return *this; }
LogStream& LogStream::operator<<(std::uint32_t value) { add(value); return *this; }
LogStream& LogStream::operator<<(unsigned long value) { add(static_cast<std::uint64_t>(value)); return *this; }
LogStream& LogStream::operator<<(unsigned long long value) { add(static_cast<std::uint64_t>(value)); return *this; }
LogStream& LogStream::operator<<(std::int8_t value) { add(value); return *this; }
LogStream& LogStream::operator<<(std::int16_t value) { add(value); return *this; }
LogStream& LogStream::operator<<(std::int32_t value) { add(value); return *this; }
LogStream& LogStream::operator<<(long value) { add(static_cast<std::int64_t>(value)); return *this; }
LogStream& LogStream::operator<<(long long value) { add(static_cast<std::int64_t>(value)); return *this; }
LogStream& LogStream::operator<<(float value) { add(value); return *this; }
LogStream& LogStream::operator<<(double value) { add(value); return *this; }
LogStream& LogStream::operator<<(const std::string& value) { if (enabled_) add(value); return *this; }
LogStream& LogStream::operator<<(std::string_view value) { if (enabled_) add(std::string(value)); return *this; }
LogStream& LogStream::operator<<(const char* value) {
    if (enabled_) add(std::string(value != nullptr ? value : ""));
    return *this;
}

// --- Logger

Logger::Logger(std::string context_id, std::string description)
    : context_id_(std::move(context_id)), description_(std::move(description)) {}

bool Logger::IsLogEnabled(LogLevel level) const noexcept {
    if (level == LogLevel::kOff || level > service().level.load(std::memory_order_relaxed)) {
        return false;
    }
    const auto sinks = current_sinks();
    for (const auto& sink : *sinks) {
        if (sink->enabled(*this, level)) return true;
    }
    return false;
}

void Logger::write(const Record& record) const noexcept {
    const auto sinks = current_sinks();
    for (const auto& sink : *sinks) {
        if (sink->enabled(*this, record.level)) sink->write(*this, record);
    }
}

// --- service

Sink_list set_sinks(Sink_list sinks) {
    auto& s = service();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const auto& sink : sinks) {
        for (const auto& entry : s.loggers) sink->on_logger_created(*entry.second);
    }
    auto previous = std::atomic_exchange(&s.sinks, std::make_shared<const Sink_list>(std::move(sinks)));
    return *previous;
}

Sink_list sinks() { return *current_sinks(); }

void set_default_level(LogLevel level) { service().level.store(level); }
LogLevel default_level() { return service().level.load(); }

void InitLogging(std::string appId, std::string appDescription, LogLevel appDefLogLevel,
                 LogMode logMode, std::string /*directoryPath*/) {
    set_default_level(appDefLogLevel);
    Sink_list list;
    if (has_mode(logMode, LogMode::kRemote)) {
        list.push_back(make_dlt_sink(appId, appDescription, appDefLogLevel));
    }
    if (has_mode(logMode, LogMode::kConsole)) list.push_back(make_console_sink(appId));
    set_sinks(std::move(list));
    auto& s = service();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.description = appDescription;
    if (!s.exit_hook_installed) {
        s.exit_hook_installed = true;
        std::atexit([] { ShutdownLogging(); });
    }
}

Logger& CreateLogger(std::string ctxId, std::string ctxDescription) {
    auto& s = service();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto found = s.loggers.find(ctxId);
    if (found != s.loggers.end()) return *found->second;
    auto logger = std::make_unique<Logger>(ctxId, std::move(ctxDescription));
    for (const auto& sink : *std::atomic_load(&s.sinks)) sink->on_logger_created(*logger);
    auto& result = *logger;
    s.loggers.emplace(std::move(ctxId), std::move(logger));
    return result;
}

Logger& DefaultLogger() {
    static Logger& logger = CreateLogger("DFLT", "default context");
    return logger;
}

LogStream LogFatal() noexcept { return DefaultLogger().LogFatal(); }
LogStream LogError() noexcept { return DefaultLogger().LogError(); }
LogStream LogWarn() noexcept { return DefaultLogger().LogWarn(); }
LogStream LogInfo() noexcept { return DefaultLogger().LogInfo(); }
LogStream LogDebug() noexcept { return DefaultLogger().LogDebug(); }
LogStream LogVerbose() noexcept { return DefaultLogger().LogVerbose(); }

std::string ApplicationDescription() {
    auto& s = service();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.description;
}

void ShutdownLogging() noexcept {
    for (const auto& sink : *current_sinks()) sink->shutdown();
}

}  // namespace ara::log
