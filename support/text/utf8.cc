#include "kiv/utf8.h"

namespace kiv {

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (char16_t unit : text) {
    if (unit < 0x80) {
      out.push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
      out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else {
      // Surrogate halves are encoded on their own, never combined.
      out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
      out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
  }
  return out;
}

namespace {

bool IsContinuation(unsigned char byte) {
  return byte >= 0x80 && byte <= 0xBF;
}

}  // namespace

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      out.push_back(lead);
      i += 1;
      continue;
    }
    // 0x80-0xC1 cannot start a sequence; 0xF0 and above would need four bytes.
    if (lead < 0xC2 || lead >= 0xF0) break;
    if (lead < 0xE0) {
      if (i + 1 >= text.size()) break;
      const auto b1 = static_cast<unsigned char>(text[i + 1]);
      if (!IsContinuation(b1)) break;
      out.push_back(static_cast<char16_t>(((lead & 0x1F) << 6) | (b1 & 0x3F)));
      i += 2;
      continue;
    }
    if (i + 2 >= text.size()) break;
    const auto b1 = static_cast<unsigned char>(text[i + 1]);
    const auto b2 = static_cast<unsigned char>(text[i + 2]);
    // An 0xE0 lead needs 0xA0 or more next, or the sequence is overlong.
    if (!IsContinuation(b1) || !IsContinuation(b2) || (lead == 0xE0 && b1 < 0xA0)) break;
    out.push_back(static_cast<char16_t>(((lead & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F)));
    i += 3;
  }
  return out;
}

}  // namespace kiv
