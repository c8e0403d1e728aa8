#include "tests/hostile/giant_messages.h"

#include "engine/wire/wire_codec.h"
#include "kiv/oleaut.h"
#include "testing/raw_peer.h"

namespace kiv::hostile {
namespace {

using kiv::testing::Concat;
using kiv::testing::StringBytes;
using kiv::testing::U16Bytes;
using kiv::testing::U32Bytes;

constexpr std::uint32_t kTwoGiBOfUnits = 0x40000000;
constexpr std::uint32_t kFourGi = 0xFFFFFFFF;
constexpr std::size_t kTrickleBytes = 256;

Bytes Repeated(const Bytes& unit, std::size_t bytes) {
  Bytes all;
  while (all.size() < bytes) all.insert(all.end(), unit.begin(), unit.end());
  return all;
}

// A request up to its argument's type word.
Bytes RequestUpToArgument(VARTYPE type) {
  return Concat({U16Bytes(0), StringBytes(u"giant"), StringBytes(u"Echo"), U16Bytes(type)});
}

// One dimension: lower bound 0, then the count.
Bytes OneDimension(std::uint32_t count) {
  return Concat({U32Bytes(1), U32Bytes(0), U32Bytes(count)});
}

}  // namespace

std::vector<GiantMessage> GiantMessages() {
  const Bytes letters = Repeated({0x00, 0x61}, kTrickleBytes);
  const Bytes smallVariants = Repeated(Concat({U16Bytes(VT_I2), U16Bytes(1)}), kTrickleBytes);
  const Bytes emptyStrings = Repeated(U32Bytes(0), kTrickleBytes);
  std::vector<GiantMessage> messages;
  messages.push_back(
      {"2 GiB caller string", Concat({U16Bytes(0), U32Bytes(kTwoGiBOfUnits)}), letters});
  messages.push_back(
      {"longest caller string, 64 KiB of it sent",
       Concat({U16Bytes(0), U32Bytes(kiv::kMaxStringUnits), Repeated({0x00, 0x61}, 64 * 1024)}),
       letters});
  messages.push_back({"4 Gi byte array",
                      Concat({RequestUpToArgument(VT_ARRAY | VT_UI1), OneDimension(kFourGi)}),
                      Repeated({0x01}, kTrickleBytes)});
  messages.push_back({"4 Gi variant array",
                      Concat({RequestUpToArgument(VT_ARRAY | VT_VARIANT), OneDimension(kFourGi)}),
                      smallVariants});
  messages.push_back({"4 Gi string array",
                      Concat({RequestUpToArgument(VT_ARRAY | VT_BSTR), OneDimension(kFourGi)}),
                      emptyStrings});
  messages.push_back({"65535 x 65535 double array",
                      Concat({RequestUpToArgument(VT_ARRAY | VT_R8), U32Bytes(2), U32Bytes(0),
                              U32Bytes(0xFFFF), U32Bytes(0), U32Bytes(0xFFFF)}),
                      Repeated({0x3f}, kTrickleBytes)});
  messages.push_back({"4 Gi variant array opening with a 2 GiB string",
                      Concat({RequestUpToArgument(VT_ARRAY | VT_VARIANT), OneDimension(kFourGi),
                              U16Bytes(VT_BSTR), U32Bytes(kTwoGiBOfUnits)}),
                      letters});
  return messages;
}

}  // namespace kiv::hostile
