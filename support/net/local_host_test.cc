// Queries of this machine's names, addresses and interfaces. The binary runs
// in a network namespace holding only loopback: no other interface, no
// default route.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/net/net.h"
#include "support/net/net_test_util.h"
#include "support/net/route_lookup.h"

namespace kiv {
namespace {

using nettest::Address;

bool IsDotted(const char* text) {
  in_addr parsed{};
  return ::inet_pton(AF_INET, text, &parsed) == 1;
}

TEST(GetLocalIdentity, NameIsTheHostNameCutTo15Characters) {
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  char address[kIdentityAddressCapacity] = "unchanged";
  char name[kIdentityNameCapacity] = "unchanged";
  EXPECT_EQ(GetLocalIdentity(address, name), 0);
  EXPECT_EQ(std::string(name), std::string(host).substr(0, 15));
  // The address is the host name's, when it resolves at all.
  const std::string hostAddress = GetLocalHostAddress();
  EXPECT_EQ(std::string(address), hostAddress.empty() ? "unchanged" : hostAddress);
  if (!hostAddress.empty()) {
    EXPECT_TRUE(IsDotted(address)) << address;
  }
}

TEST(GetLocalAddresses, LoopbackAloneIsListedOnce) {
  std::vector<IPv4Address> list{Address("1.2.3.4")};
  GetLocalAddresses(list);
  EXPECT_EQ(list, std::vector<IPv4Address>{Address("127.0.0.1")});
}

TEST(GetLocalInterfaceAddress, LoopbackAnswers127WithA24BitMask) {
  int index = 0, error = 0;
  EXPECT_TRUE(net_internal::FindBestInterface(Address("127.0.0.1"), index, error)) << error;
  EXPECT_EQ(index, net_internal::kLoopbackInterfaceIndex);

  std::string address = "stale", mask = "stale";
  GetLocalInterfaceAddress("127.0.0.1", address, mask);
  EXPECT_EQ(address, "127.0.0.1");
  EXPECT_EQ(mask, "255.255.255.0");
  EXPECT_EQ(GetLocalInterfaceAddress("127.0.0.2"),
            std::make_pair(std::string("127.0.0.1"), std::string("255.255.255.0")));
}

TEST(GetLocalInterfaceAddress, TextThatIsNoAddressGivesEmptyTextsAndADebugLine) {
  nettest::LogCapture log;
  std::string address = "stale", mask = "stale";
  GetLocalInterfaceAddress("not-an-address", address, mask);
  EXPECT_EQ(address, "");
  EXPECT_EQ(mask, "");
  // EINVAL, cut to 16 characters.
  EXPECT_TRUE(
      log.Has(LOG_DEBUG, u"ERROR:Could not get best interface for not-an-address: err0 x16"));
  GetLocalInterfaceAddress("no-address-at-all-here", address, mask);
  EXPECT_TRUE(
      log.Has(LOG_DEBUG, u"ERROR:Could not get best interface for no-address-at-al: err0 x16"));
}

TEST(GetDefaultMacAddress, NoDefaultRouteGivesEmptyTextAndADebugLine) {
  nettest::LogCapture log;
  EXPECT_EQ(GetDefaultMacAddress(), u"");
  // ENETUNREACH
  EXPECT_TRUE(log.Has(LOG_DEBUG, u"ERROR:Could not get best interface for 0.0.0.0: err0 x65"));
  EXPECT_EQ(GetLocalInterfaceAddress("0.0.0.0"), std::make_pair(std::string(), std::string()));
}

}  // namespace
}  // namespace kiv
