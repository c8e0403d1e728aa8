// Discovery's reports reach the engine: a satellite registered with a
// directory hears, through its status callback, what the directory's
// datagrams on the group say about it.
#include <gtest/gtest.h>

#include "discovery/discovery_test_util.h"
#include "kiv/status.h"
#include "testing/fake_directory.h"

namespace kiv::discoverytest {
namespace {

TEST(DiscoveryEngineReports, ByeByeAndNotifyOfItsDirectoryReachTheSatellite) {
  GroupRegistry registry;
  kiv::testing::FakeDirectory directory("dirX");
  ASSERT_TRUE(directory.ok());
  kiv::testing::TestEngine satellite;
  ASSERT_EQ(satellite.Register(u"sat"), 0);
  const std::size_t registrations = directory.RequestsNamed(u"Register").size();

  GroupPeer sender;
  ASSERT_TRUE(sender.Send(ByeBye("other")));
  ASSERT_TRUE(sender.Send(ByeBye("dirX")));
  EXPECT_TRUE(satellite.WaitForStatus(KIV_SHUTDOWN, 5000));
  // Back again: the satellite registers anew.
  ASSERT_TRUE(sender.Send(Notify("dirX", 29831, "h", "alice")));
  EXPECT_TRUE(satellite.WaitForStatus(KIV_ALIVE, 5000));
  EXPECT_TRUE(directory.WaitForRequests(u"Register", registrations + 1, 5000));
}

}  // namespace
}  // namespace kiv::discoverytest
