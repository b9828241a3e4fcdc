#include "ara/log/sink.h"

#include <cstdio>
#include <mutex>

namespace ara::log {
namespace {

class Console_sink final : public Sink {
public:
    explicit Console_sink(std::string app_id) : app_id_(std::move(app_id)) {}

    void write(const Logger& logger, const Record& record) noexcept override {
        try {
            const std::string line = app_id_ + " " + logger.context_id() + " " +
                                     to_string(record.level) + ": " + record.text() + "\n";
            std::lock_guard<std::mutex> lock(mutex_);
            std::fputs(line.c_str(), stdout);
            std::fflush(stdout);
        } catch (...) {
        }
    }

private:
    std::string app_id_;
    std::mutex mutex_;
};

}  // namespace

std::shared_ptr<Sink> make_console_sink(std::string app_id) {
    return std::make_shared<Console_sink>(std::move(app_id));
}

}  // namespace ara::log
