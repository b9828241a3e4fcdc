#include "ConfigurationLoader.h"

#include "WardexGlobals.h"
#include "WardexMonitor.h"
#include "json_file_parser.h"
#include "regular_file.h"

#include "ara/log/logging.h"
#include "wardex/paths.h"

#include <cmath>
#include <system_error>
#include <unordered_set>

using norda::phm::wardex::NotificationType;

namespace {

constexpr char kConfigurationBase[] = "/etc/Wardex_InitialData";
constexpr char kHostnameFile[] = "/var/run/adaptive/hostname";
// Only its first line is used; a longer file is not a host name file.
constexpr std::size_t kMaxHostnameFileBytes = 4096;

// Wraps a number into 0...65535 the way an unsigned 16-bit conversion does,
// with fractions truncated toward zero, and warns when it had to.
std::uint16_t readUnsigned16(const nlohmann::json& application, const char* key,
                             const std::string& appInstanceId) {
    const nlohmann::json& value = application.at(key);
    if (!value.is_number_float()) {
        const auto converted = value.get<std::uint16_t>();
        const bool outside = (value.is_number_integer() && value.get<std::int64_t>() < 0) ||
                             (value.is_number_unsigned() && value.get<std::uint64_t>() > 65535u);
        if (outside) {
            ara::log::LogWarn() << "Configuration value outside 0...65535:" << key << "of"
                                << appInstanceId << "is" << value.dump() << "and is taken as"
                                << converted;
        }
        return converted;
    }
    const double number = value.get<double>();
    const double whole = std::trunc(number);
    double wrapped = std::fmod(whole, 65536.0);
    if (wrapped < 0) wrapped += 65536.0;
    const auto converted = static_cast<std::uint16_t>(wrapped);
    if (!(number >= 0.0 && number <= 65535.0)) {
        ara::log::LogWarn() << "Configuration value outside 0...65535:" << key << "of"
                            << appInstanceId << "is" << value.dump() << "and is taken as"
                            << converted;
    }
    return converted;
}

// The reaction lists and the callback names must be JSON arrays.
const nlohmann::json& readArray(const nlohmann::json& application, const char* key) {
    const nlohmann::json& value = application.at(key);
    if (!value.is_array()) {
        throw nlohmann::json::type_error::create(
            302, std::string("type must be array, but is ") + value.type_name(), &value);
    }
    return value;
}

std::vector<NotificationType> readActions(const nlohmann::json& application, const char* key) {
    std::vector<NotificationType> actions;
    for (const auto& keyword : readArray(application, key)) {
        const auto action =
            norda::phm::wardex::getCallbackActionStringToEnum(keyword.get<std::string>());
        actions.push_back(action);
        if (!DTC_available.load() && action == NotificationType::kDTC) DTC_available.store(true);
    }
    return actions;
}

// "DIDs" and "Apps" are arrays, or objects whose member values are taken in
// the JSON library's order, sorted by key (not as written: files may rely on
// it); null is an empty list.
const nlohmann::json& readGroup(const nlohmann::json& parent, const char* key) {
    const nlohmann::json& value = parent.at(key);
    if (!value.is_array() && !value.is_object() && !value.is_null()) {
        throw nlohmann::json::type_error::create(
            302, std::string("type must be array, but is ") + value.type_name(), &value);
    }
    return value;
}

ApplicationConfiguration readApplication(const nlohmann::json& entry) {
    ApplicationConfiguration application;
    application.appInstanceId = entry.at("appInstanceId").get<std::string>();
    const std::string& id = application.appInstanceId;
    application.counterHealingTimeMin = readUnsigned16(entry, "counterHealingTimeMin", id);
    application.swid = entry.at("SWID").get<std::string>();
    application.gid = readUnsigned16(entry, "GID", id);
    application.messwertId = entry.at("MesswertID").get<std::string>();
    application.numberOfAllowedErrors = readUnsigned16(entry, "numberOfAllowedErrors", id);
    application.callbackErrorHandling = readActions(entry, "callbackErrorHandling");
    application.callbackLimitErrorHandling = readActions(entry, "callbackLimitErrorHandling");
    // A name listed twice would deliver each failure twice to the same record.
    std::unordered_set<std::string> seen;
    for (const auto& element : readArray(entry, "callbackNames")) {
        auto name = element.get<std::string>();
        if (!seen.insert(name).second) {
            ara::log::LogWarn() << "Callback name listed twice, registered once:" << name << "of" << id;
            continue;
        }
        application.callbackNames.push_back(std::move(name));
    }
    return application;
}

}  // namespace

MonitorTarget::MonitorTarget(norda::phm::wardex::WardexMonitor& monitor, ara::phm::PhmCallbackClient& client)
    : monitor_(monitor), client_(client) {}

void MonitorTarget::setHostName(const std::string& hostName) { monitor_.SetHostName(hostName); }

void MonitorTarget::registerApplication(ApplicationConfiguration a) {
    monitor_.RegisterApplication(client_, std::move(a.appInstanceId), a.numberOfAllowedErrors, 0,
                                 std::move(a.callbackErrorHandling), std::move(a.callbackLimitErrorHandling),
                                 std::move(a.callbackNames), std::move(a.swid), a.gid, a.counterHealingTimeMin,
                                 std::move(a.messwertId));
}

bool get_hostname_of_partition(std::string& hostname) {
    return get_hostname_of_partition(hostname, wardex::paths::in_sysroot(kHostnameFile));
}

bool get_hostname_of_partition(std::string& hostname, const std::string& hostnameFile) {
    const Regular_file file = read_regular_file(hostnameFile, kMaxHostnameFileBytes);
    if (file.status == Regular_file::Status::kNotRegular) {
        ara::log::LogWarn() << "Partition host name file not read: not a regular file:" << hostnameFile;
    } else if (file.status == Regular_file::Status::kTooLarge) {
        ara::log::LogWarn() << "Partition host name file not read: larger than" << kMaxHostnameFileBytes
                            << "bytes:" << hostnameFile;
    }
    if (file.status != Regular_file::Status::kRead) return false;
    std::string line = file.content.substr(0, file.content.find('\n'));
    // A file written with CRLF line ends names the same partition.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    hostname = std::move(line);
    return true;
}

bool readConfigurationFromJsonFile() {
    MonitorTarget monitor(norda::phm::wardex::WardexMonitor::instance(), phmCallbackClient);
    return readConfigurationFromJsonFile(wardex::paths::in_sysroot(kHostnameFile),
                                         wardex::paths::in_sysroot(kConfigurationBase), monitor);
}

bool readConfigurationFromJsonFile(const std::string& hostnameFile,
                                   const std::string& configurationBase,
                                   ConfigurationTarget& target) {
    try {
        std::string hostName;
        if (get_hostname_of_partition(hostName, hostnameFile)) {
            ara::log::LogDebug() << "reading the special Config file of the partition " << hostName;
        } else {
            ara::log::LogDebug() << "Could not find the partition hostname (Kumo/QZ/B7) the not "
                                    "divided configuration file is being used."
                                 << hostName;
        }
        target.setHostName(hostName);
        const std::string path = configurationBase + hostName + ".json";
        ara::log::LogDebug() << "Parsing the Wardex json configuration file: "
                             << "Wardex_InitialData" + hostName + ".json";

        const nlohmann::json document = Json_file_parser(path).parse_file();
        for (const auto& group : readGroup(document, "DIDs")) {
            for (const auto& entry : readGroup(group, "Apps")) {
                target.registerApplication(readApplication(entry));
            }
        }
        return true;
    } catch (const std::system_error& error) {
        ara::log::LogError() << "Unexpected system_error during reading the Wardex_InitialData.json: "
                             << error.what();
    } catch (const std::exception& error) {
        ara::log::LogError() << "Unexpected exception during reading the Wardex_InitialData.json: "
                             << error.what();
    } catch (...) {
        ara::log::LogError() << "Unknown exception happened during reading the Wardex_InitialData.json";
    }
    return false;
}
