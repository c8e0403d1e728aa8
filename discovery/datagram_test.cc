// The reading rules of NOTIFY and BYEBYE, the SEARCH bytes and the choice of
// the multicast group.
#include "discovery/datagram.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "discovery/multicast_group.h"

namespace kiv::discovery {
namespace {

using Set = std::set<std::string>;

TEST(SearchDatagram, IsTheExact41Bytes) {
  EXPECT_EQ(kSearchDatagram.size(), 41u);
  EXPECT_EQ(std::string(kSearchDatagram), "SEARCH 1.0\r\nServer: Zib Kiv Directory\r\n\r\n");
}

TEST(ClassifyDatagram, LooksAtTheFirstTenBytesOnly) {
  EXPECT_EQ(ClassifyDatagram("NOTIFY 1.0\r\n"), DatagramKind::kNotify);
  EXPECT_EQ(ClassifyDatagram("NOTIFY 1.0xyz ServerID:"), DatagramKind::kNotify);
  EXPECT_EQ(ClassifyDatagram("BYEBYE 1.0"), DatagramKind::kByeBye);
  EXPECT_EQ(ClassifyDatagram(kSearchDatagram), DatagramKind::kOther);
  EXPECT_EQ(ClassifyDatagram("notify 1.0\r\n"), DatagramKind::kOther);  // case counts
  EXPECT_EQ(ClassifyDatagram("NOTIFY 1.1\r\n"), DatagramKind::kOther);
  EXPECT_EQ(ClassifyDatagram("NOTIFY 1."), DatagramKind::kOther);
  EXPECT_EQ(ClassifyDatagram(" NOTIFY 1.0"), DatagramKind::kOther);
}

TEST(DatagramText, EndsAtTheFirstNul) {
  const char bytes[] = "NOTIFY 1.0\0ServerID: x\r\n";
  EXPECT_EQ(DatagramText(bytes, sizeof bytes - 1), "NOTIFY 1.0");
  EXPECT_EQ(DatagramText("abc", 3), "abc");
  EXPECT_EQ(DatagramText("", 0), "");
}

TEST(ReadPort, SkipsSpaceTakesSignAndDigitsModulo65536) {
  const std::pair<const char*, std::uint16_t> cases[] = {
      {"29831", 29831},   {" 29831", 29831},
      {"\t\v\f\r\n7", 7}, {"70000", 4464},
      {"65536", 0},       {"-1", 65535},
      {"+80", 80},        {"80x1", 80},
      {"abc", 0},         {"", 0},
      {"- 5", 0},         {"5 6", 5},
      {"4294967297", 1},  {"100000000000000000000000000000065537", 1},
  };
  for (const auto& [text, port] : cases) EXPECT_EQ(ReadPort(text), port) << '"' << text << '"';
}

TEST(TrimValue, RemovesClassicWhiteSpaceAtBothEndsOnly) {
  EXPECT_EQ(TrimValue(" \t dir 1\t "), "dir 1");
  EXPECT_EQ(TrimValue("\v\f\r\nx\n"), "x");
  EXPECT_EQ(TrimValue(" \t "), "");
}

TEST(SplitTokens, CutsAtCommasAndSpacesOnly) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(SplitTokens("host1, host2"), (V{"host1", "host2"}));
  EXPECT_EQ(SplitTokens(" ,, a ,b,,"), (V{"a", "b"}));
  EXPECT_EQ(SplitTokens("a\tb\rc"), (V{"a\tb\rc"}));
  EXPECT_EQ(SplitTokens(""), V{});
  EXPECT_EQ(SplitTokens(" , "), V{});
}

TEST(ReadNotify, ReadsEveryField) {
  const auto fields =
      ReadNotify("10.0.0.5",
                 "NOTIFY 1.0\r\nServerID:  dir1\t\r\nPort: 29831\r\nAliases: host1, host2\r\n"
                 "Users: bob,alice bob\r\n\r\n");
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->serverId, "dir1");
  EXPECT_EQ(fields->port, 29831);
  EXPECT_EQ(fields->host, "10.0.0.5:29831");
  EXPECT_EQ(fields->aliases, (Set{"10.0.0.5:29831", "host1:29831", "host2:29831"}));
  EXPECT_EQ(fields->users, (Set{"alice", "bob"}));
}

// "id port [users] [aliases]" with the source's own alias left out.
std::string Summary(const NotifyFields& fields) {
  const auto joined = [](const Set& set) {
    std::string text;
    for (const std::string& item : set) text += (text.empty() ? "" : ",") + item;
    return "[" + text + "]";
  };
  Set aliases = fields.aliases;
  if (aliases.erase("127.0.0.1:" + std::to_string(fields.port)) != 1) return "no source alias";
  return fields.serverId + " " + std::to_string(fields.port) + " " + joined(fields.users) + " " +
         joined(aliases);
}

TEST(ReadNotify, FollowsTheReadingRules) {
  const struct {
    const char* name;
    const char* text;
    const char* summary;  // nullptr: refused
  } cases[] = {
      {"fields in any order", "NOTIFY 1.0\r\nUsers: u\r\nPort: 1\r\nServerID: d\r\nAliases: a\r\n",
       "d 1 [u] [a:1]"},
      {"empty users", "NOTIFY 1.0\r\nServerID: d\r\nPort: 1\r\nAliases: a\r\nUsers:\r\n",
       "d 1 [] [a:1]"},
      {"empty server id and aliases",
       "NOTIFY 1.0\r\nServerID: \r\nPort: 1\r\nAliases: , \r\nUsers: u\r\n", " 1 [u] []"},
      {"tags found on the first line",
       "NOTIFY 1.0 ServerID: d\r\nPort: 2\r\nAliases:\r\nUsers:\r\n", "d 2 [] []"},
      {"first occurrence of a tag wins",
       "NOTIFY 1.0\r\nServerID: d\r\nServerID: e\r\nPort: 3\r\nPort: 4\r\nAliases:\r\nUsers:\r\n",
       "d 3 [] []"},
      {"a tag inside another value counts",
       "NOTIFY 1.0\r\nUsers: xPort: 9\r\nPort: 7\r\nServerID: d\r\nAliases:\r\n",
       "d 9 [9,xPort:] []"},
      {"a lone LF or CR does not end a value",
       "NOTIFY 1.0\r\nServerID: d\r\nPort: 1\r\nAliases: a\nb\r\nUsers: u\rv\r\n",
       "d 1 [u\rv] [a\nb:1]"},
      {"the last line without CR LF",
       "NOTIFY 1.0\r\nServerID: d\r\nPort: 1\r\nAliases: a\r\nUsers: u", nullptr},
      {"a value ended by LF alone", "NOTIFY 1.0\r\nServerID: d\nPort: 1\nAliases: a\nUsers: u\n",
       nullptr},
      {"no ServerID", "NOTIFY 1.0\r\nPort: 1\r\nAliases: a\r\nUsers: u\r\n", nullptr},
      {"no Port", "NOTIFY 1.0\r\nServerID: d\r\nAliases: a\r\nUsers: u\r\n", nullptr},
      {"no Aliases", "NOTIFY 1.0\r\nServerID: d\r\nPort: 1\r\nUsers: u\r\n", nullptr},
      {"no Users", "NOTIFY 1.0\r\nServerID: d\r\nPort: 1\r\nAliases: a\r\n", nullptr},
      {"tags are case-sensitive",
       "NOTIFY 1.0\r\nserverid: d\r\nPort: 1\r\nAliases: a\r\nUsers: u\r\n", nullptr},
  };
  for (const auto& c : cases) {
    const auto fields = ReadNotify("127.0.0.1", c.text);
    EXPECT_EQ(fields ? Summary(*fields) : "refused", c.summary ? c.summary : "refused") << c.name;
  }
}

TEST(ReadByeBye, TakesTheTrimmedServerIdOnly) {
  EXPECT_EQ(ReadByeBye("BYEBYE 1.0\r\nServerID: \tdir1 \r\nUsers: x\r\n"), "dir1");
  EXPECT_EQ(ReadByeBye("BYEBYE 1.0\r\nServerID:\r\n"), "");
  EXPECT_FALSE(ReadByeBye("BYEBYE 1.0\r\nServerID: dir1"));
  EXPECT_FALSE(ReadByeBye("BYEBYE 1.0\r\nServer: dir1\r\n"));
}

TEST(GroupFromText, FallsBackToTheDefaultForUnusableTexts) {
  const IPv4Address fallback = ::inet_addr("239.255.255.251");
  EXPECT_EQ(GroupFromText(u""), fallback);
  EXPECT_EQ(GroupFromText(u"255.255.255.255"), fallback);
  EXPECT_EQ(GroupFromText(u"not an address"), fallback);
  EXPECT_EQ(GroupFromText(u"239.1.2.3"), ::inet_addr("239.1.2.3"));
}

}  // namespace
}  // namespace kiv::discovery
