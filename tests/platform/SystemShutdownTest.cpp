#include "platform/SystemShutdown.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using platform::SystemShutdown;

// "一分钟后将自动关机" in GBK.
const std::string kNoticeGbk = "\xd2\xbb\xb7\xd6\xd6\xd3\xba\xf3\xbd\xab\xd7\xd4\xb6\xaf\xb9\xd8\xbb\xfa";

class RecordingShutdown : public SystemShutdown {
public:
    bool MayShutDown() override { return true; }
    bool ScheduleShutdown(int seconds, const std::string& messageGbk) override {
        requests.emplace_back(seconds, messageGbk);
        return true;
    }
    std::vector<std::pair<int, std::string>> requests;
};

TEST(SystemShutdown, CommandLineCountsWholeMinutes) {
    const std::pair<int, std::string> cases[] = {
        {60, "+1"},  {1, "+1"},       {0, "+1"},
        {-30, "+1"}, {INT_MIN, "+1"}, {61, "+2"},
        {120, "+2"}, {121, "+3"},     {INT_MAX, "+35791395"},
    };
    for (const auto& [seconds, minutes] : cases) {
        const std::vector<std::string> args = SystemShutdown::CommandLine("/usr/sbin/shutdown", seconds, "");
        EXPECT_EQ(args, (std::vector<std::string>{"/usr/sbin/shutdown", "-P", minutes})) << seconds;
    }
}

TEST(SystemShutdown, CommandLineCarriesTheNoticeAsUtf8) {
    EXPECT_EQ(SystemShutdown::CommandLine("shutdown", 60, kNoticeGbk),
              (std::vector<std::string>{"shutdown", "-P", "+1", "一分钟后将自动关机"}));
}

TEST(SystemShutdown, ReplacedInstanceTakesTheRequests) {
    const std::shared_ptr<SystemShutdown> real = SystemShutdown::Current();
    ASSERT_TRUE(real);
    const auto recorder = std::make_shared<RecordingShutdown>();
    EXPECT_EQ(SystemShutdown::Replace(recorder), real);

    ASSERT_EQ(SystemShutdown::Current(), recorder);
    EXPECT_TRUE(SystemShutdown::Current()->MayShutDown());
    EXPECT_TRUE(SystemShutdown::Current()->ScheduleShutdown(60, kNoticeGbk));
    ASSERT_EQ(recorder->requests.size(), 1u);
    EXPECT_EQ(recorder->requests[0].first, 60);
    EXPECT_EQ(recorder->requests[0].second, kNoticeGbk);

    EXPECT_EQ(SystemShutdown::Replace(nullptr), recorder);
    EXPECT_EQ(SystemShutdown::Current(), real);
}

} // namespace
