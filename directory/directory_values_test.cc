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

Variant Port(unsigned short port) {
  Variant value;
  value->vt = VT_UI2;
  value->uiVal = port;
  return value;
}

// The record as a satellite sends it: its services first, then empty slots.
Variant Record(Variant services, std::int32_t id = 5) {
  return VariantArray({Variant::String(u"sat"), Variant::String(u"PC"), Port(4321), Variant::I4(1),
                       Variant::I4(id), Variant::I4(3), std::move(services)});
}

Variant Services() {
  return VariantArray({VariantArray({Variant::String(u"Echo"), Variant::String(u"answers")}),
                       VariantArray({Variant::String(u"Sleep"), Variant::String(u"")}), Variant()});
}

TEST(DirectoryValuesTest, ReadsTheRegistrationRecordAndItsServices) {
  const Registration registration = ReadRegistration(*Record(Services()), "127.0.0.1");
  EXPECT_EQ(registration.name, u"sat");
  EXPECT_EQ(registration.computer, u"PC");
  EXPECT_EQ(registration.port, 4321);
  EXPECT_EQ(registration.knownId, 5);
  EXPECT_EQ(registration.host, "127.0.0.1");
  ASSERT_EQ(registration.services.size(), 2u);
  EXPECT_EQ(registration.services[0].name, u"Echo");
  EXPECT_EQ(registration.services[0].description, u"answers");
  EXPECT_EQ(registration.services[1].name, u"Sleep");

  EXPECT_TRUE(ReadRegistration(*Record(Variant()), "h").services.empty());
}

TEST(DirectoryValuesTest, RefusesRecordsOfTheWrongShape) {
  EXPECT_THROW(ReadRegistration(*Variant::I4(1), "h"), KivInvalidParameterException);
  EXPECT_THROW(ReadRegistration(*VariantArray({Variant::String(u"sat")}), "h"),
               KivInvalidParameterException);
  EXPECT_THROW(ReadRegistration(*Record(Variant::String(u"not services")), "h"),
               KivInvalidParameterException);
  EXPECT_THROW(ReadRegistration(*VariantArray(std::vector<Variant>(7, Variant::String(u""))), "h"),
               KivInvalidParameterException);
  EXPECT_THROW(ReadServiceQuery(*VariantArray({Variant::String(u"ALL")})),
               KivInvalidParameterException);
}

TEST(DirectoryValuesTest, AnswersHaveTheLayoutsTheLibraryReads) {
  const Variant id = RegisterAnswer(u"server-1", 9);
  EXPECT_EQ(VUtil::GetStringElement(*id, 0), u"server-1");
  EXPECT_EQ(VUtil::GetLongElement(*id, 1), 9);

  const Variant entries =
      EntriesAnswer({{u"Echo", u"sat", u"answers", "10.1.2.3", 4321, u"PC", 7}});
  ASSERT_EQ(VUtil::GetArrayLength(*entries), 1);
  Variant entry;
  VUtil::GetElement(*entries, 0, entry.get());
  VUtil::checkArrayType(*entry, VT_VARIANT, 7, true, nullptr);
  EXPECT_EQ(VUtil::GetStringElement(*entry, 0), u"Echo");
  EXPECT_EQ(VUtil::GetStringElement(*entry, 3), u"10.1.2.3");
  EXPECT_EQ(VUtil::GetLongElement(*entry, 4), 4321);
  EXPECT_EQ(VUtil::GetLongElement(*entry, 6), 7);

  // Exactly one element, itself exactly [BSTR host, I4 port].
  const Variant host = HostAnswer("10.1.2.3", 4321);
  VUtil::checkArrayType(*host, VT_VARIANT, 1, nullptr);
  Variant pair;
  VUtil::GetElement(*host, 0, pair.get());
  VUtil::checkArrayType(*pair, VT_VARIANT, 2, nullptr);
  EXPECT_EQ(VUtil::GetStringElement(*pair, 0), u"10.1.2.3");
  EXPECT_EQ(VUtil::GetLongElement(*pair, 1), 4321);

  const Variant notice = NoticeArgument({u"listener", u"Echo", u"sat", 1});
  EXPECT_EQ(VUtil::GetStringElement(*notice, 0), u"Echo");
  EXPECT_EQ(VUtil::GetStringElement(*notice, 1), u"sat");
  EXPECT_EQ(VUtil::GetLongElement(*notice, 2), 1);
}

TEST(DirectoryValuesTest, TheListAnswerReadsBack) {
  SatelliteRecord record{4, u"sat", u"PC", "10.1.2.3", 4321, {{u"Echo", u"answers"}}, 2};
  const std::vector<SatelliteRecord> back = ReadListAnswer(*ListAnswer({record, record}));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].id, 4);
  EXPECT_EQ(back[1].name, u"sat");
  EXPECT_EQ(back[1].host, "10.1.2.3");
  EXPECT_EQ(back[1].port, 4321);
  EXPECT_EQ(back[1].computer, u"PC");
  ASSERT_EQ(back[1].services.size(), 1u);
  EXPECT_EQ(back[1].services[0].description, u"answers");
  EXPECT_EQ(back[1].failedPings, 2);
  EXPECT_TRUE(ReadListAnswer(*Variant()).empty());
}

}  // namespace
}  // namespace kiv::directory
