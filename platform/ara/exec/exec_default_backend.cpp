// Placeholder platform backend until the EM daemon connection exists: every
// recovery request fails as undeliverable.
#include "ara/exec/exec_backend.h"

#include <cerrno>
#include <system_error>

namespace ara::exec {
namespace {

class Unreachable_execution_backend final : public Execution_backend {
public:
    void report_state(ApplicationState) noexcept override {}
    void restart_instance(const std::string&) override { fail(); }
    void stop_instance(const std::string&) override { fail(); }
    void reset_platform(int) override { fail(); }

private:
    [[noreturn]] static void fail() {
        throw std::system_error(ENOTCONN, std::generic_category(), "execution management");
    }
};

}  // namespace

std::shared_ptr<Execution_backend> make_default_execution_backend() {
    return std::make_shared<Unreachable_execution_backend>();
}

}  // namespace ara::exec
