// Feeds arbitrary bytes to the value decoder. A value that decodes must
// re-encode, decode again to the same value, and encode to the same bytes.
#include <cstdint>
#include <cstdlib>

#include "engine/wire/wire_codec.h"
#include "kiv/value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kiv::MemorySource source(data, size);
  kiv::Variant value, copy;
  if (!kiv::ReadVariant(source, value.get())) {
    if (value.vt() != VT_EMPTY) std::abort();  // a failed read leaves nothing behind
    return 0;
  }
  kiv::MemorySink first, second;
  if (!kiv::WriteVariant(first, *value)) std::abort();
  kiv::MemorySource again(first.bytes().data(), first.bytes().size());
  if (!kiv::ReadVariant(again, copy.get()) || again.remaining() != 0) std::abort();
  if (!kiv::WriteVariant(second, *copy) || second.bytes() != first.bytes()) std::abort();
  return 0;
}
