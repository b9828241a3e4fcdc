// ara::exec recovery-action client: restart or stop an application instance,
// reset the platform.
#pragma once

#include "ara/exec/exec_backend.h"

#include <string>

namespace ara::exec {

class Recovery_action_client {
public:
    Recovery_action_client();
    explicit Recovery_action_client(std::shared_ptr<Execution_backend> backend);

    // Each throws std::system_error when execution management cannot be
    // reached or refuses the request.
    void restart_instance(const std::string& instance);
    void stop_instance(const std::string& instance);
    void reset_platform(int delay_ms);

private:
    std::shared_ptr<Execution_backend> backend_;
};

}  // namespace ara::exec
