// ara::log stand-in: the logging API the application and the communication
// binding call. Messages keep their argument types; where they go (DLT, the
// console, an in-memory capture for tests) is decided by the installed sinks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ara::log {

enum class LogLevel : std::uint8_t {
    kOff = 0x00,
    kFatal = 0x01,
    kError = 0x02,
    kWarn = 0x03,
    kInfo = 0x04,
    kDebug = 0x05,
    kVerbose = 0x06,
};

// Bit flags; kRemote is DLT.
enum class LogMode : std::uint8_t {
    kRemote = 0x01,
    kFile = 0x02,
    kConsole = 0x04,
};

constexpr LogMode operator|(LogMode a, LogMode b) {
    return static_cast<LogMode>(static_cast<std::uint8_t>(a) | static_cast<std::uint8_t>(b));
}
constexpr bool has_mode(LogMode set, LogMode bit) {
    return (static_cast<std::uint8_t>(set) & static_cast<std::uint8_t>(bit)) != 0;
}

// One argument of a message, with the type it was logged with.
using Argument = std::variant<std::string, bool, std::uint8_t, std::uint16_t, std::uint32_t,
                              std::uint64_t, std::int8_t, std::int16_t, std::int32_t,
                              std::int64_t, float, double>;

// Renders one argument the way a DLT viewer shows it: text as is, bool as
// true/false, integers in decimal (an 8-bit value is a number, never a character).
std::string to_text(const Argument& argument);

const char* to_string(LogLevel level);

class Logger;

// One finished message.
struct Record {
    LogLevel level{LogLevel::kOff};
    std::string context;
    std::vector<Argument> arguments;

    // The arguments rendered and joined with single blanks, as a DLT viewer
    // shows a verbose message.
    std::string text() const;
};

// Collects the arguments of one message and hands it to the sinks when it is
// destroyed (or flushed). A stream of a disabled level collects nothing.
class LogStream {
public:
    LogStream(const Logger& logger, LogLevel level) noexcept;
    ~LogStream();
    LogStream(LogStream&& other) noexcept;
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;
    LogStream& operator=(LogStream&&) = delete;

    void Flush() noexcept;

    LogStream& operator<<(bool value);
    LogStream& operator<<(std::uint8_t value);
    LogStream& operator<<(std::uint16_t value);
    LogStream& operator<<(std::uint32_t value);
    LogStream& operator<<(unsigned long value);
    LogStream& operator<<(unsigned long long value);
    LogStream& operator<<(std::int8_t value);
    LogStream& operator<<(std::int16_t value);
    LogStream& operator<<(std::int32_t value);
    LogStream& operator<<(long value);
    LogStream& operator<<(long long value);
    LogStream& operator<<(float value);
    LogStream& operator<<(double value);
    LogStream& operator<<(const std::string& value);
    LogStream& operator<<(std::string_view value);
    LogStream& operator<<(const char* value);

private:
    void add(Argument argument);

    const Logger* logger_;
    LogLevel level_;
    bool enabled_;
    std::vector<Argument> arguments_;
};

// A logging context. Loggers are owned by the logging service and live until
// the process ends, so a reference may be kept anywhere, also in objects that
// are destroyed during static destruction.
class Logger {
public:
    Logger(std::string context_id, std::string description);
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    LogStream LogFatal() const noexcept { return WithLevel(LogLevel::kFatal); }
    LogStream LogError() const noexcept { return WithLevel(LogLevel::kError); }
    LogStream LogWarn() const noexcept { return WithLevel(LogLevel::kWarn); }
    LogStream LogInfo() const noexcept { return WithLevel(LogLevel::kInfo); }
    LogStream LogDebug() const noexcept { return WithLevel(LogLevel::kDebug); }
    LogStream LogVerbose() const noexcept { return WithLevel(LogLevel::kVerbose); }
    LogStream WithLevel(LogLevel level) const noexcept { return LogStream(*this, level); }

    // True when a message of this level would reach at least one sink.
    bool IsLogEnabled(LogLevel level) const noexcept;

    const std::string& context_id() const noexcept { return context_id_; }
    const std::string& description() const noexcept { return description_; }

    // Writes a finished record; used by LogStream and by log targets that
    // build their text themselves.
    void write(const Record& record) const noexcept;

private:
    std::string context_id_;
    std::string description_;
};

// Registers the application with the logging service. kRemote sends to DLT,
// kConsole prints to stdout; log files are not supported.
void InitLogging(std::string appId, std::string appDescription, LogLevel appDefLogLevel,
                 LogMode logMode, std::string directoryPath);

// Returns the logger of a context, creating it on first use; the same
// context id always gives the same logger.
Logger& CreateLogger(std::string ctxId, std::string ctxDescription);

// The default logger's streams (context "DFLT").
Logger& DefaultLogger();
LogStream LogFatal() noexcept;
LogStream LogError() noexcept;
LogStream LogWarn() noexcept;
LogStream LogInfo() noexcept;
LogStream LogDebug() noexcept;
LogStream LogVerbose() noexcept;

// Flushes and closes the DLT connection; later messages go only to the other
// sinks. Runs by itself at process exit after InitLogging.
void ShutdownLogging() noexcept;

// The application description given to InitLogging (empty before); the
// platform clients name the process with it.
std::string ApplicationDescription();

}  // namespace ara::log
