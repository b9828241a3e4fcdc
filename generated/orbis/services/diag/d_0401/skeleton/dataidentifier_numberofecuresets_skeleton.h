// Provider side of orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets:
// a service derives from it and implements Cancel and Read.
#pragma once

#include "ara/com/internal/skeleton/method.h"
#include "ara/com/internal/skeleton/skeleton.h"
#include "orbis/services/diag/d_0401/dataidentifier_numberofecuresets_common.h"
#include "tq/com/future.h"

#include <map>
#include <string>

namespace orbis::services::diag::d_0401::skeleton {

class DataIdentifier_NumberOfECUResetsSkeleton
    : public ara::com::internal::skeleton::Skeleton<orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets> {
public:
    using Interface = orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets;

    DataIdentifier_NumberOfECUResetsSkeleton(tq::com::runtime::Instance_id instance_id,
                                             rk::com::cpp_binding::Method_call_processing_mode mode);
    ~DataIdentifier_NumberOfECUResetsSkeleton() override;

    virtual tq::com::Future<void> Cancel(const std::map<std::string, std::string>& metaInfo) = 0;
    virtual tq::com::Future<Interface::Read::Output> Read(const std::map<std::string, std::string>& metaInfo) = 0;

private:
    ara::com::internal::skeleton::Method<Interface::Cancel> Cancel_method;
    ara::com::internal::skeleton::Method<Interface::Read> Read_method;
};

}  // namespace orbis::services::diag::d_0401::skeleton
