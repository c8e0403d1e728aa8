// The look-up cache alone, on a tick the test moves: how long an answer
// lives, which names a notice forgets, and what a full cache evicts.
#include "engine/lookup_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "support/time/time_limits.h"
#include "support/time/wall_clock.h"

namespace kiv::engine {
namespace {

class LookupCacheTest : public ::testing::Test {
 protected:
  LookupCacheTest() {
    SetClockForTesting({}, [this] { return tick_.load(); });
  }
  ~LookupCacheTest() override { SetClockForTesting({}, {}); }

  void Store(std::u16string_view name, std::int32_t flags = 0) {
    cache_.Store({name, u"Svc", flags}, *Variant::String(name));
  }
  bool Has(std::u16string_view name, std::int32_t flags = 0) {
    std::shared_ptr<const Variant> answer;
    return cache_.Find({name, u"Svc", flags}, answer);
  }

  std::atomic<std::int64_t> tick_{5'000};
  LookupCache cache_;
};

TEST_F(LookupCacheTest, AnAnswerLivesUntilItsAgeOrAClockSetBack) {
  const std::int64_t age = LimitMs(TimeLimit::kLookupAge);
  Store(u"a");
  tick_ += age - 1;
  EXPECT_TRUE(Has(u"a"));
  tick_ += 1;
  EXPECT_FALSE(Has(u"a")) << "expired at its age";
  Store(u"a");
  tick_ -= 1;
  EXPECT_FALSE(Has(u"a")) << "a clock set back counts as expiry";
}

TEST_F(LookupCacheTest, ForgettingTakesOnlyWhatItNames) {
  Store(u"Target");
  Store(u"Target", 1);
  Store(u"Targets");
  cache_.Forget({u"Target", u"Svc", 1});
  EXPECT_TRUE(Has(u"Target"));
  EXPECT_FALSE(Has(u"Target", 1)) << "the key's flags are part of it";
  cache_.ForgetSatellite(u"tARGET");
  EXPECT_FALSE(Has(u"Target")) << "names compare A-Z caseless";
  EXPECT_TRUE(Has(u"Targets"));
  cache_.Reset(false);
  Store(u"kept");
  EXPECT_FALSE(Has(u"kept")) << "an engine that keeps no answers stores none";
}

TEST_F(LookupCacheTest, AFullCacheEvictsTheOldestFirst) {
  // All stored on one tick: the first stored counts as the oldest.
  for (std::size_t i = 0; i < kLookupCapacity; ++i) Store(u"n" + std::u16string(i + 1, u'x'));
  tick_ += 1;
  Store(u"newest");
  EXPECT_FALSE(Has(u"nx"));
  for (std::size_t i = 1; i < kLookupCapacity; ++i) {
    EXPECT_TRUE(Has(u"n" + std::u16string(i + 1, u'x'))) << i;
  }
  EXPECT_TRUE(Has(u"newest"));
}

}  // namespace
}  // namespace kiv::engine
