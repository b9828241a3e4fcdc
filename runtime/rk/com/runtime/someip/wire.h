// The SOME/IP wire code the transport's parts use, by the names they use it.
#pragma once

#include "rk/com/runtime/someip/return_codes.h"
#include "rk/com/someip/message.h"
#include "rk/com/someip/sd_message.h"

namespace rk::com::runtime::someip {

using rk::com::someip::append_message;
using rk::com::someip::Header;
using rk::com::someip::Message;
using rk::com::someip::protocol_version;
using rk::com::someip::Session_counter;
using rk::com::someip::split_datagram;
namespace message_type = rk::com::someip::message_type;
namespace sd = rk::com::someip::sd;
namespace wire_code = rk::com::someip::wire_code;

}  // namespace rk::com::runtime::someip
