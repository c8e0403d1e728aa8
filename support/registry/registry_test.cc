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

std::vector<BYTE> ReadBinary(const std::u16string& name) {
  BYTE* copy = nullptr;
  std::uint32_t size = 0;
  if (!CRegistryImpl().GetBinaryValue(kZib, name, copy, size)) return {};
  const std::unique_ptr<BYTE[]> owned(copy);
  return {copy, copy + size};
}

// Reads take any type's data as raw bytes, cut to the 2048-byte buffers;
// GetValues adds texts (uncut) and signed numbers and leaves other entries.
TEST(Registry, ReadsTakeRawDataCutToTheirBuffers) {
  TempRegistry registry;
  CRegistryImpl impl;
  std::u16string longText(1500, u'q');
  longText[1023] = u'E';
  ASSERT_TRUE(impl.SetStringValue(kZib, u"Long", longText));
  ASSERT_TRUE(impl.SetDwordValue(kZib, u"Minus", 0xFFFFFFFF));
  std::vector<BYTE> big(3000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<BYTE>(i * 7 + 1);
  BYTE* data = big.data();
  int size = static_cast<int>(big.size());
  ASSERT_TRUE(impl.SetBinaryValue(kZib, u"Big", data, size));
  const auto putRaw = [](const char16_t* name, std::uint32_t type, std::vector<BYTE> bytes) {
    ASSERT_TRUE(Store().SetValue(Root::kLocalMachine, kZib, {name, type, std::move(bytes)}));
  };
  putRaw(u"Odd", kiv::registry::kRegBinary, {'h', 0, 'i'});
  putRaw(u"Short", kiv::registry::kRegSz, {0x34, 0x12});
  putRaw(u"Wide", 11, {1, 2, 3, 4, 5, 6, 7, 8});

  std::u16string text;
  ASSERT_TRUE(impl.GetStringValue(kZib, u"Long", text));
  EXPECT_EQ(text, longText.substr(0, 1024));
  ASSERT_TRUE(impl.GetStringValue(kZib, u"Odd", text));
  EXPECT_EQ(text, u"hi");
  ASSERT_TRUE(impl.GetStringValue(kZib, u"Big", text));
  EXPECT_EQ(text.size(), 1024u);  // no zero unit within the buffer
  std::uint32_t number = 0xAAAAAAAA;
  ASSERT_TRUE(impl.GetDwordValue(kZib, u"Short", number));
  EXPECT_EQ(number, 0x1234u);
  ASSERT_TRUE(impl.GetDwordValue(kZib, u"Wide", number));
  EXPECT_EQ(number, 0x04030201u);
  EXPECT_EQ(ReadBinary(u"Big"), std::vector<BYTE>(big.begin(), big.begin() + 2048));
  EXPECT_EQ(ReadBinary(u"Odd"), (std::vector<BYTE>{'h', 0, 'i'}));

  Values values{{u"Long", u"old"}, {u"Other", u"stays"}};
  impl.GetValues(kZib, values);
  EXPECT_EQ(
      values,
      (Values{
          {u"Long", longText}, {u"Minus", u"-1"}, {u"Other", u"stays"}, {u"Short", u"\u1234"}}));
}

}  // namespace
