// Creation and destruction of engines and the process-wide list.
#include "kiv/engine.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/engine_list.h"
#include "engine/engine_object.h"
#include "engine/listener.h"
#include "engine/testing/raw_peer.h"
#include "support/threads/test_util.h"

namespace kiv::testing {
namespace {

bool Listed(KIV* engine) {
  PScopedLock guard(&kiv::engine::EngineListMutex());
  const auto& list = kiv::engine::EngineList();
  return std::find(list.begin(), list.end(), engine) != list.end();
}

TEST(Engine, CreationListsAndDestructionUnlistsInOrder) {
  KIV* first = nullptr;
  KIV* second = nullptr;
  ASSERT_EQ(KivCreate(&first, nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(KivCreate(&second, nullptr, nullptr, nullptr), 0);
  {
    PScopedLock guard(&kiv::engine::EngineListMutex());
    const auto& list = kiv::engine::EngineList();
    const auto a = std::find(list.begin(), list.end(), first);
    const auto b = std::find(list.begin(), list.end(), second);
    ASSERT_TRUE(a != list.end() && b != list.end());
    EXPECT_LT(a, b);
  }
  EXPECT_EQ(first->satelliteId.load(), 0);
  EXPECT_EQ(first->listenSocket, -1);
  EXPECT_EQ(first->directoryStatus.load(), KIV_UNKNOWN);
  KivDestroy(first);
  EXPECT_FALSE(Listed(first));
  EXPECT_TRUE(Listed(second));
  KivDestroy(second);
  KivDestroy(nullptr);
}

TEST(Engine, DestroyWithoutRemovalStillStopsTheEventThread) {
  KIV* engine = nullptr;
  ASSERT_EQ(KivCreate(&engine, nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(KivStartListening(engine, false), 0);
  const std::uint16_t port = engine->listenPort;
  Socket idle = ConnectTo(port);
  ASSERT_TRUE(SendBytes(idle.get(), PingBytes(0)));
  ASSERT_TRUE(ReadBytes(idle.get(), 8));
  const long long took = ElapsedMillis([&] { KivDestroy(engine); });
  EXPECT_LT(took, 1000);
  EXPECT_TRUE(WaitForClose(idle.get(), 2000));
  EXPECT_FALSE(ConnectTo(port).valid());
}

}  // namespace
}  // namespace kiv::testing
