// Wardex: supervision of the applications of an AUTOSAR Adaptive partition.
#include "DiagnosticStorage.h"
#include "WardexFrame.h"
#include "WardexGlobals.h"

#include "ara/exec/application_client.h"
#include "ara/log/logging.h"
#include "rk/com/runtime/component_singleton.h"
#include "tq/com/runtime/identifiers.h"

#include <csignal>
#include <cstdio>

int main(int /*argc*/, char** /*argv*/) {
    // libdlt prints locally (DLT_LOCAL_PRINT_MODE) with stdio: each line goes
    // out when it is complete, also into a pipe or a file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ara::log::InitLogging("WDX", applicationName, ara::log::LogLevel::kVerbose,
                          ara::log::LogMode::kRemote, "");
    ara::log::Logger& mainLogger = ara::log::CreateLogger("MAIN", "main");

    runMainBody([&mainLogger] {
        // Lives through the whole teardown, so that every signal is logged.
        SignalReporter signalReporter;
        // Created before anything that communicates; destroyed last.
        rk::com::runtime::Component_singleton comComponent(false, "");

        ara::exec::ApplicationClient applicationClient;
        applicationClient.ReportApplicationState(ara::exec::ApplicationState::kRunning);
        mainLogger.LogInfo() << std::string(applicationName) + " version " + applicationVersion +
                                    " has started!";

        std::signal(SIGINT, signal_handler);
        std::signal(SIGTERM, signal_handler);
        std::signal(SIGABRT, signal_handler);

        FrameThreads threads(phmCallbackClient);
        threads.start(FrameThreads::Thread::kAliveSupervision, [] { phm_alive_supervision(); });

        // Offered before the configuration is read, so that it is offered even
        // when the configuration is bad; destroyed (and withdrawn) first.
        tq::com::runtime::Instance_id dataIdentifierInstance("1");
        norda::phm::wardex::DataIdentifier_NumberofECUResetsSkeletonImpl dataIdentifier(
            dataIdentifierInstance);

        superviseConfiguredApplications(threads);

        applicationClient.ReportApplicationState(ara::exec::ApplicationState::kShuttingdown);
        threads.join(FrameThreads::Thread::kAliveSupervision);
        // The signal that ended the alive supervision comes before the teardown it causes.
        reportReceivedSignals();
    });
    return 0;
}
