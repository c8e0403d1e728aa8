// The handler forms: each passes the call through untouched, and the
// directory's form keeps the exported slot order.
#include <gtest/gtest.h>


#include "kiv/delegates.h"

namespace kiv::satellite {
namespace {

// What the last handler saw; handlers answer with the input plus one.
struct Seen {
  std::int32_t sd;
  const char16_t* source;
  VARIANT* out;
} gSeen;

std::int32_t Record(std::int32_t sd, const char16_t* source, const VARIANT& in, VARIANT* out) {
  gSeen = {sd, source, out};
  return in.lVal + 1;
}

struct Service {
  std::int32_t Handle(const char16_t* s, const VARIANT& in, VARIANT* out) {
    return Record(0, s, in, out);
  }
};

struct DirectoryHandler : KivSatelliteDelegateWithId {
  std::int32_t InvokeWithId(std::int32_t sd, const char16_t* s, const VARIANT& in,
                            VARIANT* out) override {
    return Record(sd, s, in, out);
  }
};

TEST(Delegates, PassArgumentsAndResultThroughUntouched) {
  VARIANT in{}, out{};
  in.vt = VT_I4;
  in.lVal = -1234568;
  const char16_t* source = u"caller";
  Service service;
  KivSatelliteDelegateFunction function(
      [](const char16_t* s, const VARIANT& i, VARIANT* o) { return Record(0, s, i, o); });
  KivSatelliteDelegateMember<Service> member(&service, &Service::Handle);
  DirectoryHandler directory;
  for (KivSatelliteDelegateGeneric* handler :
       std::initializer_list<KivSatelliteDelegateGeneric*>{&function, &member, &directory}) {
    gSeen = {};
    EXPECT_EQ(handler->Invoke(source, in, &out), -1234567);
    EXPECT_TRUE(gSeen.source == source && gSeen.out == &out);
  }
  EXPECT_EQ(gSeen.sd, KivSatelliteDelegateWithId::kNoConnection);  // Invoke on a directory handler
  // The Itanium vtable starts with two destructor entries: slot 3 follows Invoke.
  using Slot = std::int32_t (*)(KivSatelliteDelegateGeneric*, std::int32_t, const char16_t*,
                                const VARIANT&, VARIANT*);
  KivSatelliteDelegateGeneric* generic = &directory;
  EXPECT_EQ((*reinterpret_cast<Slot**>(generic))[3](generic, 17, source, in, &out), -1234567);
  EXPECT_EQ(gSeen.sd, 17);
}

}  // namespace
}  // namespace kiv::satellite
