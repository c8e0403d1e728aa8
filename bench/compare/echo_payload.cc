#include "bench/compare/echo_payload.h"

#include <algorithm>

namespace kiv::compare {

namespace {

constexpr std::size_t kStampBytes = 8;

std::uint8_t PatternByte(std::size_t index) {
  return static_cast<std::uint8_t>(index * 131 + 17);
}

std::uint8_t StampByte(std::uint64_t sequence, std::size_t index) {
  return static_cast<std::uint8_t>(sequence >> (8 * index));
}

}  // namespace

void FillPattern(std::span<std::uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = PatternByte(i);
  Stamp(bytes, 0);
}

void Stamp(std::span<std::uint8_t> bytes, std::uint64_t sequence) {
  const std::size_t n = std::min(bytes.size(), kStampBytes);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = StampByte(sequence, i);
}

const char* CheckEcho(std::span<const std::uint8_t> echo, std::size_t size,
                      std::uint64_t sequence) {
  if (echo.size() != size) return "wrong echo: size";
  const std::size_t stamped = std::min(size, kStampBytes);
  for (std::size_t i = 0; i < stamped; ++i) {
    if (echo[i] != StampByte(sequence, i)) return "wrong echo: sequence stamp";
  }
  for (const std::size_t i : {size / 2, size - 1}) {
    if (i >= stamped && i < size && echo[i] != PatternByte(i)) return "wrong echo: payload bytes";
  }
  return nullptr;
}

}  // namespace kiv::compare
