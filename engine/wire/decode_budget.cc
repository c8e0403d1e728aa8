#include "engine/wire/decode_budget.h"

namespace kiv {

bool DecodeBudget::Take(std::uint64_t bytes) {
  std::uint64_t now = taken_.load();
  do {
    if (bytes > limit_ || now > limit_ - bytes) return false;
  } while (!taken_.compare_exchange_weak(now, now + bytes));
  return true;
}

}  // namespace kiv
