// The service table's caseless order and the redeclaration of a service.
#include "satellite/service_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kiv::satellite {
namespace {

// Counts its own destruction.
class CountedHandler : public KivSatelliteDelegateGeneric {
 public:
  explicit CountedHandler(int* destroyed) : destroyed_(destroyed) {}
  ~CountedHandler() override { ++*destroyed_; }
  std::int32_t Invoke(const char16_t*, const VARIANT&, VARIANT*) override { return 0; }

 private:
  int* destroyed_;
};

std::vector<std::u16string> Names(const ServiceTable& table) {
  std::vector<std::u16string> names;
  for (const auto& [name, entry] : table) names.push_back(name);
  return names;
}

TEST(CaselessOrder, LowersOnlyAsciiLettersAndComparesUnitsUnsigned) {
  const CaselessLess less;
  EXPECT_FALSE(less(u"Echo", u"ECHO"));
  EXPECT_FALSE(less(u"ECHO", u"Echo"));
  // '_' (0x5F) sorts before 'a' once 'A' is lowered, unlike code-unit order.
  EXPECT_TRUE(less(u"_x", u"Ax"));
  EXPECT_TRUE(less(u"a", u"B"));
  EXPECT_TRUE(less(u"ab", u"abc"));
  // The classic locale leaves non-ASCII letters alone: U+00C0 < U+00E0.
  EXPECT_TRUE(less(u"\u00C0", u"\u00E0"));
  EXPECT_TRUE(less(u"z", u"\uFFFF"));
}

TEST(ServiceTable, RedeclaringKeepsFirstSpellingAndRetiresOldHandler) {
  ServiceTable table;
  int destroyed = 0;
  RetiredHandlers retired;
  DeclareService(table, u"Echo", u"first", std::make_shared<CountedHandler>(&destroyed), retired);
  table.begin()->second.state = SERVICE_REGISTERED;
  DeclareService(table, u"ECHO", u"second", std::make_shared<CountedHandler>(&destroyed), retired);
  ASSERT_EQ(Names(table), std::vector<std::u16string>{u"Echo"});
  EXPECT_EQ(table.begin()->second.description, u"second");
  EXPECT_EQ(table.begin()->second.state, SERVICE_TO_REGISTER);
  ASSERT_EQ(retired.size(), 1u);
  retired.clear();
  EXPECT_EQ(destroyed, 1);

  EXPECT_FALSE(MarkForRemoval(table, u"missing"));
  EXPECT_TRUE(MarkForRemoval(table, u"echo"));
  EraseInState(table, SERVICE_TO_UNREGISTER, retired);
  EXPECT_TRUE(table.empty());
  retired.clear();
  EXPECT_EQ(destroyed, 2);
}

}  // namespace
}  // namespace kiv::satellite
