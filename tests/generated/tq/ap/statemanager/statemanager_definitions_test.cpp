// Identifiers of the state manager's restart interface, and the error
// lookups of the interfaces that define no application errors.
#include "rk/dm/dem/diagnosticevent_common.h"
#include "tq/ap/statemanager/dsainterface_common.h"
#include "tq/ap/statemanager/statemanagementaliveinterface_common.h"
#include "tq/ap/statemanager/statemanagementcomaliveinterface_common.h"
#include "tq/ap/statemanager/statemanagementcwuinterface_common.h"

#include <gtest/gtest.h>

#include <string>
#include <typeinfo>
#include <vector>

namespace {

TEST(DSAInterfaceDefinition, IdIsTheInterfaceNameWithItsTerminatingZeroCounted) {
    constexpr auto id = tq::ap::statemanager::DSAInterface::id();
    EXPECT_EQ(id.size(), 35u);
    EXPECT_EQ(std::string(id.c_str()), "tq::ap::statemanager::DSAInterface");
    EXPECT_EQ(tq::com::runtime::Service_id(id).to_string(), "tq::ap::statemanager::DSAInterface");
    EXPECT_EQ(tq::ap::statemanager::DSAInterface::description().number_of_events, 0);
    EXPECT_EQ(tq::ap::statemanager::DSAInterface::description().number_of_methods, 1);
    EXPECT_EQ(tq::ap::statemanager::DSAInterface::RequestRestart::method_id, 0);
}

template <typename Method>
int codes_with_an_application_error() {
    const std::vector<std::uint8_t> payload{0x31, 0x32};
    int found = 0;
    for (int code = 0; code <= 0xFF; ++code) {
        if (Method::GetApplicationErrorExceptionPtr(static_cast<std::uint8_t>(code), payload)) ++found;
    }
    return found;
}

template <typename Method>
void expect_no_application_error() {
    EXPECT_EQ(codes_with_an_application_error<Method>(), 0) << typeid(Method).name();
}

template <typename... Methods>
void expect_no_application_errors() {
    (expect_no_application_error<Methods>(), ...);
}

TEST(InterfacesWithoutApplicationErrors, EveryCodeOfEveryMethodGivesAnEmptyPointer) {
    using namespace tq::ap::statemanager;
    using rk::dm::dem::DiagnosticEvent;
    expect_no_application_errors<DSAInterface::RequestRestart, StateManagementAliveInterface::ReleaseAlive,
                                 StateManagementAliveInterface::RequestAlive,
                                 StateManagementComAliveInterface::ReleaseComAlive,
                                 StateManagementComAliveInterface::RequestComAlive,
                                 StateManagementCWUInterface::ReleaseCarWakeUp,
                                 StateManagementCWUInterface::RequestCarWakeUp,
                                 DiagnosticEvent::FaultDetectionCounter, DiagnosticEvent::GetDTCOfEvent,
                                 DiagnosticEvent::GetDebouncingOfEvent, DiagnosticEvent::EventStatus::Get>();
}

}  // namespace
