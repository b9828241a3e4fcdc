#include "ConfigurationLoader.h"
#include "WardexGlobals.h"

#include "ara/log/capture.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using norda::phm::wardex::NotificationType;

class RecordingTarget final : public ConfigurationTarget {
public:
    void setHostName(const std::string& hostName) override { hostNames.push_back(hostName); }
    void registerApplication(ApplicationConfiguration application) override {
        applications.push_back(std::move(application));
    }
    std::vector<std::string> hostNames;
    std::vector<ApplicationConfiguration> applications;
};

// Given a private folder standing in for /etc and /var/run/adaptive.
class ConfigurationLoader : public ::testing::Test {
protected:
    void SetUp() override {
        DTC_available.store(false);
        ::mkdir(folder_.c_str(), 0755);
        ::unlink(hostnameFile_.c_str());
        for (const char* host : {"", "Kumo", "QZ", "B7", "qemu-arm64"}) ::unlink((base_ + host + ".json").c_str());
    }

    static void write(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    }
    void writeHost(const std::string& content) { write(hostnameFile_, content); }
    void writeConfiguration(const std::string& host, const std::string& content) {
        write(base_ + host + ".json", content);
    }
    bool read() { return readConfigurationFromJsonFile(hostnameFile_, base_, target_); }

    // One application entry with the given members replaced or removed (null).
    static std::string app(const std::string& overrides = "", const std::string& id = "App1") {
        nlohmann::json entry = {{"appInstanceId", id},
                                {"counterHealingTimeMin", 1},
                                {"SWID", "0x1234"},
                                {"GID", 7},
                                {"MesswertID", "M1"},
                                {"numberOfAllowedErrors", 3},
                                {"callbackErrorHandling", {"DLT"}},
                                {"callbackLimitErrorHandling", {"RestartApplication"}},
                                {"callbackNames", {id + "_CB"}}};
        if (!overrides.empty()) {
            const nlohmann::json changes = nlohmann::json::parse(overrides);
            for (const auto& [key, value] : changes.items()) {
                if (value.is_string() && value.get<std::string>() == "<remove>") {
                    entry.erase(key);
                } else {
                    entry[key] = value;
                }
            }
        }
        return entry.dump();
    }
    static std::string dids(const std::string& apps) { return R"({"DIDs": [{"Apps": [)" + apps + "]}]}"; }

    const std::string folder_ = std::string(WARDEX_TEST_DIR) + "/configuration-" + std::to_string(::getpid());
    const std::string hostnameFile_ = folder_ + "/hostname";
    const std::string base_ = folder_ + "/Wardex_InitialData";
    RecordingTarget target_;
    ara::log::Capture capture_;
};

// The texts logged at one level, in order.
std::vector<std::string> logged(const ara::log::Capture& capture,
                                ara::log::LogLevel level = ara::log::LogLevel::kError) {
    std::vector<std::string> result;
    for (const auto& record : capture.records()) {
        if (record.level == level) result.push_back(record.text());
    }
    return result;
}

TEST_F(ConfigurationLoader, WithoutHostNameFileReadsTheUndividedFileAndRegistersInOrder) {
    writeConfiguration("", R"({"DIDs": [{"Apps": [)" + app("", "A") + "," + app("", "B") +
                               R"(]}, {"Other": 1, "Apps": [)" + app("", "C") + "]}]}");
    EXPECT_TRUE(read());
    EXPECT_EQ(target_.hostNames, std::vector<std::string>{""});
    ASSERT_EQ(target_.applications.size(), 3u);
    EXPECT_EQ(target_.applications[0].appInstanceId, "A");
    EXPECT_EQ(target_.applications[2].appInstanceId, "C");
    const auto records = capture_.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].level, ara::log::LogLevel::kDebug);
    EXPECT_EQ(records[0].arguments,
              (std::vector<ara::log::Argument>{
                  std::string("Could not find the partition hostname (Kumo/QZ/B7) the not divided configuration file is being used."),
                  std::string()}));
    EXPECT_EQ(records[1].text(), "Parsing the Wardex json configuration file:  Wardex_InitialData.json");
}

TEST_F(ConfigurationLoader, HostNameSelectsThePartitionFileAndEveryValueIsPassedOn) {
    writeHost("Kumo\r\nsecond line\n");
    writeConfiguration("Kumo", dids(app(R"({"callbackErrorHandling": ["DLT", "Messwert", "Restart", "dtc"],
        "callbackLimitErrorHandling": ["TerminateApplication", "ResetPlatform", "RestartContainer", "UpdateClient"],
        "callbackNames": ["A", "B"], "counterHealingTimeMin": 0, "GID": 65535, "SWID": "ABCDEF", "MesswertID": "0401"})")));
    EXPECT_TRUE(read());
    EXPECT_EQ(target_.hostNames, std::vector<std::string>{"Kumo"});
    ASSERT_EQ(target_.applications.size(), 1u);
    const auto& a = target_.applications[0];
    EXPECT_EQ(a.appInstanceId, "App1");
    EXPECT_EQ(a.numberOfAllowedErrors, 3);
    using NT = NotificationType;
    EXPECT_EQ(a.callbackErrorHandling, (std::vector<NT>{NT::kDLT, NT::kMesswert, NT::kUnknown, NT::kUnknown}));
    EXPECT_EQ(a.callbackLimitErrorHandling, (std::vector<NT>{NT::kTerminateApplication, NT::kResetPlatform,
                                                             NT::kRestartContainer, NT::kUpdateClient}));
    EXPECT_EQ(a.callbackNames, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(a.swid, "ABCDEF");
    EXPECT_EQ(a.gid, 65535);
    EXPECT_EQ(a.counterHealingTimeMin, 0);
    EXPECT_EQ(a.messwertId, "0401");
    EXPECT_FALSE(DTC_available.load());
    EXPECT_EQ(capture_.texts()[0], "reading the special Config file of the partition  Kumo");
    EXPECT_EQ(capture_.texts()[1], "Parsing the Wardex json configuration file:  Wardex_InitialDataKumo.json");
}

TEST_F(ConfigurationLoader, HostNameKeepsEverythingButATrailingCarriageReturn) {
    std::string host;
    for (const auto& [content, expected] : std::vector<std::pair<std::string, std::string>>{
             {" qemu-arm64 \r\n", " qemu-arm64 "}, {"qemu-arm64\r\r", "qemu-arm64\r"}, {"", ""}}) {
        writeHost(content);
        EXPECT_TRUE(get_hostname_of_partition(host, hostnameFile_));
        EXPECT_EQ(host, expected);
    }
    host = "unchanged";
    EXPECT_FALSE(get_hostname_of_partition(host, folder_ + "/missing"));
    EXPECT_EQ(host, "unchanged");

    // An empty name still counts as a partition, whose file is the undivided one.
    writeConfiguration("", R"({"DIDs": []})");
    EXPECT_TRUE(read());
    EXPECT_EQ(capture_.texts()[0], "reading the special Config file of the partition  ");
}

TEST_F(ConfigurationLoader, FilesThatCannotBeReadAreLoggedWithTheLoadersTexts) {
    EXPECT_FALSE(read());
    EXPECT_EQ(logged(capture_), std::vector<std::string>{
                                    "Unexpected exception during reading the Wardex_InitialData.json:  "
                                    "Failed to open JSON file '" + base_ + ".json'."});
    capture_.clear();
    writeConfiguration("", R"({"DIDs": []} trailing)");
    EXPECT_FALSE(read());
    const auto texts = logged(capture_);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("Unexpected exception during reading the Wardex_InitialData.json:  "
                             "Failed to parse JSON file '" + base_ + ".json': [json.exception.parse_error.101]", 0),
              0u)
        << texts[0];
}

// A FIFO would block the start for ever, a device or a huge file would fill
// the memory: each is refused like a file that cannot be read.
TEST_F(ConfigurationLoader, FilesThatAreNotRegularOrTooLargeAreRefusedLikeUnreadableOnes) {
    const std::string configuration = base_ + "Kumo.json";
    const std::string huge_host(4097, 'K');
    const std::string huge_document = R"({"DIDs": [], "pad": ")" + std::string(16u << 20, ' ') + "\"}";
    struct Case {
        std::function<void()> prepare;
        std::string warning;  // about the host name file
        std::string error;    // of the loader, after its prefix
    };
    const std::vector<Case> cases{
        {[&] { ::mkfifo(hostnameFile_.c_str(), 0600); },
         "Partition host name file not read: not a regular file: " + hostnameFile_,
         "Failed to open JSON file '" + base_ + ".json'."},
        {[&] { writeHost(huge_host); },
         "Partition host name file not read: larger than 4096 bytes: " + hostnameFile_,
         "Failed to open JSON file '" + base_ + ".json'."},
        {[&] { writeHost("Kumo\n"); ::mkfifo(configuration.c_str(), 0600); }, "",
         "Failed to open JSON file '" + configuration + "': not a regular file."},
        {[&] { writeHost("Kumo\n"); ::symlink("/dev/zero", configuration.c_str()); }, "",
         "Failed to open JSON file '" + configuration + "': not a regular file."},
        {[&] { writeHost("Kumo\n"); writeConfiguration("Kumo", huge_document); }, "",
         "Failed to open JSON file '" + configuration + "': larger than 16777216 bytes."},
    };
    for (const auto& c : cases) {
        SetUp();
        capture_.clear();
        c.prepare();
        EXPECT_FALSE(read()) << c.error;
        EXPECT_EQ(logged(capture_, ara::log::LogLevel::kWarn),
                  c.warning.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.warning});
        EXPECT_EQ(logged(capture_), std::vector<std::string>{
                                        "Unexpected exception during reading the Wardex_InitialData.json:  " + c.error});
    }
}

// The same name twice would count every failure twice against one budget;
// in two applications it is two records, as before.
TEST_F(ConfigurationLoader, ACallbackNameListedTwiceInOneApplicationIsRegisteredOnceWithAWarning) {
    writeConfiguration("", dids(app(R"({"callbackNames": ["A_CB", "B_CB", "A_CB", "A_CB"]})", "App1") + "," +
                                app(R"({"callbackNames": ["A_CB"]})", "App2")));
    EXPECT_TRUE(read());
    ASSERT_EQ(target_.applications.size(), 2u);
    EXPECT_EQ(target_.applications[0].callbackNames, (std::vector<std::string>{"A_CB", "B_CB"}));
    EXPECT_EQ(target_.applications[1].callbackNames, std::vector<std::string>{"A_CB"});
    EXPECT_EQ(logged(capture_, ara::log::LogLevel::kWarn),
              std::vector<std::string>(2, "Callback name listed twice, registered once: A_CB of App1"));
}

TEST_F(ConfigurationLoader, NullEmptyAndObjectGroupsAreAcceptedObjectsInSortedKeyOrder) {
    for (const std::string document :
         {R"({"DIDs": null})", R"({"DIDs": []})", R"({"DIDs": [{"Apps": []}]})", R"({"DIDs": [{"Apps": null}]})"}) {
        writeConfiguration("", document);
        EXPECT_TRUE(read()) << document;
    }
    EXPECT_TRUE(target_.applications.empty());
    // Members are taken in the JSON library's order (keys sorted), not as written.
    writeConfiguration("", R"({"DIDs": {"second": {"Apps": {"y": )" + app("", "Y2") + R"(, "x": )" + app("", "X2") +
                               R"(}}, "first": {"Apps": {"b": )" + app("", "B1") + R"(, "a": )" + app("", "A1") +
                               "}}}}");
    EXPECT_TRUE(read());
    std::vector<std::string> order;
    for (const auto& application : target_.applications) order.push_back(application.appInstanceId);
    EXPECT_EQ(order, (std::vector<std::string>{"A1", "B1", "X2", "Y2"}));
}

TEST_F(ConfigurationLoader, MissingKeyStopsAfterTheEarlierApplicationsAndNamesTheFirstMissingKey) {
    // "GID" comes before "numberOfAllowedErrors" in the reading order.
    writeConfiguration("", dids(app("", "First") + "," +
                                app(R"({"numberOfAllowedErrors": "<remove>", "GID": "<remove>"})", "Second") +
                                "," + app("", "Third")));
    EXPECT_FALSE(read());
    ASSERT_EQ(target_.applications.size(), 1u);
    EXPECT_EQ(target_.applications[0].appInstanceId, "First");
    EXPECT_EQ(logged(capture_), std::vector<std::string>{
                                    "Unexpected exception during reading the Wardex_InitialData.json:  "
                                    "[json.exception.out_of_range.403] key 'GID' not found"});
}

TEST_F(ConfigurationLoader, WrongTypesAreErrorsWithTheLibrarysText) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"DIDs": [1]})", "[json.exception.type_error.304] cannot use at() with number"},
        {R"([])", "[json.exception.type_error.304] cannot use at() with array"},
        {R"({"DIDs": "x"})", "[json.exception.type_error.302] type must be array, but is string"},
        {dids(app(R"({"appInstanceId": 5})")), "[json.exception.type_error.302] type must be string, but is number"},
        {dids(app(R"({"GID": "7"})")), "[json.exception.type_error.302] type must be number, but is string"},
        {dids(app(R"({"counterHealingTimeMin": null})")), "[json.exception.type_error.302] type must be number, but is null"},
        {dids(app(R"({"callbackNames": "CB"})")), "[json.exception.type_error.302] type must be array, but is string"},
        {dids(app(R"({"callbackErrorHandling": null})")), "[json.exception.type_error.302] type must be array, but is null"},
        {dids(app(R"({"callbackLimitErrorHandling": [3]})")), "[json.exception.type_error.302] type must be string, but is number"},
    };
    for (const auto& [document, message] : cases) {
        capture_.clear();
        writeConfiguration("", document);
        EXPECT_FALSE(read()) << document;
        EXPECT_EQ(logged(capture_), std::vector<std::string>{
                                        "Unexpected exception during reading the Wardex_InitialData.json:  " + message})
            << document;
    }
    EXPECT_TRUE(target_.applications.empty());
}

TEST_F(ConfigurationLoader, NumbersWrapToSixteenBitsAndOutOfRangeValuesAreWarnedAbout) {
    writeConfiguration("", dids(app(R"({"numberOfAllowedErrors": 70000, "GID": -1,
        "counterHealingTimeMin": 2.9})", "Wrap") + "," + app(R"({"numberOfAllowedErrors": -65537.5,
        "GID": 1e300, "counterHealingTimeMin": true})", "Odd") + "," + app(R"({"numberOfAllowedErrors": 65535,
        "GID": 65536, "counterHealingTimeMin": 0.0})", "Edge")));
    EXPECT_TRUE(read());
    ASSERT_EQ(target_.applications.size(), 3u);
    EXPECT_EQ(target_.applications[0].numberOfAllowedErrors, 4464);
    EXPECT_EQ(target_.applications[0].gid, 65535);
    EXPECT_EQ(target_.applications[0].counterHealingTimeMin, 2);
    EXPECT_EQ(target_.applications[1].numberOfAllowedErrors, 65535);  // -65537 wraps to 65535
    EXPECT_EQ(target_.applications[1].counterHealingTimeMin, 1);
    const auto warnings = logged(capture_, ara::log::LogLevel::kWarn);
    ASSERT_EQ(warnings.size(), 5u);
    EXPECT_EQ(warnings[0], "Configuration value outside 0...65535: GID of Wrap is -1 and is taken as 65535");
    EXPECT_EQ(warnings[1],
              "Configuration value outside 0...65535: numberOfAllowedErrors of Wrap is 70000 and is taken as 4464");
    EXPECT_EQ(warnings[2].rfind("Configuration value outside 0...65535: GID of Odd is 1e+300 and is taken as ", 0), 0u);
    EXPECT_EQ(warnings[3], "Configuration value outside 0...65535: numberOfAllowedErrors of Odd is -65537.5 "
                           "and is taken as 65535");
    EXPECT_EQ(warnings[4], "Configuration value outside 0...65535: GID of Edge is 65536 and is taken as 0");
}

TEST_F(ConfigurationLoader, DtcInEitherListSetsTheFlagEvenWhenALaterEntryFails) {
    writeConfiguration("", dids(app(R"({"callbackLimitErrorHandling": ["DTC"]})", "A") + "," +
                                app(R"({"SWID": "<remove>"})", "B")));
    EXPECT_FALSE(read());
    EXPECT_TRUE(DTC_available.load());
    EXPECT_EQ(target_.applications[0].callbackLimitErrorHandling,
              std::vector<NotificationType>{NotificationType::kDTC});

    DTC_available.store(false);
    writeConfiguration("", dids(app(R"({"callbackErrorHandling": ["DTC "]})", "C")));
    EXPECT_TRUE(read());
    EXPECT_FALSE(DTC_available.load());
}

TEST_F(ConfigurationLoader, FailureOfTheRegistrationIsCaughtByType) {
    struct Throwing final : ConfigurationTarget {
        int kind = 0;
        void setHostName(const std::string&) override {}
        void registerApplication(ApplicationConfiguration) override {
            if (kind == 0) throw std::system_error(EPERM, std::generic_category(), "denied");
            if (kind == 1) throw std::logic_error("broken");
            throw 42;
        }
    } throwing;
    writeConfiguration("", dids(app()));
    for (int kind = 0; kind < 3; ++kind) {
        throwing.kind = kind;
        EXPECT_FALSE(readConfigurationFromJsonFile(hostnameFile_, base_, throwing));
    }
    EXPECT_EQ(logged(capture_),
              (std::vector<std::string>{
                  "Unexpected system_error during reading the Wardex_InitialData.json:  denied: " +
                      std::generic_category().message(EPERM),
                  "Unexpected exception during reading the Wardex_InitialData.json:  broken",
                  "Unknown exception happened during reading the Wardex_InitialData.json"}));
}

TEST_F(ConfigurationLoader, EverySampleConfigurationLoadsWithoutAWarning) {
    for (const char* host : {"", "Kumo", "QZ", "B7", "qemu-arm64"}) {
        std::ifstream sample(std::string(WARDEX_CONFIG_DIR) + "/Wardex_InitialData" + host + ".json");
        ASSERT_TRUE(sample.is_open()) << host;
        writeHost(std::string(host) + "\n");
        writeConfiguration(host, std::string(std::istreambuf_iterator<char>(sample), {}));
        target_.applications.clear();
        EXPECT_TRUE(read()) << host;
        EXPECT_FALSE(target_.applications.empty()) << host;
    }
    for (const auto& record : capture_.records()) EXPECT_EQ(record.level, ara::log::LogLevel::kDebug);
}

}  // namespace
