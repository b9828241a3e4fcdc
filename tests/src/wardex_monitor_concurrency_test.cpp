// The monitor entered from the callback thread, the aging thread and a
// diagnostic reader at once; meant to run under ThreadSanitizer as well.
#include "monitor_fixture.h"

#include <atomic>
#include <thread>

namespace wardex_test {
namespace {

using NT = NotificationType;

constexpr int kApplications = 8;
constexpr int kFailures = 400;
constexpr int kPasses = 400;

std::string appName(int i) { return "app" + std::to_string(i); }

// Application i has the identifier bytes 0xAi 0xBi.
std::string swidOf(int i) { return "0xA" + std::to_string(i) + "B" + std::to_string(i); }

// A copy is consistent when its count matches its bytes and the bytes are
// whole identifiers of distinct applications in list order.
bool consistent(std::uint8_t count, const std::vector<std::uint8_t>& data) {
    if (data.size() != 2u * count) return false;
    int previous = -1;
    for (std::size_t at = 0; at < data.size(); at += 2) {
        const int index = data[at] - 0xA0;
        if (index <= previous || index >= kApplications) return false;
        if (data[at + 1] != 0xB0 + index) return false;
        previous = index;
    }
    return true;
}

using Concurrency = Monitor_test;

// Every read sees one whole state, and no record healed while its list was
// under way keeps a measured value after the last pass.
TEST_F(Concurrency, CallbacksAgingAndReadsAtOnceEachReadSeesOneWholeState) {
    for (int i = 0; i < kApplications; ++i) {
        add(appName(i), 3, {NT::kRestartApplication, NT::kMesswert},
            {NT::kMesswert, NT::kDTC, NT::kRestartApplication}, swidOf(i), 0);
    }
    std::thread callbacks([this] { phm.Run(0); });

    std::atomic<bool> stopReading{false};
    std::atomic<int> reads{0};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stopReading.load()) {
            std::array<std::uint8_t, 1> count{};
            std::vector<std::uint8_t> data;
            monitor.getMesswerte(count, data);
            if (!consistent(count[0], data)) ++torn;
            ++reads;
        }
    });
    std::thread aging([this] {
        for (int pass = 0; pass < kPasses; ++pass) monitor.ageAllApplications(5000);
    });

    for (int i = 0; i < kFailures; ++i) source->fail(appName(i % kApplications) + ".fail");
    ASSERT_TRUE(source->wait_until_delivered());
    aging.join();
    stopReading.store(true);
    reader.join();
    phm.Stop();
    callbacks.join();

    EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
    EXPECT_EQ(capture.count("Restarting app0..."), static_cast<std::size_t>(kFailures / kApplications));
    const auto [count, data] = measuredValues();
    EXPECT_TRUE(consistent(count, data));
    monitor.ageAllApplications(5000);
    EXPECT_EQ(measuredValues(), (std::pair<std::uint8_t, std::vector<std::uint8_t>>{0, {}}));
}

// The shutdown order: the list is cleared while failures still arrive, and
// only then is the client stopped.
TEST_F(Concurrency, ClearingWhileFailuresArriveLeavesNoCallbackOnAFreedRecord) {
    for (int i = 0; i < kApplications; ++i) {
        add(appName(i), 2, {NT::kRestartApplication}, {NT::kMesswert}, swidOf(i), 0);
    }
    std::thread callbacks([this] { phm.Run(0); });
    for (int i = 0; i < kFailures; ++i) source->fail(appName(i % kApplications) + ".fail");
    monitor.ClearApplications();
    ASSERT_TRUE(source->wait_until_delivered());
    phm.Stop();
    callbacks.join();

    EXPECT_TRUE(monitor.GetApplications().empty());
    EXPECT_LE(capture.count("Restarting app0..."), 1u);
}

TEST(MonitorInstance, TwoThreadsAskingFirstGetTheSameMonitor) {
    std::atomic<bool> go{false};
    WardexMonitor* seen[2] = {nullptr, nullptr};
    auto ask = [&](int i) {
        while (!go.load()) {
        }
        seen[i] = &WardexMonitor::instance();
    };
    std::thread first(ask, 0);
    std::thread second(ask, 1);
    go.store(true);
    first.join();
    second.join();
    EXPECT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]);
}

}  // namespace
}  // namespace wardex_test
