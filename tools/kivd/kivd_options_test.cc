#include "tools/kivd/kivd_options.h"

#include <gtest/gtest.h>

namespace kiv::directory {
namespace {

KivdOptions Parse(std::vector<std::string> args) {
  return ParseKivdOptions(args, "host1");
}

TEST(KivdOptionsTest, DefaultsFromTheHostNameAndEveryOptionInBothForms) {
  const KivdOptions defaults = Parse({});
  EXPECT_EQ(defaults.serverId, "host1");
  EXPECT_EQ(defaults.aliases, std::vector<std::string>{"host1"});
  EXPECT_TRUE(defaults.users.empty());
  EXPECT_EQ(defaults.pingInterval.count(), 10000);
  EXPECT_EQ(defaults.notifyInterval.count(), 15000);

  const KivdOptions options =
      Parse({"--server-id", "dir 7", "--users=ann,bob", "--aliases", "a.example,10.0.0.1",
             "--ping-interval", "0.25", "--notify-interval=2"});
  EXPECT_EQ(options.serverId, "dir 7");
  EXPECT_EQ(options.users, (std::vector<std::string>{"ann", "bob"}));
  EXPECT_EQ(options.aliases, (std::vector<std::string>{"a.example", "10.0.0.1"}));
  EXPECT_EQ(options.pingInterval.count(), 250);
  EXPECT_EQ(options.notifyInterval.count(), 2000);
  EXPECT_TRUE(Parse({"--users", ""}).users.empty());
}

TEST(KivdOptionsTest, RefusesWhatWouldBreakTheAnnouncementOrTheKeepAlive) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--server-id", ""},
           {"--server-id", " padded"},
           {"--server-id", "two\r\nlines"},
           {"--users", "ann,,bob"},
           {"--aliases", "a b"},
           {"--ping-interval", "41"},
           {"--ping-interval", "0"},
           {"--notify-interval", "ten"},
           {"--ping-interval"},
           {"--port", "1"},
       }) {
    EXPECT_THROW(Parse(args), OptionsError) << args[0];
  }
}

}  // namespace
}  // namespace kiv::directory
