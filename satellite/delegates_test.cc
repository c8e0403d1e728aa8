#include "kiv/delegates.h"

#include <gtest/gtest.h>

namespace {

// What the last handler saw; handlers answer with the input plus one.
struct Call {
  std::int32_t sd;
  const char16_t* source;
  const VARIANT* in;
  VARIANT* out;
} gLast;

std::int32_t Record(std::int32_t sd, const char16_t* source, const VARIANT& in, VARIANT* out) {
  gLast = {sd, source, &in, out};
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
    gLast = {};
    EXPECT_EQ(handler->Invoke(source, in, &out), -1234567);
    EXPECT_EQ(gLast.source, source);
    EXPECT_EQ(gLast.in, &in);
    EXPECT_EQ(gLast.out, &out);
  }
  EXPECT_EQ(gLast.sd, KivSatelliteDelegateWithId::kNoConnection);  // Invoke on a directory handler

  // A directory calls the slot right after Invoke (the Itanium vtable
  // starts with two destructor entries): it must be InvokeWithId.
  using Slot = std::int32_t (*)(KivSatelliteDelegateGeneric*, std::int32_t, const char16_t*,
                                const VARIANT&, VARIANT*);
  KivSatelliteDelegateGeneric* generic = &directory;
  EXPECT_EQ((*reinterpret_cast<Slot**>(generic))[3](generic, 17, source, in, &out), -1234567);
  EXPECT_EQ(gLast.sd, 17);
}

}  // namespace
