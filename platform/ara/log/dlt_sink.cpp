// DLT output through libdlt, verbose mode with typed arguments.
#include "ara/log/sink.h"
#include "wardex/base/fd.h"

#include <dlt/dlt.h>

#include <fcntl.h>

#include <cstdlib>

#include <map>
#include <mutex>
#include <shared_mutex>
#include <type_traits>

namespace ara::log {
namespace {

// libdlt waits this long at exit to resend buffered messages; with no daemon
// the process would otherwise hang for its default of ten seconds.
constexpr std::uint32_t kResendTimeoutAtExitMs = 100;

std::string dlt_id(const std::string& id) { return id.substr(0, DLT_ID_SIZE); }

// Whether a DLT daemon holds its FIFO open: libdlt's own, $DLT_PIPE_DIR/dlt
// or /tmp/dlt. Opening it for writing without blocking fails when there is
// no FIFO or nobody reads it.
bool daemon_listening() {
    const char* dir = std::getenv("DLT_PIPE_DIR");
    const std::string fifo = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/dlt";
    return static_cast<bool>(wardex::base::Fd(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)));
}

class Dlt_sink final : public Sink {
public:
    Dlt_sink(const std::string& app_id, const std::string& description, LogLevel level)
        : level_(level) {
        dlt_set_resend_timeout_atexit(kResendTimeoutAtExitMs);
        open_ = dlt_register_app(dlt_id(app_id).c_str(), description.c_str()) >= DLT_RETURN_OK;
        // Set once more: when libdlt could not set up its FIFO directory the
        // first call found it uninitialised and kept the default, and the
        // registration initialised it afterwards.
        dlt_set_resend_timeout_atexit(kResendTimeoutAtExitMs);
    }

    ~Dlt_sink() override { shutdown(); }

    void on_logger_created(const Logger& logger) override {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        if (!open_ || contexts_.count(&logger) != 0) return;
        auto context = std::make_unique<DltContext>();
        if (dlt_register_context_ll_ts(context.get(), dlt_id(logger.context_id()).c_str(),
                                       logger.description().c_str(),
                                       static_cast<int>(level_), DLT_TRACE_STATUS_OFF) >=
            DLT_RETURN_OK) {
            contexts_.emplace(&logger, std::move(context));
        }
    }

    bool enabled(const Logger& logger, LogLevel level) const noexcept override {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        DltContext* context = find(logger);
        return context != nullptr &&
               dlt_user_is_logLevel_enabled(context, static_cast<DltLogLevelType>(level)) ==
                   DLT_RETURN_TRUE;
    }

    void write(const Logger& logger, const Record& record) noexcept override {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        DltContext* context = find(logger);
        if (context == nullptr) return;
        DltContextData data;
        if (dlt_user_log_write_start(context, &data, static_cast<DltLogLevelType>(record.level)) <=
            DLT_RETURN_OK) {
            return;
        }
        for (const auto& argument : record.arguments) append(data, argument);
        // When libdlt prints locally it formats the message in a static
        // buffer of its own: two threads finishing at once would mix their
        // lines.
        std::lock_guard<std::mutex> finishing(finish_mutex_);
        dlt_user_log_write_finish(&data);
    }

    void shutdown() noexcept override {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        if (!open_) return;
        open_ = false;
        for (auto& entry : contexts_) dlt_unregister_context(entry.second.get());
        contexts_.clear();
        // libdlt's dlt_unregister_app_flush_buffered_logs retries until the
        // daemon has taken every buffered message, and spins for ever when
        // the daemon is stopped. This flush ends at the short at-exit resend
        // time-out; what the daemon has not taken by then is lost. Without a
        // daemon nothing can be taken, and waiting would only delay the exit.
        if (daemon_listening()) dlt_user_atexit_blow_out_user_buffer();
        dlt_unregister_app();
        // Nothing is left for libdlt's own exit handler to wait for.
        dlt_set_resend_timeout_atexit(0);
    }

private:
    DltContext* find(const Logger& logger) const {
        if (!open_) return nullptr;
        auto found = contexts_.find(&logger);
        return found == contexts_.end() ? nullptr : found->second.get();
    }

    static void append(DltContextData& data, const Argument& argument) {
        std::visit(
            [&data](const auto& value) {
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, std::string>) {
                    dlt_user_log_write_utf8_string(&data, value.c_str());
                } else if constexpr (std::is_same_v<T, bool>) {
                    dlt_user_log_write_bool(&data, value ? 1 : 0);
                } else if constexpr (std::is_same_v<T, std::uint8_t>) {
                    dlt_user_log_write_uint8(&data, value);
                } else if constexpr (std::is_same_v<T, std::uint16_t>) {
                    dlt_user_log_write_uint16(&data, value);
                } else if constexpr (std::is_same_v<T, std::uint32_t>) {
                    dlt_user_log_write_uint32(&data, value);
                } else if constexpr (std::is_same_v<T, std::uint64_t>) {
                    dlt_user_log_write_uint64(&data, value);
                } else if constexpr (std::is_same_v<T, std::int8_t>) {
                    dlt_user_log_write_int8(&data, value);
                } else if constexpr (std::is_same_v<T, std::int16_t>) {
                    dlt_user_log_write_int16(&data, value);
                } else if constexpr (std::is_same_v<T, std::int32_t>) {
                    dlt_user_log_write_int32(&data, value);
                } else if constexpr (std::is_same_v<T, std::int64_t>) {
                    dlt_user_log_write_int64(&data, value);
                } else if constexpr (std::is_same_v<T, float>) {
                    dlt_user_log_write_float32(&data, value);
                } else {
                    dlt_user_log_write_float64(&data, value);
                }
            },
            argument);
    }

    mutable std::shared_mutex mutex_;
    std::mutex finish_mutex_;
    LogLevel level_;
    bool open_ = false;
    std::map<const Logger*, std::unique_ptr<DltContext>> contexts_;
};

}  // namespace

std::shared_ptr<Sink> make_dlt_sink(const std::string& app_id, const std::string& description,
                                    LogLevel default_level) {
    return std::make_shared<Dlt_sink>(app_id, description, default_level);
}

}  // namespace ara::log
