#include "ConfigurationLoader.h"
#include "app_fixture.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using NT = norda::phm::wardex::NotificationType;
using wardex_test::Strings;
using ara::log::LogLevel;

constexpr char kError[] = "Unexpected exception during reading the Wardex_InitialData.json:  ";

class RecordingTarget final : public ConfigurationTarget {
public:
    void setHostName(const std::string& hostName) override { hostNames.push_back(hostName); }
    void registerApplication(ApplicationConfiguration application) override {
        if (onRegister) onRegister();
        applications.push_back(std::move(application));
    }
    Strings hostNames;
    std::vector<ApplicationConfiguration> applications;
    std::function<void()> onRegister;  // may throw
};

// Given a private folder standing in for /etc and /var/run/adaptive.
class ConfigurationLoader : public ::testing::Test {
protected:
    void SetUp() override {
        DTC_available.store(false);
        ::mkdir(folder_.c_str(), 0755);
        ::unlink(hostnameFile_.c_str());
        for (const char* host : {"", "Kumo", "QZ", "B7", "qemu-arm64"}) ::unlink((base_ + host + ".json").c_str());
        capture_.clear();
        target_ = RecordingTarget();
    }
    void writeHost(const std::string& content) { std::ofstream(hostnameFile_, std::ios::binary) << content; }
    void writeConfiguration(const std::string& host, const std::string& content) {
        std::ofstream(base_ + host + ".json", std::ios::binary) << content;
    }
    bool read() { return readConfigurationFromJsonFile(hostnameFile_, base_, target_); }
    Strings logged(LogLevel level = LogLevel::kError) const { return wardex_test::texts(capture_, level); }

    // One application entry with the given members replaced, or removed where null.
    static std::string app(const std::string& patch = "{}", const std::string& id = "App1") {
        auto entry = nlohmann::json::parse(R"({"counterHealingTimeMin": 1, "SWID": "0x1234", "GID": 7,
            "MesswertID": "M1", "numberOfAllowedErrors": 3, "callbackErrorHandling": ["DLT"],
            "callbackLimitErrorHandling": ["RestartApplication"]})");
        entry["appInstanceId"] = id, entry["callbackNames"] = {id + "_CB"};
        entry.merge_patch(nlohmann::json::parse(patch));
        return entry.dump();
    }
    static std::string dids(const std::string& apps) { return R"({"DIDs": [{"Apps": [)" + apps + "]}]}"; }

    const std::string folder_ = std::string(WARDEX_TEST_DIR) + "/configuration-" + std::to_string(::getpid());
    const std::string hostnameFile_ = folder_ + "/hostname";
    const std::string base_ = folder_ + "/Wardex_InitialData";
    RecordingTarget target_;
    ara::log::Capture capture_;
};

// Only the first line counts, without a trailing carriage return; an empty
// name still counts as a partition, whose file is the undivided one. A name
// listed twice in one application is registered once; in two it is two records.
TEST_F(ConfigurationLoader, HostNameSelectsThePartitionFileAndEveryValueIsPassedOn) {
    writeHost("Kumo\r\nsecond line\n");
    writeConfiguration("Kumo", dids(app(R"({"callbackErrorHandling": ["DLT", "Messwert", "Restart", "dtc"],
        "callbackLimitErrorHandling": ["TerminateApplication", "ResetPlatform", "RestartContainer", "UpdateClient"],
        "callbackNames": ["A", "B", "A", "A"], "SWID": "ABCDEF", "MesswertID": "0401"})") +
                                  "," + app(R"({"callbackNames": ["A"]})", "App2")));
    EXPECT_TRUE(read());
    EXPECT_EQ(target_.hostNames, Strings{"Kumo"});
    ASSERT_EQ(target_.applications.size(), 2u);
    const auto& a = target_.applications[0];
    EXPECT_EQ(a.callbackErrorHandling, (std::vector<NT>{NT::kDLT, NT::kMesswert, NT::kUnknown, NT::kUnknown}));
    EXPECT_EQ(a.callbackLimitErrorHandling,
              (std::vector<NT>{NT::kTerminateApplication, NT::kResetPlatform, NT::kRestartContainer, NT::kUpdateClient}));
    EXPECT_EQ(a.callbackNames, (Strings{"A", "B"}));  // counted once against one budget
    EXPECT_EQ(target_.applications[1].callbackNames, Strings{"A"});
    EXPECT_EQ(a.swid + " " + a.messwertId, "ABCDEF 0401");
    EXPECT_FALSE(DTC_available.load());
    EXPECT_EQ(capture_.texts(), (Strings{"reading the special Config file of the partition  Kumo",
                                         "Parsing the Wardex json configuration file:  Wardex_InitialDataKumo.json",
                                         "Callback name listed twice, registered once: A of App1",
                                         "Callback name listed twice, registered once: A of App1"}));

    std::string host;
    writeHost("qemu-arm64 \r\r");  // one carriage return goes, nothing else
    EXPECT_TRUE(get_hostname_of_partition(host, hostnameFile_));
    EXPECT_EQ(host, "qemu-arm64 \r");
    EXPECT_FALSE(get_hostname_of_partition(host, folder_ + "/missing"));  // and leaves the name alone
    EXPECT_EQ(host, "qemu-arm64 \r");
    writeHost("");
    writeConfiguration("", R"({"DIDs": null})");
    capture_.clear();
    EXPECT_TRUE(read());
    EXPECT_EQ(capture_.texts()[0], "reading the special Config file of the partition  ");
}

// Without a host name file the host name becomes empty: a platform reset goes
// through the watchdog. Null and empty groups are no error. Each application
// starts with no error, here a budget of 2 and one minute's healing (not GID 7).
TEST_F(ConfigurationLoader, TheMonitorTakesTheHostNameAndEveryApplication) {
    wardex_test::Supervision supervision;
    supervision.monitor.SetHostName("qemu-arm64");
    writeConfiguration("", R"({"DIDs": [{"Apps": null}, {"Apps": []}, {"Apps": [)" + app(R"({"numberOfAllowedErrors": 2,
        "callbackLimitErrorHandling": ["ResetPlatform", "RestartApplication"]})") + "]}]}");
    MonitorTarget target(supervision.monitor, supervision.phm);
    EXPECT_TRUE(readConfigurationFromJsonFile(hostnameFile_, base_, target));
    EXPECT_EQ(capture_.texts(), (Strings{"Could not find the partition hostname (Kumo/QZ/B7) the not divided "
                                         "configuration file is being used. ",
                                         "Parsing the Wardex json configuration file:  Wardex_InitialData.json",
                                         "Registering Callbacks :", "\t\tcallback is registered:  App1_CB"}));
    for (int failure = 0; failure < 2; ++failure) supervision.phm.Deliver("App1_CB");
    EXPECT_EQ(supervision.journal(), Strings{"restart App1"});
    supervision.monitor.ageAllApplications(60001);
    EXPECT_FALSE(supervision.monitor.GetApplications().at(0)->hadError());
}

// A FIFO would block the start for ever, a huge file would fill the memory:
// each is refused like a file that cannot be read.
TEST_F(ConfigurationLoader, FilesThatAreNotRegularOrTooLargeAreRefused) {
    const std::string undivided = base_ + ".json";
    const std::string kumo = base_ + "Kumo.json";
    // The warning about the host name file, the loader's error after its prefix.
    struct Case { std::function<void()> prepare; std::string warning, error; };
    const std::vector<Case> cases{
        {[&] { ::mkfifo(hostnameFile_.c_str(), 0600); },
         "Partition host name file not read: not a regular file: " + hostnameFile_,
         "Failed to open JSON file '" + undivided + "'."},
        {[&] { writeHost(std::string(4097, 'K')); },
         "Partition host name file not read: larger than 4096 bytes: " + hostnameFile_,
         "Failed to open JSON file '" + undivided + "'."},
        {[&] { writeHost("Kumo\n"); ::mkfifo(kumo.c_str(), 0600); }, "",
         "Failed to open JSON file '" + kumo + "': not a regular file."},
        {[&] { writeHost("Kumo\n"); writeConfiguration("Kumo", R"({"pad": ")" + std::string(16u << 20, ' ') + "\"}"); },
         "", "Failed to open JSON file '" + kumo + "': larger than 16777216 bytes."},
    };
    for (const auto& c : cases) {
        SetUp();
        c.prepare();
        EXPECT_FALSE(read()) << c.error;
        EXPECT_EQ(logged(LogLevel::kWarn), c.warning.empty() ? Strings{} : Strings{c.warning});
        EXPECT_EQ(logged(), Strings{kError + c.error});
    }
}

// Reading stops at the first entry in error; the earlier ones stay registered,
// and a DTC reaction in one of them has set the flag. A failing registration
// is caught by type.
TEST_F(ConfigurationLoader, MissingKeysWrongTypesAndFailedRegistrationsAreErrors) {
    const std::string e = kError;
    const std::string all = dids(app());
    struct Case { std::string document, error; std::function<void()> onRegister = nullptr; };
    const std::vector<Case> cases = {
        // "GID" comes before "numberOfAllowedErrors" in the reading order.
        {dids(app(R"({"callbackLimitErrorHandling": ["DTC"]})", "First") + "," +
              app(R"({"numberOfAllowedErrors": null, "GID": null})") + "," + app("{}", "Third")),
         e + "[json.exception.out_of_range.403] key 'GID' not found"},
        {R"({"DIDs": [1]})", e + "[json.exception.type_error.304] cannot use at() with number"},
        {R"({"DIDs": "x"})", e + "[json.exception.type_error.302] type must be array, but is string"},
        {dids(app(R"({"GID": "7"})")), e + "[json.exception.type_error.302] type must be number, but is string"},
        {dids(app(R"({"callbackNames": "CB"})")), e + "[json.exception.type_error.302] type must be array, but is string"},
        {dids(app(R"({"callbackLimitErrorHandling": [3]})")),
         e + "[json.exception.type_error.302] type must be string, but is number"},
        {all, "Unexpected system_error during reading the Wardex_InitialData.json:  denied: " +
                  std::generic_category().message(EPERM),
         [] { throw std::system_error(EPERM, std::generic_category(), "denied"); }},
        {all, e + "broken", [] { throw std::logic_error("broken"); }},
        {all, "Unknown exception happened during reading the Wardex_InitialData.json", [] { throw 42; }},
    };
    for (const auto& [document, error, onRegister] : cases) {
        capture_.clear();
        writeConfiguration("", document);
        target_.onRegister = onRegister;
        EXPECT_FALSE(read()) << document;
        EXPECT_EQ(logged(), Strings{error}) << document;
    }
    ASSERT_EQ(target_.applications.size(), 1u);
    EXPECT_EQ(target_.applications[0].appInstanceId, "First");
    EXPECT_TRUE(DTC_available.load());
}

TEST_F(ConfigurationLoader, NumbersWrapToSixteenBitsAndOutOfRangeValuesAreWarnedAbout) {
    writeConfiguration("", dids(app(R"({"numberOfAllowedErrors": 70000, "GID": -1, "counterHealingTimeMin": 2.9})", "Wrap") +
                                "," + app(R"({"numberOfAllowedErrors": -65537.5, "GID": 1e300, "counterHealingTimeMin": true})", "Odd") +
                                "," + app(R"({"numberOfAllowedErrors": 65535, "GID": 65536, "counterHealingTimeMin": 0.0})", "Edge")));
    EXPECT_TRUE(read());
    std::vector<int> values;  // -65537 wraps to 65535
    for (const auto& a : target_.applications) {
        values.insert(values.end(), {a.numberOfAllowedErrors, a.gid, a.counterHealingTimeMin});
    }
    EXPECT_EQ(values, (std::vector<int>{4464, 65535, 2, 65535, 0, 1, 65535, 0, 0}));  // 1e300 is a multiple of 65536
    const std::string outside = "Configuration value outside 0...65535: ";
    EXPECT_EQ(logged(LogLevel::kWarn), (Strings{outside + "GID of Wrap is -1 and is taken as 65535",
                                                outside + "numberOfAllowedErrors of Wrap is 70000 and is taken as 4464",
                                                outside + "GID of Odd is 1e+300 and is taken as 0",
                                                outside + "numberOfAllowedErrors of Odd is -65537.5 and is taken as 65535",
                                                outside + "GID of Edge is 65536 and is taken as 0"}));
}

}  // namespace
