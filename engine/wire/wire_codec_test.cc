#include "engine/wire/wire_codec.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cmath>
#include <thread>

#include "engine/wire/socket_stream.h"
#include "engine/wire/wire_test_util.h"
#include "engine/wire/wire_types.h"

namespace kiv {
namespace {

using testing::Bytes;
using testing::Decode;
using testing::Encode;
using testing::Hex;
using testing::MakeArray;
using testing::MakeVariantArray;
using testing::SameValue;

Variant Typed(VARTYPE vt, std::uint64_t bits) {
  Variant v;
  v->vt = vt;
  v->ullVal = bits;
  return v;
}

TEST(WireEncoding, ScalarsMatchTheByteExamples) {
  EXPECT_EQ(Hex(Encode(*Variant::I4(1))), "00 03 00 00 00 01");
  EXPECT_EQ(Hex(Encode(*Variant())), "00 00");
  EXPECT_EQ(Hex(Encode(*Variant::Null())), "00 01");
  EXPECT_EQ(Hex(Encode(*Variant::Bool(true))), "00 0b ff ff");
  EXPECT_EQ(Hex(Encode(*Variant::String(u"abc"))), "00 08 00 00 00 03 00 61 00 62 00 63");
  Variant nullString;
  nullString->vt = VT_BSTR;
  nullString->bstrVal = nullptr;
  EXPECT_EQ(Hex(Encode(*nullString)), "00 08 00 00 00 00");
  // 64-bit values go high half first.
  EXPECT_EQ(Hex(Encode(*Typed(VT_I8, 0x0102030405060708))), "00 14 01 02 03 04 05 06 07 08");
  EXPECT_EQ(Hex(Encode(*Variant::R8(1.0))), "00 05 3f f0 00 00 00 00 00 00");
  EXPECT_EQ(Hex(Encode(*Typed(VT_R4, 0x3f800000))), "00 04 3f 80 00 00");
  EXPECT_EQ(Hex(Encode(*Typed(VT_I1, 0xfe))), "00 10 fe");
  EXPECT_EQ(Hex(Encode(*Typed(VT_UI2, 0xbeef))), "00 12 be ef");
}

TEST(WireEncoding, ArraysSendBoundsLastDimensionFirstAndElementsLastFirst) {
  const std::int32_t ints[] = {1, 2, 3};
  EXPECT_EQ(Hex(Encode(*MakeArray(VT_I4, {{3, 0}}, ints, sizeof ints))),
            "20 03 00 00 00 01 00 00 00 00 00 00 00 03 00 00 00 03 00 00 00 02 00 00 00 01");
  const std::uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(Hex(Encode(*MakeArray(VT_UI1, {{3, 0}}, bytes, sizeof bytes))),
            "20 11 00 00 00 01 00 00 00 00 00 00 00 03 01 02 03");
  // Dimension 1: lower bound 1, 2 elements; dimension 2: lower bound -1, 3.
  const std::int16_t cells[] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(Hex(Encode(*MakeArray(VT_I2, {{2, 1}, {3, -1}}, cells, sizeof cells))),
            "20 02 00 00 00 02 ff ff ff ff 00 00 00 03 00 00 00 01 00 00 00 02 "
            "00 06 00 05 00 04 00 03 00 02 00 01");
}

TEST(WireEncoding, RefusesValuesTheWireDoesNotCarry) {
  for (VARTYPE vt : std::initializer_list<VARTYPE>{VT_CY, VT_DECIMAL, VT_DISPATCH, VT_UNKNOWN,
                                                   VT_ERROR, VT_INT, VT_UINT, VT_VARIANT,
                                                   VARTYPE(VT_I4 | VT_BYREF), VARTYPE(0x1003)}) {
    Variant v;
    v->vt = vt;  // payload is never touched for these
    EXPECT_TRUE(Encode(*v).empty()) << "vt " << vt;
  }
  Variant noArray;
  noArray->vt = VT_ARRAY | VT_I4;
  noArray->parray = nullptr;
  EXPECT_TRUE(Encode(*noArray).empty());
  // A descriptor that disagrees with the declared element type.
  Variant mislabelled = MakeArray(VT_UI1, {{4, 0}});
  mislabelled->vt = VT_ARRAY | VT_R8;
  EXPECT_TRUE(Encode(*mislabelled).empty());
  EXPECT_TRUE(Encode(*MakeArray(VT_CY, {{1, 0}})).empty());
}

TEST(WireDecoding, ReadsTheByteExamplesBack) {
  Variant v;
  ASSERT_TRUE(Decode(Bytes("00 08 00 00 00 00"), v));
  ASSERT_EQ(v.vt(), VT_BSTR);
  EXPECT_NE(v->bstrVal, nullptr) << "an empty string arrives allocated";
  EXPECT_EQ(SysStringLen(v->bstrVal), 0u);

  ASSERT_TRUE(Decode(Bytes("20 03 00 00 00 01 00 00 00 00 00 00 00 03 00 00 00 03 00 00 00 02 "
                           "00 00 00 01"),
                     v));
  const std::int32_t ints[] = {1, 2, 3};
  EXPECT_TRUE(SameValue(*v, *MakeArray(VT_I4, {{3, 0}}, ints, sizeof ints)));

  // The by-reference bit is dropped: the value arrives by value.
  ASSERT_TRUE(Decode(Bytes("40 03 00 00 00 07"), v));
  EXPECT_EQ(v.vt(), VT_I4);
  EXPECT_EQ(v->lVal, 7);
}

TEST(WireDecoding, RefusalsLeaveAnEmptyValue) {
  const char* refused[] = {
      "00 06 00 00 00 00 00 00 00 00",  // CY
      "00 0c 00 03 00 00 00 01",        // scalar VARIANT
      "00 09",
      "00 0a 00 00 00 00",
      "00 0d",
      "00 0e",
      "00 16 00 00 00 01",
      "00 17 00 00 00 01",
      "20 03 00 00 00 00",                                                  // zero dimensions
      "20 03 00 00 00 0b",                                                  // eleven
      "20 03 80 00 00 00",                                                  // 0x80000000
      "20 11 00 00 00 02 00 00 00 00 00 01 00 00 00 00 00 00 00 01 00 00",  // 65536*65536
      "20 06 00 00 00 01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00",  // CY elements
      "20 00 00 00 00 01 00 00 00 00 00 00 00 01",                          // EMPTY elements
      "10 03 00 00 00 01",                                                  // VT_VECTOR
  };
  for (const char* hex : refused) {
    Variant v = Variant::String(u"old");
    EXPECT_FALSE(Decode(Bytes(hex), v)) << hex;
    EXPECT_EQ(v.vt(), VT_EMPTY) << hex;
  }
}

TEST(WireDecoding, ZeroCountArraysCarryNoElements) {
  Variant v;
  ASSERT_TRUE(
      Decode(Bytes("20 08 00 00 00 02 00 00 00 05 00 00 00 00 00 00 00 01 00 00 00 04"), v));
  ASSERT_EQ(v.vt(), VT_ARRAY | VT_BSTR);
  LONG lb = 0, ub = 0;
  EXPECT_EQ(SafeArrayGetLBound(v->parray, 2, &lb), S_OK);
  EXPECT_EQ(lb, 5);
  EXPECT_EQ(SafeArrayGetUBound(v->parray, 1, &ub), S_OK);
  EXPECT_EQ(ub, 4);
}

// Every carried type, as scalar and as array, with awkward bit patterns.
std::vector<Variant> CarriedValues() {
  std::vector<Variant> values;
  values.push_back(Variant());
  values.push_back(Variant::Null());
  for (auto [vt, bits] :
       std::initializer_list<std::pair<VARTYPE, std::uint64_t>>{{VT_I1, 0x80},
                                                                {VT_UI1, 0xff},
                                                                {VT_I2, 0x8000},
                                                                {VT_UI2, 0xffff},
                                                                {VT_BOOL, 0x1234},
                                                                {VT_I4, 0x80000000},
                                                                {VT_UI4, 0xfffffffe},
                                                                {VT_R4, 0x7fc00001},
                                                                {VT_I8, 1ull << 63},
                                                                {VT_UI8, ~0ull},
                                                                {VT_R8, 0x7ff0000000000001},
                                                                {VT_DATE, 0xc0e0000000000000}}) {
    values.push_back(Typed(vt, bits));
    std::uint64_t cells[6];
    for (int i = 0; i < 6; ++i) cells[i] = bits * (i + 1) + i;
    values.push_back(MakeArray(vt, {{3, -2}, {2, 7}}, cells, 6 * wire::FixedElementSize(vt)));
  }
  values.push_back(Variant::String(u"h\u00e9llo \U0001F600"));
  Variant strings = MakeArray(VT_BSTR, {{2, 0}, {1, 3}});
  SafeArrayAccess access(strings->parray);
  access.as<BSTR>()[0] = SysAllocString(u"first");
  values.push_back(std::move(strings));  // second element stays null
  return values;
}

TEST(WireRoundTrip, EveryCarriedTypeSurvivesASocket) {
  for (const Variant& value : CarriedValues()) {
    testing::SocketPair pair;
    SocketStream stream(pair.writer(), SocketStream::kDefaultCapacity);
    ASSERT_TRUE(WriteVariant(stream, *value)) << "vt " << value.vt();
    ASSERT_GE(stream.Flush(), 0);
    Variant back;
    ASSERT_TRUE(ReadVariant(pair.reader(), back.get())) << "vt " << value.vt();
    if (value.vt() == (VT_ARRAY | VT_BSTR)) {
      // A null element arrives as an allocated empty string.
      SafeArrayAccess access(back->parray);
      EXPECT_NE(access.as<BSTR>()[1], nullptr);
    }
    EXPECT_TRUE(SameValue(*value, *back)) << "vt " << value.vt();
  }
}

TEST(WireRoundTrip, NestedVariantArraysKeepEveryLevel) {
  std::vector<Variant> inner;
  inner.push_back(Variant::I4(-5));
  inner.push_back(Variant::String(u"x"));
  inner.push_back(MakeArray(VT_R8, {{0, 3}}));
  std::vector<Variant> outer;
  outer.push_back(MakeVariantArray(std::move(inner)));
  outer.push_back(Variant::Bool(false));
  outer.push_back(MakeVariantArray({}));
  Variant tree = MakeVariantArray(std::move(outer));
  Variant back;
  ASSERT_TRUE(Decode(Encode(*tree), back));
  EXPECT_TRUE(SameValue(*tree, *back));
}

Variant Nest(int levels) {
  Variant v = Variant::I4(1);
  for (int i = 0; i < levels; ++i) {
    std::vector<Variant> one;
    one.push_back(std::move(v));
    v = MakeVariantArray(std::move(one));
  }
  return v;
}

TEST(WireRoundTrip, NestingIsBoundedBothWays) {
  Variant deepest = Nest(kMaxNesting);
  const auto bytes = Encode(*deepest);
  Variant back;
  ASSERT_TRUE(Decode(bytes, back));
  EXPECT_TRUE(SameValue(*deepest, *back));
  EXPECT_TRUE(Encode(*Nest(kMaxNesting + 1)).empty());
  // The same depth forged by a peer: one more array level around it.
  std::vector<std::uint8_t> forged = Bytes("20 0c 00 00 00 01 00 00 00 00 00 00 00 01");
  forged.insert(forged.end(), bytes.begin(), bytes.end());
  EXPECT_FALSE(Decode(forged, back));
  EXPECT_EQ(back.vt(), VT_EMPTY);
}

TEST(WireDecoding, EveryTruncationFailsWithoutLeaking) {
  for (const Variant& value : CarriedValues()) {
    const auto bytes = Encode(*value);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
      Variant v;
      EXPECT_FALSE(Decode({bytes.begin(), bytes.begin() + cut}, v)) << cut;
      EXPECT_EQ(v.vt(), VT_EMPTY);
    }
  }
}

TEST(WireDecoding, PeerClosingMidValueFailsTheSocketRead) {
  Variant tree = MakeVariantArray([] {
    std::vector<Variant> items;
    for (int i = 0; i < 50; ++i) items.push_back(Variant::String(u"element"));
    return items;
  }());
  const auto bytes = Encode(*tree);
  for (std::size_t cut : {std::size_t{1}, std::size_t{5}, bytes.size() / 2, bytes.size() - 1}) {
    testing::SocketPair pair;
    pair.Send({bytes.begin(), bytes.begin() + cut});
    pair.CloseWriter();
    Variant v = Variant::I4(3);
    EXPECT_FALSE(ReadVariant(pair.reader(), v.get()));
    EXPECT_EQ(v.vt(), VT_EMPTY);
  }
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Samples the heap each time the decoder asks for bytes, which is when any
// buffer sized from an announced count would already exist.
class HeapWatchingSource final : public ByteSource {
 public:
  explicit HeapWatchingSource(std::vector<std::uint8_t> bytes)
      : bytes_(std::move(bytes)), inner_(bytes_.data(), bytes_.size()) {}
  bool ReadExact(void* buffer, std::size_t n) override {
    const struct mallinfo2 info = mallinfo2();
    peak_ = std::max(peak_, info.uordblks + info.hblkhd);
    return inner_.ReadExact(buffer, n);
  }
  std::size_t peak() const { return peak_; }

 private:
  std::vector<std::uint8_t> bytes_;
  MemorySource inner_;
  std::size_t peak_ = 0;
};

TEST(WireDecoding, AnnouncedSizesCostNothingUntilBytesArrive) {
  const char* hostile[] = {
      "00 08 55 55 55 55 00 61 00 62 00 63 00 64 00 65",              // 1.4 G units
      "20 11 00 00 00 01 00 00 00 00 ff ff ff ff 01 02 03 04 05 06",  // 4 G bytes
      "20 05 00 00 00 01 00 00 00 00 ff ff ff ff 01 02 03 04 05 06",  // 4 G doubles
      "20 08 00 00 00 01 00 00 00 00 ff ff ff ff 00 00 00 01 00 41",  // 4 G strings
      "20 0c 00 00 00 01 00 00 00 00 ff ff ff ff 00 03 00 00 00 01",  // 4 G variants
  };
  const struct mallinfo2 before = mallinfo2();
  for (const char* hex : hostile) {
    HeapWatchingSource source(Bytes(hex));
    Variant v;
    EXPECT_FALSE(ReadVariant(source, v.get())) << hex;
    EXPECT_LT(source.peak(), before.uordblks + before.hblkhd + (1u << 20)) << hex;
  }
}
#endif

TEST(WireDecoding, LargeByteArraysArriveWhole) {
  std::vector<std::uint8_t> data(3 * 1024 * 1024 + 7);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31);
  Variant value =
      MakeArray(VT_UI1, {{static_cast<ULONG>(data.size()), 0}}, data.data(), data.size());
  testing::SocketPair pair;
  std::thread writer([&] {
    SocketStream stream(pair.writer(), SocketStream::kDefaultCapacity);
    EXPECT_TRUE(WriteVariant(stream, *value));
    EXPECT_GE(stream.Flush(), 0);
  });
  Variant back;
  EXPECT_TRUE(ReadVariant(pair.reader(), back.get()));
  writer.join();
  EXPECT_TRUE(SameValue(*value, *back));
}

}  // namespace
}  // namespace kiv
