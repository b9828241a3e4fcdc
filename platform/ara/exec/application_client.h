// ara::exec application client: reports this process's execution state.
#pragma once

#include "ara/exec/exec_backend.h"

namespace ara::exec {

class ApplicationClient {
public:
    ApplicationClient();
    explicit ApplicationClient(std::shared_ptr<Execution_backend> backend);

    // The result is informative only; a state that cannot be delivered is dropped.
    void ReportApplicationState(ApplicationState state) noexcept;

private:
    std::shared_ptr<Execution_backend> backend_;
};

}  // namespace ara::exec
