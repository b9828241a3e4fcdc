#include "ara/exec/application_client.h"
#include "ara/exec/recovery_action_client.h"

namespace ara::exec {

ApplicationClient::ApplicationClient() : ApplicationClient(make_default_execution_backend()) {}

ApplicationClient::ApplicationClient(std::shared_ptr<Execution_backend> backend)
    : backend_(std::move(backend)) {}

void ApplicationClient::ReportApplicationState(ApplicationState state) noexcept {
    backend_->report_state(state);
}

Recovery_action_client::Recovery_action_client()
    : Recovery_action_client(make_default_execution_backend()) {}

Recovery_action_client::Recovery_action_client(std::shared_ptr<Execution_backend> backend)
    : backend_(std::move(backend)) {}

void Recovery_action_client::restart_instance(const std::string& instance) {
    backend_->restart_instance(instance);
}

void Recovery_action_client::stop_instance(const std::string& instance) {
    backend_->stop_instance(instance);
}

void Recovery_action_client::reset_platform(int delay_ms) { backend_->reset_platform(delay_ms); }

}  // namespace ara::exec
