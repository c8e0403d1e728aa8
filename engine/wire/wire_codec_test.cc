// The wire codec: exact bytes for a few values, every carried type through
// one socket, and a decoder that refuses what it cannot trust.
#include "engine/wire/wire_codec.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>

#include "engine/wire/socket_stream.h"
#include "engine/wire/wire_types.h"
#include "kiv/value.h"
#include "testing/raw_peer.h"
#include "testing/wait.h"

namespace kiv::testing {
namespace {

// Empty when refused. Values are compared by their encodings, which the
// exact-bytes cases pin down.
Bytes Encode(const VARIANT& value) {
  MemorySink sink;
  return WriteVariant(sink, value) ? sink.bytes() : Bytes();
}

// Hides how much has arrived, so that a large value's block grows step by
// step as its bytes are read.
struct PieceByPieceSource final : ByteSource {
  explicit PieceByPieceSource(ByteSource& source) : inner(source) {}
  bool ReadExact(void* buffer, std::size_t n) override { return inner.ReadExact(buffer, n); }
  ByteSource& inner;
};

// False unless the bytes are exactly one value; read whole or piece by piece.
bool Decode(const Bytes& bytes, Variant& out, bool pieceByPiece = false) {
  MemorySource source(bytes.data(), bytes.size());
  PieceByPieceSource pieces(source);
  return ReadVariant(pieceByPiece ? static_cast<ByteSource&>(pieces) : source, out.get()) &&
         source.remaining() == 0;
}

Variant Typed(VARTYPE vt, std::uint64_t bits) {
  Variant v;
  v->vt = vt;
  v->ullVal = bits;
  return v;
}

// Bounds dimension 1 first; `data` fills the data block.
Variant Array(VARTYPE type, std::vector<SAFEARRAYBOUND> bounds, const void* data = nullptr,
              std::size_t size = 0) {
  SAFEARRAY* array = SafeArrayCreate(type, static_cast<UINT>(bounds.size()), bounds.data());
  if (size > 0) std::memcpy(SafeArrayAccess(array).data(), data, size);
  return Variant::Adopt(array, type);
}

Variant Strings(std::vector<const char16_t*> texts) {
  Variant v = Array(VT_BSTR, {{static_cast<ULONG>(texts.size()), 0}});
  SafeArrayAccess access(v->parray);
  for (std::size_t i = 0; i < texts.size(); ++i) access.as<BSTR>()[i] = SysAllocString(texts[i]);
  return v;
}

Variant Items(std::vector<Variant> items) {
  Variant v = Array(VT_VARIANT, {{static_cast<ULONG>(items.size()), 0}});
  SafeArrayAccess access(v->parray);
  for (std::size_t i = 0; i < items.size(); ++i) access.as<VARIANT>()[i] = items[i].Detach();
  return v;
}

Variant Nest(int levels) {
  Variant v = Variant::I4(1);
  for (int i = 0; i < levels; ++i) v = Items({v});
  return v;
}

TEST(WireEncoding, ValuesHaveTheirExactBigEndianBytesAndDecodeBack) {
  const std::uint8_t bytes[] = {1, 2, 3};
  const std::int16_t cells[] = {1, 2, 3, 4, 5, 6};
  const struct {
    Variant value;
    const char* hex;
  } cases[] = {
      {Variant(), "00 00"},
      {Variant::Null(), "00 01"},
      {Typed(VT_I1, 0xfe), "00 10 fe"},
      {Typed(VT_UI2, 0xbeef), "00 12 be ef"},
      {Variant::I4(1), "00 03 00 00 00 01"},
      {Typed(VT_I8, 0x0102030405060708), "00 14 01 02 03 04 05 06 07 08"},
      {Variant::String(u"ab"), "00 08 00 00 00 02 00 61 00 62"},
      {Typed(VT_BSTR, 0), "00 08 00 00 00 00"},  // a null string
      // Bounds of the last dimension first, elements from the last; bytes in order.
      {Array(VT_I2, {{2, 1}, {3, -1}}, cells, sizeof cells),
       "20 02 00 00 00 02 ff ff ff ff 00 00 00 03 00 00 00 01 00 00 00 02 "
       "00 06 00 05 00 04 00 03 00 02 00 01"},
      {Array(VT_UI1, {{3, 0}}, bytes, sizeof bytes),
       "20 11 00 00 00 01 00 00 00 00 00 00 00 03 01 02 03"},
      {Strings({u"a", u"b"}),
       "20 08 00 00 00 01 00 00 00 00 00 00 00 02 00 00 00 01 00 62 00 00 00 01 00 61"},
      {Items({Variant::I4(1), Variant::Null()}),
       "20 0c 00 00 00 01 00 00 00 00 00 00 00 02 00 01 00 03 00 00 00 01"},
  };
  for (const auto& c : cases) {
    Variant back;
    EXPECT_EQ(Hex(Encode(*c.value)), c.hex);
    EXPECT_TRUE(Decode(FromHex(c.hex), back) && Hex(Encode(*back)) == c.hex) << c.hex;
  }
  // A by-reference bit is never sent, and dropped when a peer sends it.
  EXPECT_EQ(Hex(Encode(*Typed(VT_I4 | VT_BYREF, 7))), "");
  Variant back;
  EXPECT_TRUE(Decode(FromHex("40 03 00 00 00 07"), back) && back.vt() == VT_I4 && back->lVal == 7);
}

TEST(WireEncoding, RefusesValuesTheWireDoesNotCarry) {
  for (const int vt :
       std::initializer_list<int>{VT_CY, VT_DECIMAL, VT_DISPATCH, VT_UNKNOWN, VT_ERROR, VT_INT,
                                  VT_UINT, VT_VARIANT, 0x1003, 0x8003, VT_ARRAY | VT_CY}) {
    EXPECT_EQ(Hex(Encode(*Typed(vt, 0))), "") << vt;  // the payload is never touched
    EXPECT_FALSE(IsCarriedType(vt)) << vt;
  }
  EXPECT_EQ(Hex(Encode(*Nest(kMaxNesting + 1))), "");
  Variant mislabelled = Array(VT_UI1, {{4, 0}});  // a descriptor of another element size
  mislabelled->vt = VT_ARRAY | VT_R8;
  EXPECT_EQ(Hex(Encode(*mislabelled)), "");
}

// Every carried type, scalar and array, with awkward bits and bounds.
std::vector<Variant> CarriedValues() {
  std::vector<Variant> values;
  values.push_back(Variant());
  values.push_back(Variant::Null());
  using Bits = std::pair<VARTYPE, std::uint64_t>;
  for (auto [vt, bits] :
       {Bits{VT_I1, 0x80}, Bits{VT_UI1, 0xff}, Bits{VT_I2, 0x8000}, Bits{VT_UI2, 0xfffe},
        Bits{VT_BOOL, 0x1234}, Bits{VT_I4, 0x80000001}, Bits{VT_UI4, 0xfffffffe},
        Bits{VT_R4, 0x7fc00001}, Bits{VT_I8, 1ull << 63}, Bits{VT_UI8, ~1ull},
        Bits{VT_R8, 0x7ff0000000000001}, Bits{VT_DATE, 0xc0e0000000000001}}) {
    values.push_back(Typed(vt, bits));
    std::uint64_t cells[6];
    for (int i = 0; i < 6; ++i) cells[i] = bits * (i + 1) + i;
    values.push_back(Array(vt, {{3, -2}, {2, 7}}, cells, 6 * wire::FixedElementSize(vt)));
  }
  const std::int32_t one = 0x01020304;
  values.push_back(Array(VT_I4, std::vector<SAFEARRAYBOUND>(kMaxDimensions, {1, 3}), &one, 4));
  values.push_back(Variant::String(u"h\u00e9llo \U0001F600"));
  values.push_back(Strings({u"first", nullptr, u"third", u"fourth"}));
  values.push_back(Array(VT_BSTR, {{4, 1}, {0, 5}}));  // no elements
  values.push_back(Items({Items({Variant::I4(-5), Variant::String(u"x"), Array(VT_R8, {{0, 3}})}),
                          Variant::Bool(false), Items({})}));
  values.push_back(Nest(kMaxNesting));
  return values;
}

TEST(WireRoundTrip, EveryCarriedTypeComesBackThroughOneSharedSocket) {
  std::vector<Variant> values = CarriedValues();
  std::u16string text(40000, u'a');  // longer than what is read in one piece
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(i * 7919);
  values.push_back(Variant::String(text));
  // Larger than the socket holds, so they arrive while being read; the
  // integers leave in several byte-swapped chunks.
  std::vector<std::uint8_t> bytes(3 << 20);
  std::vector<std::int32_t> numbers(300000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 >> 8);
  for (std::size_t i = 0; i < numbers.size(); ++i) numbers[i] = static_cast<std::int32_t>(i * 7919);
  values.push_back(Array(VT_UI1, {{ULONG(bytes.size()), 0}}, bytes.data(), bytes.size()));
  values.push_back(Array(VT_I4, {{ULONG(numbers.size()), 0}}, numbers.data(), numbers.size() * 4));
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  Socket writer(ends[0]), reader(ends[1]);
  TestThread sender([&] {
    SocketStream stream(writer.get(), SocketStream::kDefaultCapacity);
    for (const Variant& value : values) EXPECT_TRUE(WriteVariant(stream, *value));
    EXPECT_EQ(stream.Write("\0\x08\0\0\0\x05\0a", 8), 8);  // the peer goes mid-value
    EXPECT_GE(stream.Flush(), 0);
    ::shutdown(writer.get(), SHUT_WR);
  });
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_TRUE(IsCarriedType(values[i].vt())) << i;
    // Each read takes exactly its value off the socket, or the next one fails.
    Variant back;
    EXPECT_TRUE(ReadVariant(reader.get(), back.get()) && Encode(*back) == Encode(*values[i])) << i;
    // Large elements end up where the kernel copies them fast.
    const SAFEARRAY* array = (back.vt() & VT_ARRAY) != 0 ? back->parray : nullptr;
    if (array != nullptr && array->rgsabound[0].cElements * array->cbElements >= 65536) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(array->pvData) % 4096, 4064u) << i;
    }
    EXPECT_TRUE(Decode(Encode(*values[i]), back) && Encode(*back) == Encode(*values[i])) << i;
    EXPECT_TRUE(Decode(Encode(*values[i]), back, true) && Encode(*back) == Encode(*values[i])) << i;
  }
  Variant cut = Variant::I4(3);
  EXPECT_FALSE(ReadVariant(reader.get(), cut.get()));
  EXPECT_EQ(cut.vt(), VT_EMPTY);
  char rest[4096];
  while (::recv(reader.get(), rest, sizeof rest, 0) > 0) continue;  // lets a failed run end
}

TEST(WireDecoding, RefusalsAndTruncationsLeaveAnEmptyValue) {
  std::vector<Bytes> refused;
  for (const char* hex : {
           "00 06 00 00 00 00 00 00 00 00",  // CY
           "00 0c 00 03 00 00 00 01",        // a VARIANT that is no array
           "00 09", "00 0e", "00 16 00 00 00 01", "10 03 00 00 00 01", "80 03 00 00 00 01",
           "00 08 55 55 55 56",                                                  // too long
           "20 03 00 00 00 00", "20 03 00 00 00 0b",                             // dimensions
           "20 11 00 00 00 02 00 00 00 00 00 01 00 00 00 00 00 00 00 01 00 00",  // 2^32 elements
           "20 06 00 00 00 01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00",  // CY elements
           "20 00 00 00 00 01 00 00 00 00 00 00 00 01",                          // EMPTY elements
           "20 0c 00 00 00 01 00 00 00 00 00 00 00 01",  // + the deepest value: one level more
       }) {
    refused.push_back(FromHex(hex));
  }
  const Bytes deepest = Encode(*Nest(kMaxNesting));
  refused.back().insert(refused.back().end(), deepest.begin(), deepest.end());
  for (const Variant& value : CarriedValues()) {
    const Bytes bytes = Encode(*value);
    for (std::size_t n = 0; n < bytes.size(); ++n) refused.emplace_back(&bytes[0], &bytes[n]);
  }
  for (const Bytes& bytes : refused) {
    Variant v = Variant::String(u"old");
    EXPECT_FALSE(Decode(bytes, v)) << Hex(bytes);
    EXPECT_EQ(v.vt(), VT_EMPTY) << Hex(bytes);
  }
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Samples the heap whenever the decoder asks for bytes, which is when a
// buffer sized from an announced count would already exist.
struct HeapWatchingSource final : ByteSource {
  explicit HeapWatchingSource(ByteSource& source) : inner(source) {}
  bool ReadExact(void* buffer, std::size_t n) override {
    peak = std::max(peak, HeapInUse());
    return inner.ReadExact(buffer, n);
  }
  std::size_t Available() const override { return inner.Available(); }
  ByteSource& inner;
  std::size_t peak = 0;
};

TEST(WireDecoding, MemoryFollowsTheBytesThatArriveAndFailuresFreeIt) {
  const Bytes text = StringBytes(std::u16string(300, u'x'));
  const Bytes two = Concat({U32Bytes(1), U32Bytes(0), U32Bytes(2)});  // one dimension of two
  const Bytes inputs[] = {
      // A string of 1.4 G units, 16 M doubles, strings and variants.
      FromHex("00 08 55 55 55 55 00 61 00 62 00 63 00 64"),
      FromHex("20 05 00 00 00 01 00 00 00 00 01 00 00 00 01 02 03 04 05 06"),
      FromHex("20 08 00 00 00 01 00 00 00 00 01 00 00 00 00 00 00 01 00 41"),
      FromHex("20 0c 00 00 00 01 00 00 00 00 01 00 00 00 00 03 00 00 00 01"),
      // Cut short after a string was allocated.
      Concat({U16Bytes(VT_BSTR), Bytes(text.begin(), text.end() - 1)}),
      Concat({U16Bytes(VT_ARRAY | VT_BSTR), two, text}),
      Concat({U16Bytes(VT_ARRAY | VT_VARIANT), two, U16Bytes(VT_BSTR), text}),
  };
  for (const Bytes& bytes : inputs) {
    const std::size_t before = HeapInUse();
    for (int i = 0; i < 1000; ++i) {
      MemorySource memory(bytes.data(), bytes.size());
      HeapWatchingSource source(memory);
      Variant v;
      ASSERT_FALSE(ReadVariant(source, v.get()));
      ASSERT_LT(source.peak, before + (1u << 20)) << Hex(bytes);
    }
    EXPECT_LT(HeapInUse(), before + 65536) << Hex(bytes);
  }
  // Over a socket too: 1 GiB of bytes announced, 10 sent.
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  Socket writer(ends[0]), reader(ends[1]);
  const Bytes announced = Concat(
      {U16Bytes(VT_ARRAY | VT_UI1), U32Bytes(1), U32Bytes(0), U32Bytes(1u << 30), Bytes(10, 7)});
  ASSERT_EQ(::send(writer.get(), announced.data(), announced.size(), 0), ssize_t(announced.size()));
  ::shutdown(writer.get(), SHUT_WR);
  const std::size_t before = HeapInUse();
  SocketSource fromSocket(reader.get());
  HeapWatchingSource source(fromSocket);
  Variant v;
  EXPECT_FALSE(ReadVariant(source, v.get()));
  EXPECT_LT(source.peak, before + (1u << 20));
}
#endif

// A reply wait begins with a wait instead of a receive; bytes already there
// are still taken, even once its deadline has passed, and only bytes that
// never came miss it.
TEST(WireDecoding, AReplyWaitTakesQueuedBytesPastItsDeadline) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  Socket writer(ends[0]), reader(ends[1]);
  const Bytes queued = U32Bytes(8);
  ASSERT_EQ(::send(writer.get(), queued.data(), queued.size(), 0), ssize_t(queued.size()));
  SocketSource in(reader.get(), SocketSource::Taking::kAsRead);
  in.AwaitBeforeNextReceive();
  in.SetDeadline(std::chrono::steady_clock::now() - std::chrono::seconds(1), 0);
  std::uint32_t value = 0;
  EXPECT_TRUE(ReadU32(in, value));
  EXPECT_EQ(value, 8u);
  EXPECT_FALSE(in.missedDeadline());
  EXPECT_FALSE(ReadU32(in, value));
  EXPECT_TRUE(in.missedDeadline());
}

}  // namespace
}  // namespace kiv::testing
