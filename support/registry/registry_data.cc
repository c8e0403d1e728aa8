#include "support/registry/registry_data.h"

#include <algorithm>

namespace kiv::registry {

std::vector<std::uint8_t> DwordData(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::vector<std::uint8_t> StringData(std::u16string_view text) {
  std::vector<std::uint8_t> data;
  data.reserve((text.size() + 1) * 2);
  for (const char16_t unit : text) {
    data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    data.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  data.insert(data.end(), {0, 0});
  return data;
}

std::uint32_t DataAsDword(std::span<const std::uint8_t> data) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(data.size(), 4); ++i) {
    value |= static_cast<std::uint32_t>(data[i]) << (8 * i);
  }
  return value;
}

std::u16string DataAsText(std::span<const std::uint8_t> data, std::size_t bufferBytes) {
  data = data.first(std::min(data.size(), bufferBytes));
  std::u16string text;
  for (std::size_t i = 0; i < data.size(); i += 2) {
    const std::uint8_t high = i + 1 < data.size() ? data[i + 1] : 0;
    const auto unit = static_cast<char16_t>(data[i] | high << 8);
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

}  // namespace kiv::registry
