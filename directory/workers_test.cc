// The notice sender with a stand-in for the network.
#include <gtest/gtest.h>

#include "directory/notice_sender.h"
#include "support/threads/mutex.h"
#include "testing/wait.h"

namespace kiv::directory {
namespace {

TEST(NoticeSenderTest, DeliversInQueueOrderAndSurvivesAFailingDelivery) {
  PMutex lock;
  std::vector<std::u16string> seen;
  NoticeSender sender([&](const AvailabilityNotice& notice) {
    if (notice.service == u"bad") throw std::runtime_error("listener gone");
    PScopedLock hold(&lock);
    seen.push_back(notice.service);
  });
  sender.Start();
  sender.Queue({{u"l", u"a", u"s", 1}, {u"l", u"bad", u"s", 1}});
  sender.Queue({{u"l", u"b", u"s", 0}});
  ASSERT_TRUE(testing::WaitUntil([&] { return sender.Delivered() == 3; }));
  sender.Stop();
  EXPECT_EQ(seen, (std::vector<std::u16string>{u"a", u"b"}));
}

}  // namespace
}  // namespace kiv::directory
