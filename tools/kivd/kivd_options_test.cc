#include "tools/kivd/kivd_options.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace kiv::directory {
namespace {

TEST(KivdOptionsTest, DefaultsFromTheHostNameAndEveryOptionInBothForms) {
  const auto parse = [](std::vector<std::string> args) { return ParseKivdOptions(args, "host1"); };
  const KivdOptions defaults = parse({});
  EXPECT_EQ(defaults.aliases, std::vector<std::string>{"host1"});
  EXPECT_EQ(defaults.pingInterval.count(), 10000);
  EXPECT_EQ(defaults.notifyInterval.count(), 15000);
  EXPECT_FALSE(defaults.allowTakeover);

  const KivdOptions options =
      parse({"--server-id", "dir 7", "--users=ann,bob", "--aliases", "a.example,10.0.0.1",
             "--ping-interval", "0.05", "--notify-interval=40.999", "--allow-takeover"});
  EXPECT_EQ(options.serverId, "dir 7");
  EXPECT_EQ(options.users, (std::vector<std::string>{"ann", "bob"}));
  EXPECT_EQ(options.aliases, (std::vector<std::string>{"a.example", "10.0.0.1"}));
  EXPECT_EQ(options.pingInterval.count(), 50);  // the shortest
  EXPECT_EQ(options.notifyInterval.count(), 40999);
  EXPECT_TRUE(options.allowTakeover);
  // Nothing discovery cannot read, nor a keep-alive satellites would miss.
  for (const char* arg :
       {"--server-id=", "--server-id= padded", "--server-id=two\r\nlines", "--users=ann,,bob",
        "--users=ann,", "--aliases=a b", "--aliases=tab\t", "--ping-interval=41",
        "--notify-interval=0.049", "--ping-interval=inf", "--notify-interval=ten", "--port=0",
        "--port=65536", "--port=1x", "--log-file=", "--allow-takeover=no"}) {
    EXPECT_THROW(parse({arg}), OptionsError) << arg;
  }
}

TEST(KivdOptionsTest, ListenTakesOneAddressAndAllowGathersEveryList) {
  const auto parse = [](std::vector<std::string> args) { return ParseKivdOptions(args, "h"); };
  EXPECT_FALSE(parse({}).listenAddress || parse({}).allowedPeers) << "the store decides";
  const KivdOptions options =
      parse({"--listen=127.0.0.1", "--allow", "127.0.0.0/8,10.1.0.0/16", "--allow=192.0.2.7"});
  EXPECT_EQ(options.listenAddress, htonl(0x7F000001));
  ASSERT_TRUE(options.allowedPeers);
  EXPECT_EQ(FormatNetworkList(*options.allowedPeers), "127.0.0.0/8,10.1.0.0/16,192.0.2.7/32");
  EXPECT_EQ(parse({"--http", "8080"}).http->address, htonl(0x7F000001));  // loopback unless told
  for (const char* arg :
       {"--listen=", "--listen=localhost", "--listen=127.1", "--allow=", "--allow=10.0.0.0/8,",
        "--allow=10.1.2.3/16", "--listen", "--allow", "--http=", "--http=0", "--http=:80",
        "--http=localhost:80", "--http=10.0.0.1:", "--http"}) {
    EXPECT_THROW(parse({arg}), OptionsError) << arg;
  }
}

}  // namespace
}  // namespace kiv::directory
