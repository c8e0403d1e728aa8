// Splitting "host[:port]" the way Connect reads a directory address.
#include "satellite/directory_address.h"

#include <gtest/gtest.h>

namespace kiv::satellite {
namespace {

TEST(DirectoryAddress, SplitsAtFirstColonAndReadsPortLikeStrtol) {
  struct Case {
    const char16_t* text;
    const char16_t* host;
    std::uint16_t port;
  } cases[] = {
      {u"localhost", u"127.0.0.1", 0},
      {u"localhost:29831", u"127.0.0.1", 29831},
      {u"LocalHost", u"LocalHost", 0},  // only the exact name is replaced
      {u"dir.example:29831", u"dir.example", 29831},
      {u"h:abc", u"h", 0},
      {u"h:70000", u"h", 4464},
      {u"h: \t+12x", u"h", 12},
      {u"h:-1", u"h", 65535},
      {u"h:1:2", u"h", 1},
      {u"h:", u"h", 0},
      {u"h:99999999999", u"h", 0xFFFF},  // held to 0x7FFFFFFF first
      {u"h:-2147483647", u"h", 1},
      {u"h:-99999999999", u"h", 0},  // held to -0x80000000
      {u":5", u"", 5},
      {u"", u"", 0},
  };
  for (const Case& c : cases) {
    const DirectoryAddress address = ParseDirectoryAddress(c.text);
    EXPECT_EQ(address.host, c.host);
    EXPECT_EQ(address.port, c.port);
  }
}

}  // namespace
}  // namespace kiv::satellite
