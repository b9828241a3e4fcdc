// One restart request to the state manager with a fixed restart identifier,
// and its outcome in the log.
#pragma once

#include "DSAInterfaceImpl.h"

#include <cstdint>
#include <memory>

namespace norda::phm::wardex {

// Set up by whoever creates it: EcuReset{restartId, dsaInterface}.
class EcuReset {
public:
    void RequestRestart();

    std::uint8_t restartId{0};
    std::shared_ptr<DSAInterfaceImpl> dsaInterface;
};

}  // namespace norda::phm::wardex
