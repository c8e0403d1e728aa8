#include "support/oleaut/array_placement.h"

#include <cstdint>

namespace kiv::oleaut {
namespace {

constexpr std::size_t kPageBytes = 4096;
constexpr std::size_t kPageOffset = kPageBytes - 32;

}  // namespace

std::size_t AllocationBytes(std::size_t bytes) {
  return bytes < kPlacedDataBytes ? bytes : bytes + kPageBytes;
}

std::size_t PlacementShift(const void* base, std::size_t bytes) {
  if (bytes < kPlacedDataBytes) return 0;
  const std::size_t at = reinterpret_cast<std::uintptr_t>(base) % kPageBytes;
  return (kPageOffset + kPageBytes - at) % kPageBytes;
}

}  // namespace kiv::oleaut
