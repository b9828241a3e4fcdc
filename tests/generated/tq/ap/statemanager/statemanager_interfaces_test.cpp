// The state manager's interface definitions: DSAInterface's identifier and
// restart method, and the error lookups of every method (none has an error).
#include "tq/ap/statemanager/dsainterface_common.h"
#include "tq/ap/statemanager/statemanagementaliveinterface_common.h"
#include "tq/ap/statemanager/statemanagementcomaliveinterface_common.h"
#include "tq/ap/statemanager/statemanagementcwuinterface_common.h"

#include "rk/com/someip/serialization/serializer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <type_traits>

namespace {

using namespace tq::ap::statemanager;

TEST(DsaInterfaceDefinition, IdentifierShapeAndRestartRequestOnTheWire) {
    constexpr auto id = DSAInterface::id();
    EXPECT_STREQ(id.c_str(), "tq::ap::statemanager::DSAInterface");
    EXPECT_EQ(id.size(), std::strlen("tq::ap::statemanager::DSAInterface") + 1);
    EXPECT_EQ(DSAInterface::description().number_of_events, 0);
    EXPECT_EQ(DSAInterface::description().number_of_methods, 1);
    EXPECT_EQ(DSAInterface::RequestRestart::id, 0);
    static_assert(std::is_same_v<DSAInterface::RequestRestart::Signature, void(std::uint8_t)>);

    auto bytes = std::make_shared<std::vector<std::uint8_t>>();
    rk::com::someip::serialization::Serializer(bytes).serialize(std::uint8_t{0x2A});
    EXPECT_EQ(*bytes, (std::vector<std::uint8_t>{0x2A}));
}

TEST(StateManagerDefinitions, EveryLookupYieldsNothingForEveryCode) {
    const std::vector<std::uint8_t> payload{0x01, 0x02};
    for (int code = 0; code <= 0xFF; ++code) {
        const auto c = static_cast<std::uint8_t>(code);
        EXPECT_FALSE(DSAInterface::RequestRestart::GetApplicationErrorExceptionPtr(c, payload));
        EXPECT_FALSE(StateManagementAliveInterface::ReleaseAlive::GetApplicationErrorExceptionPtr(c, payload));
        EXPECT_FALSE(StateManagementAliveInterface::RequestAlive::GetApplicationErrorExceptionPtr(c, payload));
        EXPECT_FALSE(StateManagementComAliveInterface::ReleaseComAlive::GetApplicationErrorExceptionPtr(c, payload));
        EXPECT_FALSE(StateManagementComAliveInterface::RequestComAlive::GetApplicationErrorExceptionPtr(c, payload));
        EXPECT_FALSE(StateManagementCWUInterface::ReleaseCarWakeUp::GetApplicationErrorExceptionPtr(c, payload));
        EXPECT_FALSE(StateManagementCWUInterface::RequestCarWakeUp::GetApplicationErrorExceptionPtr(c, payload));
    }
}

}  // namespace
