// The ECU-reset counter data identifier service
// (orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets, instance
// "1"): a diagnostic tester reads the measured values the supervision monitor
// has recorded so far.
#pragma once

#include "ara/log/logging.h"
#include "orbis/services/diag/d_0401/skeleton/dataidentifier_numberofecuresets_skeleton.h"
#include "tq/com/future.h"
#include "tq/com/runtime/identifiers.h"

#include <map>
#include <mutex>
#include <string>

namespace norda::phm::wardex {

class DataIdentifier_NumberofECUResetsSkeletonImpl
    : public orbis::services::diag::d_0401::skeleton::DataIdentifier_NumberOfECUResetsSkeleton {
public:
    using Output = orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets::Read::Output;

    // Constructs and offers the service.
    explicit DataIdentifier_NumberofECUResetsSkeletonImpl(tq::com::runtime::Instance_id instanceId);
    // Withdraws the offer (waiting for requests still running) before anything goes.
    ~DataIdentifier_NumberofECUResetsSkeletonImpl() override;

    DataIdentifier_NumberofECUResetsSkeletonImpl(const DataIdentifier_NumberofECUResetsSkeletonImpl&) = delete;
    DataIdentifier_NumberofECUResetsSkeletonImpl& operator=(const DataIdentifier_NumberofECUResetsSkeletonImpl&) =
        delete;

    tq::com::Future<void> Cancel(const std::map<std::string, std::string>& metaInfo) override;
    // The supervision monitor's measured values, ready on return.
    tq::com::Future<Output> Read(const std::map<std::string, std::string>& metaInfo) override;

    bool Read_allow_working_flag();
    void Write_allow_working_flag(bool allow);
    // Clears the allow-working flag and withdraws the service.
    void StopWorking();

private:
    bool allowWorking;
    std::mutex allowWorkingMutex;
    ara::log::Logger& logger;
};

}  // namespace norda::phm::wardex
