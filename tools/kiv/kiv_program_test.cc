// Runs the built kiv program and checks what it prints and how it exits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/program_runner.h"

namespace {

using Outcome = kiv::testing::ProgramOutcome;

// Runs kiv with the arguments; standard input comes from `input`.
Outcome Kiv(const std::vector<std::string>& args, const std::string& input = "") {
  return kiv::testing::RunProgram(KIV_CLI_PATH, args, input);
}

TEST(KivProgram, EncodesAndDecodesTheWireExamples) {
  const struct {
    const char* value;
    const char* hex;
    const char* printed;
  } cases[] = {
      {"1", "00 03 00 00 00 01", "1"},
      {R"({"empty": null})", "00 00", R"({"empty":null})"},
      {"true", "00 0b ff ff", "true"},
      {R"("abc")", "00 08 00 00 00 03 00 61 00 62 00 63", R"("abc")"},
      {R"("")", "00 08 00 00 00 00", R"("")"},
      {R"({"i4[]": [1, 2, 3]})",
       "20 03 00 00 00 01 00 00 00 00 00 00 00 03 00 00 00 03 00 00 00 02 00 00 00 01",
       R"({"i4[]":[1,2,3]})"},
      {R"({"ui1[]": [1, 2, 3]})", "20 11 00 00 00 01 00 00 00 00 00 00 00 03 01 02 03",
       R"({"hex":"010203"})"},
      // Dimension 2 (lower bound 3, 1 element) goes before dimension 1.
      {R"({"array": "i2", "bounds": [[1, 2], [3, 1]], "data": [7, 8]})",
       "20 02 00 00 00 02 00 00 00 03 00 00 00 01 00 00 00 01 00 00 00 02 00 08 00 07",
       R"({"array":"i2","bounds":[[1,2],[3,1]],"data":[7,8]})"},
      {"[[1], 2]",
       "20 0c 00 00 00 01 00 00 00 00 00 00 00 02 00 03 00 00 00 02 "
       "20 0c 00 00 00 01 00 00 00 00 00 00 00 01 00 03 00 00 00 01",
       "[[1],2]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const Outcome encoded = Kiv({"encode", c.value});
    EXPECT_EQ(encoded.status, 0);
    EXPECT_EQ(encoded.out, std::string(c.hex) + "\n");
    EXPECT_EQ(encoded.err, "");
    const Outcome decoded = Kiv({"decode", c.hex});
    EXPECT_EQ(decoded.status, 0);
    EXPECT_EQ(decoded.out, std::string(c.printed) + "\n");
  }
  // Blanks are optional, the bytes may come from standard input, and the
  // by-reference bit is dropped.
  EXPECT_EQ(Kiv({"decode", "000300000001"}).out, "1\n");
  EXPECT_EQ(Kiv({"decode", "-"}, "00 0b\n00 00\n").out, "false\n");
  EXPECT_EQ(Kiv({"encode", "-"}, "[\n]\n").out, "20 0c 00 00 00 01 00 00 00 00 00 00 00 00\n");
  EXPECT_EQ(Kiv({"decode", "40 03 00 00 00 01"}).out, "1\n");
  EXPECT_EQ(Kiv({"decode", "60 11 00 00 00 01 00 00 00 00 00 00 00 01 ab"}).out,
            "{\"hex\":\"ab\"}\n");
}

TEST(KivProgram, DecodeRefusesBytesThatAreNotExactlyOneValue) {
  const struct {
    std::string hex;
    const char* problem;
  } cases[] = {
      {"20 03 00 00 00 00", "invalid"},                         // 0 dimensions
      {"20 03 00 00 00 0b" + std::string(88, '0'), "invalid"},  // 11 dimensions
      {"20 03 80 00 00 00 00 00 00 00 00 00 00 01 00 00 00 05", "invalid"},
      {"20 03 00 00 00 02 00 00 00 00 00 01 00 00 00 00 00 00 00 01 00 00", "invalid"},
      {"00 06 00 00 00 00 00 00 00 00", "invalid: the wire does not carry tag 0006"},  // CY
      {"00 0c 00 03 00 00 00 01", "does not carry tag 000c"},       // scalar VARIANT
      {"00 0e" + std::string(32, '0'), "does not carry tag 000e"},  // DECIMAL
      {"20 06 00 00 00 01 00 00 00 00 00 00 00 00", "does not carry tag 2006"},
      {"20 00 00 00 00 01 00 00 00 00 00 00 00 00", "does not carry tag 2000"},
      {"00 03 00 00", "truncated"},
      {"00 08 00 00 00 02 00 61", "truncated"},
      {"20 0c 00 00 00 01 00 00 00 00 00 00 00 02 00 00", "truncated"},
      {"00 00 00", "1 trailing byte after the value"},
      {"00 03 00 00 00 01 00 00", "2 trailing bytes after the value"},
      {"0g", "not hex"},
      {"0 1", "not hex"},  // a blank inside a byte
      {"", "no bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hex);
    const Outcome outcome = Kiv({"decode", c.hex});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_NE(outcome.err.find(std::string("kiv: decode: ")), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find(c.problem), std::string::npos) << outcome.err;
  }
}

// The notation's own messages are pinned by its unit test; here only their
// one-line form on standard error.
TEST(KivProgram, EncodeRefusesBadNotationInOneLine) {
  const Outcome outcome = Kiv({"encode", R"({"ui16": 1})"});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "kiv: value: unknown type name: ui16\n");
}

TEST(KivProgram, UsageErrorsExit2AndHelpExits0) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"--bogus", "encode", "1"},
           {"encode"},
           {"--directory", "host:0", "encode", "1"},
           {"--directory", ":29831", "encode", "1"},
           {"--name"},
       }) {
    const Outcome outcome = Kiv(args);
    EXPECT_EQ(outcome.status, 2) << ::testing::PrintToString(args);
    EXPECT_TRUE(outcome.err.starts_with("kiv: ")) << outcome.err;
  }
  const Outcome overview = Kiv({"--help"});
  EXPECT_EQ(overview.status, 0);
  EXPECT_NE(overview.out.find("encode VALUE"), std::string::npos);
  EXPECT_NE(overview.out.find("decode HEX"), std::string::npos);
  const Outcome encodeHelp = Kiv({"encode", "--help"});
  EXPECT_EQ(encodeHelp.status, 0);
  EXPECT_TRUE(encodeHelp.out.starts_with("usage: kiv encode VALUE\n")) << encodeHelp.out;
  EXPECT_EQ(Kiv({"--directory", "127.0.0.1:4000", "--name=probe", "encode", "1"}).status, 0);
}

}  // namespace
