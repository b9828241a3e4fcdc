// Chooses the process's transport: in-process routing, in front of SOME/IP
// over UDP unless only in-process services are wanted.
#pragma once

#include "rk/com/runtime/transport.h"

#include <memory>
#include <string>

namespace rk::com::runtime {

// The deployment file at deployment_path, or when it is empty the installed
// one or the compiled-in one, says where services live; a deployment that
// cannot be used throws someip::Deployment_error. When the network side
// cannot start (its sockets are taken by another process), the error is
// logged and services are carried in-process only.
std::shared_ptr<Transport> make_transport(bool in_process_only, const std::string& deployment_path);

}  // namespace rk::com::runtime
