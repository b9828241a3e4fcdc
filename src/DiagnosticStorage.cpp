#include "DiagnosticStorage.h"

#include "WardexMonitor.h"

#include <exception>
#include <utility>

namespace norda::phm::wardex {

DataIdentifier_NumberofECUResetsSkeletonImpl::DataIdentifier_NumberofECUResetsSkeletonImpl(
    tq::com::runtime::Instance_id instanceId)
    : DataIdentifier_NumberOfECUResetsSkeleton(std::move(instanceId),
                                               rk::com::cpp_binding::Method_call_processing_mode::kEvent),
      allowWorking(true),
      logger(ara::log::CreateLogger("WDX", "Wardex DataIdenfifier Diag")) {
    OfferService();
}

DataIdentifier_NumberofECUResetsSkeletonImpl::~DataIdentifier_NumberofECUResetsSkeletonImpl() {
    try {
        StopOfferService();
        logger.LogInfo() << "~DataIdentifier_NumberofECUResetsSkeletonImpl";
    } catch (const std::exception& e) {
        logger.LogError() << std::string("Withdrawing the data identifier service failed: ") + e.what();
    } catch (...) {
        logger.LogError() << "Withdrawing the data identifier service failed";
    }
}

tq::com::Future<void> DataIdentifier_NumberofECUResetsSkeletonImpl::Cancel(
    const std::map<std::string, std::string>& /*metaInfo*/) {
    tq::com::Promise<void> promise;
    promise.set_value();
    return promise.get_future();
}

tq::com::Future<DataIdentifier_NumberofECUResetsSkeletonImpl::Output>
DataIdentifier_NumberofECUResetsSkeletonImpl::Read(const std::map<std::string, std::string>& /*metaInfo*/) {
    tq::com::Promise<Output> promise;
    Output output;
    // getMesswerte copies under the monitor's lock, so a recomputation running
    // meanwhile is seen entirely or not at all.
    WardexMonitor::instance().getMesswerte(output.count, output.data);
    promise.set_value(output);
    return promise.get_future();
}

bool DataIdentifier_NumberofECUResetsSkeletonImpl::Read_allow_working_flag() {
    std::lock_guard<std::mutex> lock(allowWorkingMutex);
    return allowWorking;
}

void DataIdentifier_NumberofECUResetsSkeletonImpl::Write_allow_working_flag(bool allow) {
    std::lock_guard<std::mutex> lock(allowWorkingMutex);
    allowWorking = allow;
}

void DataIdentifier_NumberofECUResetsSkeletonImpl::StopWorking() {
    Write_allow_working_flag(false);
    StopOfferService();
}

}  // namespace norda::phm::wardex
