#include "satellite/directory_address.h"

#include <limits>

namespace kiv::satellite {

namespace {

bool IsBlank(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}

std::int32_t ReadDecimal(std::u16string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  // Accumulate the magnitude in 64 bits and hold it to the 32-bit range, as
  // a 32-bit string-to-long conversion does, before the 16-bit truncation.
  constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max();
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + (text[i] - u'0');
    if (value > kLimit + 1) value = kLimit + 1;
  }
  if (negative) return static_cast<std::int32_t>(-value);
  return static_cast<std::int32_t>(value > kLimit ? kLimit : value);
}

}  // namespace

DirectoryAddress ParseDirectoryAddress(std::u16string_view text) {
  DirectoryAddress address;
  const std::size_t colon = text.find(u':');
  address.host = std::u16string(text.substr(0, colon));
  if (colon != std::u16string_view::npos) {
    address.port =
        static_cast<std::uint16_t>(static_cast<std::uint32_t>(ReadDecimal(text.substr(colon + 1))));
  }
  if (address.host == u"localhost") address.host = u"127.0.0.1";
  return address;
}

}  // namespace kiv::satellite
