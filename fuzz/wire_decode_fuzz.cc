// Feeds arbitrary bytes to the value decoder. A value that decodes must
// re-encode, decode again to the same value, and encode to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/wire/wire_codec.h"
#include "kiv/value.h"

namespace {

std::vector<std::uint8_t> EncodeOrDie(const VARIANT& value) {
  kiv::MemorySink sink;
  if (!kiv::WriteVariant(sink, value)) std::abort();
  return sink.bytes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kiv::MemorySource source(data, size);
  kiv::Variant value;
  if (!kiv::ReadVariant(source, value.get())) {
    if (value.vt() != VT_EMPTY) std::abort();
    return 0;
  }
  const auto first = EncodeOrDie(*value);
  kiv::MemorySource again(first.data(), first.size());
  kiv::Variant copy;
  if (!kiv::ReadVariant(again, copy.get()) || again.remaining() != 0) std::abort();
  if (EncodeOrDie(*copy) != first) std::abort();
  return 0;
}
