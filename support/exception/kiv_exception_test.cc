#include "kiv/kiv_exception.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Reaches the protected constructors the way a library subclass does.
struct Coded : KivException {
  explicit Coded(std::int32_t code) : KivException(code) {}
  Coded(std::int32_t code, const char16_t* message) : KivException(code, message) {}
};

TEST(KivException, KeepsItsCodeAndAtMost255UnitsOfMessageThroughCopies) {
  const std::u16string longText(300, u'x');
  const struct {
    KivException e;
    std::int32_t code;
    std::u16string message;
  } cases[] = {{KivException(), -1, u""},
               {KivException(nullptr), -1, u""},
               {Coded(7), 7, u""},
               {Coded(-5, u"late"), -5, u"late"},
               {KivInvalidParameterException(u"bad shape"), 1, u"bad shape"},
               {KivException(longText.c_str()), -1, longText.substr(0, 255)}};
  for (const auto& c : cases) {
    KivException assigned(u"a longer message than any source has");
    assigned = c.e;
    for (const KivException& e : {c.e, KivException(c.e), assigned}) {
      EXPECT_EQ(e.getCode(), c.code);
      EXPECT_EQ(std::u16string(e.getMessage()), c.message);
      EXPECT_STREQ(e.what(), std::exception().what());
    }
  }
}

// The binary interface fixes the fields after std::exception's vtable
// pointer: 256 message units, then the code.
TEST(KivException, LayoutIsFixed) {
  const Coded e(0x11223344, u"hi");
  const auto* bytes = reinterpret_cast<const unsigned char*>(&e);
  EXPECT_EQ(reinterpret_cast<const unsigned char*>(e.getMessage()), bytes + sizeof(void*));
  std::int32_t code = 0;
  std::memcpy(&code, bytes + sizeof(void*) + 512, sizeof(code));
  EXPECT_EQ(code, 0x11223344);
  EXPECT_EQ(sizeof(KivInvalidParameterException), sizeof(void*) + 512 + 8);
}

}  // namespace
