// Feeds arbitrary text to the registry file parser. Text that parses must
// serialize to text that parses back to the same hive and serializes to the
// same text again.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "support/registry/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto hive = kiv::registry::ParseHive(text);
  if (!hive) return 0;
  const std::string first = kiv::registry::SerializeHive(*hive);
  const auto again = kiv::registry::ParseHive(first);
  if (!again || *again != *hive) std::abort();
  if (kiv::registry::SerializeHive(*again) != first) std::abort();
  return 0;
}
