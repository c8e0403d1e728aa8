// The reading rules of NOTIFY and BYEBYE.
#include "discovery/datagram.h"

#include <gtest/gtest.h>

namespace kiv::discovery {
namespace {

using Set = std::set<std::string>;

// "id port [users] [aliases]" with the source's own alias left out.
std::string Summary(const NotifyFields& fields) {
  const auto joined = [](const Set& set) {
    std::string text;
    for (const std::string& item : set) text += (text.empty() ? "" : ",") + item;
    return "[" + text + "]";
  };
  Set aliases = fields.aliases;
  const std::string host = "127.0.0.1:" + std::to_string(fields.port);
  if (fields.host != host || aliases.erase(host) != 1) return "no source alias";
  return fields.serverId + " " + std::to_string(fields.port) + " " + joined(fields.users) + " " +
         joined(aliases);
}

TEST(ReadNotify, FollowsTheReadingRules) {
  const struct {
    const char* name;
    const char* text;
    const char* summary;  // nullptr: refused
  } cases[] = {
      {"every field",
       "NOTIFY 1.0\r\nServerID: \v d1\t\r\nPort: 29831\r\nAliases: h1, h2\r\n"
       "Users: bob,alice bob\r\n",
       "d1 29831 [alice,bob] [h1:29831,h2:29831]"},
      {"empty values", "NOTIFY 1.0\r\nServerID: \r\nPort: 1\r\nAliases: ,, , \r\nUsers:\r\n",
       " 1 [] []"},
      {"tags anywhere, the first occurrence wins",
       "NOTIFY 1.0 ServerID: d\r\nServerID: e\r\nPort: 3\r\nPort: 4\r\nAliases:\r\nUsers:\r\n",
       "d 3 [] []"},
      {"a tag inside another value counts",
       "NOTIFY 1.0\r\nUsers: xPort: 9\r\nPort: 7\r\nServerID: d\r\nAliases:\r\n",
       "d 9 [9,xPort:] []"},
      {"ServerID without CR LF", "NOTIFY 1.0\r\nPort: 1\r\nAliases: a\r\nUsers: u\r\nServerID: d",
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto fields = ReadNotify("127.0.0.1", c.text);
    EXPECT_EQ(fields ? Summary(*fields) : "refused", c.summary ? c.summary : "refused");
  }
}

TEST(ReadByeBye, TakesTheTrimmedServerIdOnly) {
  EXPECT_EQ(ReadByeBye("BYEBYE 1.0\r\nServerID: \tdir1 \f\r\nUsers: x\r\n"), "dir1");
  EXPECT_EQ(ReadByeBye("BYEBYE 1.0\r\nServerID:\r\n"), "");
  EXPECT_FALSE(ReadByeBye("BYEBYE 1.0\r\nServerID: dir1"));
  EXPECT_FALSE(ReadByeBye("BYEBYE 1.0\r\nServer: dir1\r\n"));
}

}  // namespace
}  // namespace kiv::discovery
