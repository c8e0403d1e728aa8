// Feeds arbitrary bytes to the registry file parser, as they are and
// re-saved in the other forms store files come in (UTF-16LE with its mark,
// REGEDIT4 in code page 1252), so that mutations of any seed reach every
// decoder. A file that parses must serialize, in its own form, to bytes that
// parse back to the same file and serialize to the same bytes again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "support/registry/registry_file.h"

namespace {

using kiv::registry::StoreFile;

void CheckRoundTrip(std::string_view bytes) {
  const auto file = kiv::registry::ParseStoreFile(bytes);
  if (!file) return;
  const auto first = kiv::registry::SerializeStoreFile(*file);
  if (!first) std::abort();  // whatever was read can be written back
  const auto again = kiv::registry::ParseStoreFile(*first);
  if (!again || again->form != file->form || again->hive != file->hive ||
      again->otherSections != file->otherSections) {
    std::abort();
  }
  if (kiv::registry::SerializeStoreFile(*again) != first) std::abort();
}

std::string AsUtf16Le(std::string_view bytes) {
  std::string out = "\xFF\xFE";
  for (const char byte : bytes) out.append({byte, '\0'});
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckRoundTrip(bytes);
  if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("REGEDIT4")) return 0;
  // Each byte as a UTF-16 unit, and the text under the other header.
  CheckRoundTrip(AsUtf16Le(bytes));
  const std::string_view header = kiv::registry::kFileHeader;
  if (bytes.starts_with(header)) {
    CheckRoundTrip(std::string(kiv::registry::kRegedit4Header) +
                   std::string(bytes.substr(header.size())));
  }
  return 0;
}
