#include "orbis/services/diag/d_0401/skeleton/dataidentifier_numberofecuresets_skeleton.h"

#include <utility>

namespace orbis::services::diag::d_0401::skeleton {

using Meta_info = std::map<std::string, std::string>;

DataIdentifier_NumberOfECUResetsSkeleton::DataIdentifier_NumberOfECUResetsSkeleton(
    tq::com::runtime::Instance_id instance_id, rk::com::cpp_binding::Method_call_processing_mode mode)
    : Skeleton(std::move(instance_id), mode),
      Cancel_method(method_dispatcher(), [this](const Meta_info& metaInfo) { return Cancel(metaInfo); }),
      Read_method(method_dispatcher(), [this](const Meta_info& metaInfo) { return Read(metaInfo); }) {}

DataIdentifier_NumberOfECUResetsSkeleton::~DataIdentifier_NumberOfECUResetsSkeleton() = default;

}  // namespace orbis::services::diag::d_0401::skeleton
