#include "support/registry/registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "support/registry/registry_data.h"
#include "support/registry/registry_store.h"
#include "support/registry/registry_test_util.h"

namespace {

using kiv::registry::Root;
using kiv::registry::Store;
using Values = std::map<std::u16string, std::u16string>;

const std::u16string kZib = u"Software\\ZIB Networks\\Zib";

// Stores a value of any type and data, as another writer of the store might.
void PutRaw(const std::u16string& name, std::uint32_t type, std::vector<std::uint8_t> data) {
  ASSERT_TRUE(Store().SetValue(Root::kLocalMachine, kZib, {name, type, std::move(data)}));
}

std::vector<BYTE> ReadBinary(const std::u16string& name) {
  BYTE* copy = nullptr;
  std::uint32_t size = 0;
  if (!CRegistryImpl().GetBinaryValue(kZib, name, copy, size)) return {};
  const std::unique_ptr<BYTE[]> owned(copy);
  return {copy, copy + size};
}

TEST(Registry, MissingKeysAndValuesReadFalseAndLeaveOutputsAlone) {
  TempRegistry registry;
  CRegistryImpl impl;
  std::uint32_t number = 1;
  std::u16string text = u"before";
  BYTE* bytes = nullptr;
  std::uint32_t size = 99;
  Values values{{u"kept", u"1"}};
  const auto readAll = [&](const std::u16string& key) {
    EXPECT_FALSE(impl.GetDwordValue(key, u"LogLevel", number));
    EXPECT_FALSE(impl.GetStringValue(key, u"LogLevel", text));
    EXPECT_FALSE(impl.GetBinaryValue(key, u"LogLevel", bytes, size));
    impl.GetValues(kZib, values);
  };
  readAll(kZib);
  EXPECT_EQ(registry.Read(), "");                                        // reading creates nothing
  ASSERT_TRUE(impl.SetStringValue(kZib + u"\\Config", u"other", u"x"));  // writing creates the key
  readAll(kZib + u"\\Config");  // and kZib now exists as a parent without values
  EXPECT_EQ(number, 1u);
  EXPECT_EQ(text, u"before");
  EXPECT_EQ(bytes, nullptr);
  EXPECT_EQ(size, 99u);
  EXPECT_EQ(values, (Values{{u"kept", u"1"}}));
}

TEST(Registry, WritesAndReadsEachTypeWithNamesInAnyCase) {
  TempRegistry registry;
  CRegistryImpl impl;
  ASSERT_TRUE(impl.SetDwordValue(kZib, u"LogLevel", 4));
  ASSERT_TRUE(impl.SetStringValue(kZib, u"Empty", u""));
  std::uint32_t number = 0;
  EXPECT_TRUE(impl.GetDwordValue(u"SOFTWARE\\zib networks\\ZIB", u"loglevel", number));
  EXPECT_EQ(number, 4u);
  std::u16string text = u"before";
  EXPECT_TRUE(impl.GetStringValue(kZib, u"EMPTY", text));
  EXPECT_EQ(text, u"");

  BYTE raw[] = {0, 1, 2, 0xff};
  BYTE* data = raw;
  int size = 0;
  EXPECT_FALSE(impl.SetBinaryValue(kZib, u"Blob", data, size));
  data = nullptr, size = 4;
  EXPECT_FALSE(impl.SetBinaryValue(kZib, u"Blob", data, size));
  EXPECT_EQ(ReadBinary(u"Blob"), std::vector<BYTE>());
  data = raw;
  ASSERT_TRUE(impl.SetBinaryValue(kZib, u"Blob", data, size));
  EXPECT_EQ(ReadBinary(u"blob"), std::vector<BYTE>(raw, raw + 4));

  // Overwriting keeps the first spelling of the name.
  ASSERT_TRUE(impl.SetDwordValue(kZib, u"LOGLEVEL", 2));
  EXPECT_NE(registry.Read().find("\"LogLevel\"=dword:00000002\n"), std::string::npos);
  EXPECT_EQ(&*GetRegistry(), &*GetRegistry());
}

TEST(Registry, GetValuesTakesTextsAndSignedNumbersOnly) {
  TempRegistry registry;
  CRegistryImpl impl;
  ASSERT_TRUE(impl.SetStringValue(kZib, u"a", u"x"));
  ASSERT_TRUE(impl.SetDwordValue(kZib, u"b", 0xFFFFFFFF));
  PutRaw(u"c", kiv::registry::kRegBinary, {1, 2});
  Values values;
  impl.GetValues(kZib, values);
  EXPECT_EQ(values, (Values{{u"a", u"x"}, {u"b", u"-1"}}));
  values = {{u"a", u"old"}, {u"z", u"stays"}};
  impl.GetValues(kZib, values);
  EXPECT_EQ(values, (Values{{u"a", u"x"}, {u"b", u"-1"}, {u"z", u"stays"}}));
}

TEST(Registry, ReadsCutDataToTheirBuffers) {
  TempRegistry registry;
  CRegistryImpl impl;
  // A text of 1500 units (3002 bytes) keeps the 1024 units that fit 2048 bytes.
  std::u16string longText(1500, u'q');
  longText[1023] = u'E';
  ASSERT_TRUE(impl.SetStringValue(kZib, u"Long", longText));
  std::u16string text;
  ASSERT_TRUE(impl.GetStringValue(kZib, u"Long", text));
  EXPECT_EQ(text, longText.substr(0, 1024));
  // Other types read as raw bytes up to the first zero unit, an odd byte alone.
  PutRaw(u"OddBytes", kiv::registry::kRegBinary, {'h', 0, 'i'});
  ASSERT_TRUE(impl.GetStringValue(kZib, u"OddBytes", text));
  EXPECT_EQ(text, u"hi");

  // Numbers take the first 4 bytes; a shorter value's missing bytes are zero.
  std::uint32_t number = 0xAAAAAAAA;
  PutRaw(u"Short", kiv::registry::kRegBinary, {0x34, 0x12});
  ASSERT_TRUE(impl.GetDwordValue(kZib, u"Short", number));
  EXPECT_EQ(number, 0x1234u);
  PutRaw(u"Wide", 11, {1, 2, 3, 4, 5, 6, 7, 8});
  ASSERT_TRUE(impl.GetDwordValue(kZib, u"Wide", number));
  EXPECT_EQ(number, 0x04030201u);

  // Binary reads hand out at most the 2048 bytes of their buffer.
  std::vector<BYTE> big(3000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<BYTE>(i * 7);
  PutRaw(u"Big", kiv::registry::kRegBinary, big);
  EXPECT_EQ(ReadBinary(u"Big"), std::vector<BYTE>(big.begin(), big.begin() + 2048));
}

}  // namespace
