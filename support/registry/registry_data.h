// Value data as CRegistry writes it (little-endian, as the registry stores
// it) and the views its reads take of any value's data. Reads use buffers
// of a fixed size and cut what does not fit, so no data can overrun them.
// Pure functions; nothing fails but allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::registry {

// The size of the string and binary read buffers.
constexpr std::size_t kReadBufferBytes = 2048;

std::vector<std::uint8_t> DwordData(std::uint32_t value);
// The UTF-16 units with their terminating zero, (length + 1) * 2 bytes.
std::vector<std::uint8_t> StringData(std::u16string_view text);

// The first 4 bytes as a little-endian number; bytes a shorter value lacks
// read as zero, bytes past the fourth are ignored.
std::uint32_t DataAsDword(std::span<const std::uint8_t> data);

// The data within the first `bufferBytes` bytes taken as zero-terminated
// UTF-16: the units before the first zero unit, or all of them (an odd last
// byte is a unit of its own) when there is none.
std::u16string DataAsText(std::span<const std::uint8_t> data, std::size_t bufferBytes);

}  // namespace kiv::registry
