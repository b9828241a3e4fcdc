#include "rk/com/runtime/transport_factory.h"

#include "rk/com/runtime/local_transport.h"
#include "rk/com/runtime/runtime_logger.h"
#include "rk/com/runtime/someip/udp_transport.h"

#include <system_error>

namespace rk::com::runtime {

std::shared_ptr<Transport> make_transport(bool in_process_only,
                                          const std::string& deployment_path) {
    if (in_process_only) return std::make_shared<Local_transport>();
    auto deployment = someip::process_deployment(deployment_path);
    try {
        return std::make_shared<Local_transport>(
            std::make_shared<someip::Udp_transport>(std::move(deployment)));
    } catch (const std::system_error& error) {
        runtime_logger().LogError()
            << "SOME/IP transport cannot start, services are offered in this process only:"
            << error.what();
        return std::make_shared<Local_transport>();
    }
}

}  // namespace rk::com::runtime
