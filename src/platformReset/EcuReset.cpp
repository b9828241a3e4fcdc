#include "EcuReset.h"

#include "ara/log/logging.h"

namespace norda::phm::wardex {

void EcuReset::RequestRestart() {
    // Without a client nothing can be requested: a failure, not a crash.
    if (dsaInterface && dsaInterface->RequestRestart(restartId)) {
        ara::log::LogDebug() << "EcuReset: RequestRestart succeeded!";
    } else {
        ara::log::LogError() << "EcuReset: RequestRestart failed!";
    }
}

}  // namespace norda::phm::wardex
