// The partition's configuration file: which file to read, and the
// registration of every application it lists with the supervision monitor.
#pragma once

#include "NotificationType.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ara::phm {
class PhmCallbackClient;
}
namespace norda::phm::wardex {
class WardexMonitor;
}

// One application entry of the configuration, converted.
struct ApplicationConfiguration {
    std::string appInstanceId;
    std::uint16_t numberOfAllowedErrors = 0;
    std::vector<norda::phm::wardex::NotificationType> callbackErrorHandling;
    std::vector<norda::phm::wardex::NotificationType> callbackLimitErrorHandling;
    std::vector<std::string> callbackNames;
    std::string swid;
    std::uint16_t gid = 0;
    std::uint16_t counterHealingTimeMin = 0;
    std::string messwertId;
};

// Where a read configuration goes: the supervision monitor, or a test's record.
class ConfigurationTarget {
public:
    virtual ~ConfigurationTarget() = default;
    virtual void setHostName(const std::string& hostName) = 0;
    virtual void registerApplication(ApplicationConfiguration application) = 0;
};

// The supervision monitor as the target: it takes the host name, and every
// application is registered with it on the client, with no error reported yet.
class MonitorTarget final : public ConfigurationTarget {
public:
    MonitorTarget(norda::phm::wardex::WardexMonitor& monitor, ara::phm::PhmCallbackClient& client);
    void setHostName(const std::string& hostName) override;
    void registerApplication(ApplicationConfiguration application) override;

private:
    norda::phm::wardex::WardexMonitor& monitor_;
    ara::phm::PhmCallbackClient& client_;
};

// Reads the first line of the partition host name file, without a trailing
// carriage return. False, and hostname unchanged, when the file cannot be read,
// is not a regular file or is larger than 4096 bytes (the last two logged).
bool get_hostname_of_partition(std::string& hostname);
bool get_hostname_of_partition(std::string& hostname, const std::string& hostnameFile);

// Reads the partition's configuration and registers every application with
// the process-wide supervision monitor on phmCallbackClient. False when reading stopped on
// an error (logged here); applications registered before it stay registered.
bool readConfigurationFromJsonFile();

// The same with the two platform paths and the target given: the host name is
// appended to configurationBase together with ".json".
bool readConfigurationFromJsonFile(const std::string& hostnameFile,
                                   const std::string& configurationBase,
                                   ConfigurationTarget& target);
