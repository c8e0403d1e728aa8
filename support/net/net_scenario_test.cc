// Behaviour in namespaces that the ctest commands of this directory prepare
// (see CMakeLists.txt); in any other run these tests skip. Nothing is sent:
// the namespaces have no way out.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/net/net.h"
#include "support/net/net_test_util.h"

namespace kiv {
namespace {

using nettest::Address;
using nettest::InScenario;

// The host name is "no-such-host.invalid", which nothing resolves.
TEST(NetScenario, UnresolvableHostName) {
  if (!InScenario("unresolvable-host")) GTEST_SKIP() << "needs its own namespace";
  char address[kIdentityAddressCapacity] = "kept";
  char name[kIdentityNameCapacity] = "";
  EXPECT_EQ(GetLocalIdentity(address, name), 0);
  EXPECT_STREQ(address, "kept");
  EXPECT_STREQ(name, "no-such-host.in");
  EXPECT_EQ(GetLocalHostAddress(), "");
}

// A veth pair: kivnet0 (00:1a:2b:3c:4d:5e, 10.77.0.5/24) carries the
// default route of metric 100, kivnet1 (10.78.0.9/16) one of metric 200.
TEST(NetScenario, DefaultRoute) {
  if (!InScenario("default-route")) GTEST_SKIP() << "needs its own namespace";
  EXPECT_EQ(GetDefaultMacAddress(), u"001a2b3c4d5e");
  EXPECT_EQ(GetLocalInterfaceAddress("0.0.0.0"),
            std::make_pair(std::string("10.77.0.5"), std::string("255.255.255.0")));
  EXPECT_EQ(GetLocalInterfaceAddress("127.0.0.1").first, "127.0.0.1");

  std::vector<IPv4Address> list;
  GetLocalAddresses(list);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], Address("127.0.0.1"));
  std::sort(list.begin() + 1, list.end());
  EXPECT_EQ(list[1], std::min(Address("10.77.0.5"), Address("10.78.0.9")));
  EXPECT_EQ(list[2], std::max(Address("10.77.0.5"), Address("10.78.0.9")));
}

}  // namespace
}  // namespace kiv
