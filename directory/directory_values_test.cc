// The values' fields are read end to end (tools/kivd's program test lists
// what satellites registered); here the shapes that must be refused.
#include "directory/directory_values.h"

#include <gtest/gtest.h>

#include "kiv/kiv_exception.h"
#include "kiv/vutil.h"

namespace kiv::directory {
namespace {

Variant VariantArray(std::vector<Variant> elements) {
  Variant array;
  VUtil::CreateArray(*array, VT_VARIANT, static_cast<ULONG>(elements.size()));
  for (std::size_t i = 0; i < elements.size(); ++i) {
    VUtil::PutElement(*array, static_cast<LONG>(i), static_cast<void*>(elements[i].get()));
  }
  return array;
}

// The record as a satellite sends it.
Variant Record(std::u16string name, Variant services) {
  Variant port;
  port->vt = VT_UI2;
  port->uiVal = 4321;
  return VariantArray({Variant::String(name), Variant::String(u"PC"), std::move(port),
                       Variant::I4(1), Variant::I4(5), Variant::I4(3), std::move(services)});
}

TEST(DirectoryValuesTest, ReadsARecordAndRefusesValuesOfTheWrongShape) {
  const Variant echo = VariantArray({Variant::String(u"Echo"), Variant::String(u"answers")});
  // Its services first, then empty slots.
  const Registration read = ReadRegistration(*Record(u"sat", VariantArray({echo, Variant()})), "h");
  EXPECT_EQ(read.knownId, 5);
  ASSERT_EQ(read.services.size(), 1u);
  EXPECT_EQ(read.services[0].description, u"answers");
  for (const Variant& record :
       {Variant::I4(1), VariantArray({Variant::String(u"sat")}), Record(u"sat", Variant::I4(2)),
        Record(u"", Variant()), VariantArray(std::vector<Variant>(7, Variant::String(u"")))}) {
    EXPECT_THROW(ReadRegistration(*record, "h"), KivInvalidParameterException);
  }
  EXPECT_THROW(ReadServiceQuery(*VariantArray({Variant::String(u"ALL")})),
               KivInvalidParameterException);
}

}  // namespace
}  // namespace kiv::directory
