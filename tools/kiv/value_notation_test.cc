#include "tools/kiv/value_notation.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/wire/byte_io.h"
#include "engine/wire/wire_codec.h"
#include "tools/kiv/ole_date.h"

namespace kiv::cli {
namespace {

// The wire form holds every bit of a value, so equal bytes mean equal type,
// bits and shape.
std::vector<std::uint8_t> WireBytes(const VARIANT& value) {
  MemorySink sink;
  EXPECT_TRUE(WriteVariant(sink, value));
  return sink.bytes();
}

Variant WithBits(VARTYPE vt, std::uint64_t bits) {
  Variant value;
  value->vt = vt;
  value->ullVal = bits;
  return value;
}

// Parses, prints (canonically) and parses the print again into the
// identical value.
void ExpectRoundTrip(const std::string& text, const std::string& printed) {
  const Variant first = ParseValue(text);
  EXPECT_EQ(FormatValue(*first), printed) << text;
  EXPECT_EQ(WireBytes(*ParseValue(FormatValue(*first))), WireBytes(*first)) << text;
}

// Texts already in their shortest form print as themselves.
TEST(ValueNotation, EveryTypeRoundTripsInItsShortestForm) {
  // clang-format off
  const char* shortest[] = {
      "null", "false", "[]", R"("")", "-2147483648", "-0.0", R"({"i1":-128})", R"({"ui1":255})",
      R"({"i2":-32768})", R"({"ui2":65535})", R"({"ui4":4294967295})",
      R"({"i8":-9007199254740992})", R"({"i8":"-9223372036854775808"})", R"({"r4":0.1})",
      R"({"r4":-3.4028235e+38})", R"({"r4":"0x7f800001"})", R"({"r8":"-inf"})", R"({"bool":1})", R"({"bstr":[97,56832]})",
      "\"a\\u0000\xF0\x9F\x98\x80\"", R"({"i2[]":[1,-2]})", R"({"bool[]":[true,2]})",
      R"({"hex":""})", R"({"ui8[]":[1,"18446744073709551615"]})",
      R"({"array":"bstr","bounds":[[3,2]],"data":["a","b"]})",
      R"({"array":"i4","bounds":[[2147483647,1]],"data":[1]})",
      R"({"array":"ui1","bounds":[[0,1],[0,2]],"data":[9,8]})",
      R"({"array":"r8","bounds":[[0,0],[1,3]],"data":[]})",
      (R"({"array":"i2","bounds":[[-5,2],[1,1],[0,1],[7,1],[2,2],[0,1],[0,1],[0,1],[0,1],)"
       R"([100,2]],"data":[1,2,3,4,5,6,7,8]})"),
      R"([[1,[2,"x"]],{"array":"variant","bounds":[[1,2]],"data":[null,{"i2[]":[1]}]}])"};
  for (const char* text : shortest) ExpectRoundTrip(text, text);
  // The print names the type wherever plain JSON would read back another
  // one, so these rows also pin the type each text is read as.
  const std::pair<const char*, const char*> cases[] = {
      {"2147483648", R"({"i8":2147483648})"}, {"-0", "0"}, {"1e3", "1000.0"},
      {"9223372036854775807", R"({"i8":"9223372036854775807"})"},
      {R"({"empty": null})", R"({"empty":null})"}, {R"({"bool": 65535})", "true"},
      {R"({"i8": 9007199254740993})", R"({"i8":"9007199254740993"})"},
      {R"({"ui8": 18446744073709551615})", R"({"ui8":"18446744073709551615"})"},
      {R"({"date": 36526})", R"({"date":"2000-01-01T00:00:00Z"})"},
      {R"({"date": -1.25})", R"({"date":"1899-12-29T06:00:00Z"})"},
      {R"({"date": 0.123456789})", R"({"date":0.123456789})"},
      {R"({"date": -0.5})", R"({"date":-0.5})"}, {R"({"ui1[]": [1, 2]})", R"({"hex":"0102"})"},
      {R"({"bstr": [55357, 56832]})", "\"\xF0\x9F\x98\x80\""},
      {R"({"r8[]": ["nan", 1]})", R"({"r8[]":["nan",1.0]})"}};
  // clang-format on
  for (const auto& [text, printed] : cases) ExpectRoundTrip(text, printed);
}

TEST(ValueNotation, RealsKeepEveryBitPattern) {
  std::vector<std::uint64_t> patterns = {0x8000000000000000, 0xFFF0000000000000, 0x7FF0000000000001,
                                         0xFFF8000000000000, 0x0000000000000001};
  std::mt19937_64 random(29831);
  for (int i = 0; i < 20000; ++i) patterns.push_back(random());
  for (const std::uint64_t bits : patterns) {
    const auto narrow = static_cast<std::uint32_t>(bits >> 32 ^ bits);
    for (const Variant& value :
         {WithBits(VT_R8, bits), WithBits(VT_DATE, bits), WithBits(VT_R4, narrow)}) {
      const std::string text = FormatValue(*value);
      ASSERT_EQ(WireBytes(*ParseValue(text)), WireBytes(*value)) << text;
    }
  }
  // The largest float is read; 1e39 is refused.
  EXPECT_EQ(WireBytes(*ParseValue(R"({"r4":-3.4028234663852886e38})")),
            WireBytes(*WithBits(VT_R4, 0xFF7FFFFF)));
}

TEST(ValueNotation, ArraysKeepTheirDataBlockOrderAndNestingLimit) {
  const Variant value =
      ParseValue(R"({"array":"i4","bounds":[[-1,2],[5,3]],"data":[1,2,3,4,5,6]})");
  // Dimension 1 varies fastest: (0, 5) is the second item, (-1, 7) the fifth.
  for (const auto& [indices, expected] :
       {std::pair{std::vector<LONG>{0, 5}, 2}, std::pair{std::vector<LONG>{-1, 7}, 5}}) {
    LONG element = 0;
    ASSERT_EQ(SafeArrayGetElement(value->parray, indices.data(), &element), S_OK);
    EXPECT_EQ(element, expected);
  }
  // As deep as the wire carries, and not one level deeper.
  const std::string deepest = std::string(kMaxNesting, '[') + std::string(kMaxNesting, ']');
  ExpectRoundTrip(deepest, deepest);
  EXPECT_THROW(ParseValue("[" + deepest + "]"), NotationError);
}

TEST(ValueNotation, IsoDatesCountDaysFrom1899_12_30) {
  const std::pair<const char*, double> dates[] = {
      {"1899-12-30T00:00:00Z", 0.0},
      {"1900-01-01T18:00:00Z", 2.75},
      {"2000-01-01T12:00:00.5Z", 36526 + 43200.5 / 86400},
      {"2024-02-29T23:59:59.999Z", 45351 + 86399999.0 / 86400000},
      // Before the epoch the time of day is subtracted from the negative day.
      {"1800-01-01T12:00:00Z", -36522.5}};
  for (const auto& [text, date] : dates) EXPECT_EQ(DateFromIso8601(text), date) << text;
  EXPECT_EQ(DateToIso8601(36526 + 43200.5 / 86400), "2000-01-01T12:00:00.500Z");
  EXPECT_EQ(DateToIso8601(-36522.5), "1800-01-01T12:00:00Z");
  EXPECT_EQ(DateToIso8601(DateFromIso8601("9999-12-31T23:59:59.999Z").value()),
            "9999-12-31T23:59:59.999Z");
  EXPECT_EQ(DateToIso8601(-693960), std::nullopt);  // year -1
  EXPECT_EQ(FormatValue(*ParseValue(R"({"date[]": ["2000-01-01T00:00:00Z"]})"), DateForm::kNumber),
            R"({"date[]":[36526.0]})");
  for (const char* bad : {"2023-02-29T00:00:00Z", "2024-01-01T24:00:00Z", "2024-01-01T00:00:60Z",
                          "2024-01-01T00:00:00", "2024-01-01T00:00:00.1234Z", "2024-1-01T00:00:00Z",
                          "2024-13-01T00:00:00Z", "2024-01-00T00:00:00Z", "2024-00-01T00:00:00Z"}) {
    EXPECT_EQ(DateFromIso8601(bad), std::nullopt) << bad;
  }
}

// {text, the message; null: refused by the JSON reader}.
TEST(ValueNotation, RefusesBadNotationNamingTheProblem) {
  // clang-format off
  const std::pair<const char*, const char*> cases[] = {
      {R"({"ui8": -1})", "ui8 out of range: -1"}, {R"({"cy[]": []})", "unknown type name: cy"},
      {R"({"i8": "9223372036854775808"})", R"(i8 out of range: "9223372036854775808")"},
      {R"({"i8": "12a"})", R"(i8 takes an integer or a decimal string, got "12a")"},
      {"9223372036854775808", "integer out of range: 9223372036854775808"},
      {"[100000000000000000000]", "integer out of range: 100000000000000000000"},
      {R"({"i4": 1.5})", "i4 takes an integer, got 1.5"},
      {R"({"r4": 1e39})", "r4 out of range: 1e+39"},
      {R"({"r4": 3.4028235677973366e38})", "r4 out of range: 3.4028235677973366e+38"},
      {R"(["x", ["y", {"bstr[]": ["z", 5]}]])",
       "bstr takes a string or an array of UTF-16 units, got 5"},
      {R"({"hex": "abc"})", R"(hex takes a string of hex digits, got "abc")"},
      {R"({"i4": 1, "i2": 2})", R"(an object form holds one type name, got {"i4":1,"i2":2})"},
      {R"({"i4": 1, "i4": 2})", R"(repeated key "i4")"},
      {R"({"array":"i4","bounds":[[0,2],[0,3]],"data":[1,2,3,4,5]})",
       "bounds give 6 elements but data has 5"},
      {R"({"array":"i4","bounds":[],"data":[]})", "bounds lists no dimension"},
      {R"({"array":"i4","bounds":[[0,1],[0,1],[0,1],[0,1],[0,1],[0,1],[0,1],[0,1],[0,1],[0,1],)"
       R"([0,1]],"data":[1]})", "more than 10 dimensions: 11"},
      {R"({"array":"i4","bounds":[[0,1,2]],"data":[1]})",
       "bounds takes [lower bound, count] pairs, got [0,1,2]"},
      {R"({"array":"i4","bounds":[[0,65536],[0,65536]],"data":[]})",
       "element count overflow: the counts multiply past 4294967295"},
      {R"({"array":"i4","bounds":[[2147483647,2]],"data":[1,2]})",
       "upper bound out of range: [2147483647,2]"},
      {R"({"array":"i4","bounds":[[0,1]],"data":[1],"size":1})",
       R"(unknown key in an array form: "size")"},
      {"[1,", nullptr}, {"\"\xC0\xAF\"", nullptr}, {"\"\\ud800\"", nullptr}, {"1 2", nullptr}};
  // clang-format on
  for (const auto& [text, message] : cases) {
    try {
      ParseValue(text);
      ADD_FAILURE() << "accepted " << text;
    } catch (const NotationError& e) {
      if (message != nullptr) {
        EXPECT_EQ(std::string(e.what()), message) << text;
      }
    }
  }
}

}  // namespace
}  // namespace kiv::cli
