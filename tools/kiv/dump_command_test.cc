// Runs the built kiv program's dump command and checks its bytes and status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/program_runner.h"

namespace {

using kiv::testing::RunProgram;

std::string Dump(const std::vector<std::string>& args) {
  std::vector<std::string> all{"dump"};
  all.insert(all.end(), args.begin(), args.end());
  return RunProgram(KIV_CLI_PATH, all).out;
}

TEST(KivDump, PrintsTheDumpBytesAsTheyAre) {
  const auto nested =
      RunProgram(KIV_CLI_PATH, {"dump", R"([5, true, ["é😀"], {"date": "2023-03-15T12:00:00Z"}])"});
  EXPECT_EQ(nested.status, 0);
  EXPECT_EQ(nested.out,
            "Dumping value:   <var vt=\"VT_ARRAY|VT_VARIANT\" count=\"4\">\r\n"
            "    <var vt=\"VT_I4\">5</var>\r\n"
            "    <var vt=\"VT_BOOL\">TRUE</var>\r\n"
            "    <var vt=\"VT_ARRAY|VT_VARIANT\" count=\"1\">\r\n"
            "      <var vt=\"VT_BSTR\">é😀</var>\r\n"
            "    </var>\r\n"
            "    <var vt=\"VT_DATE\">2023-03-15 12:00:00</var>\r\n"
            "  </var>\r\n");
  EXPECT_EQ(Dump({"--title", "Ping reply", R"({"i2[]": [-1]})"}),
            "Dumping Ping reply:   <var vt=\"VT_ARRAY|VT_I2\" count=\"1\">\r\n"
            "  <var vt=\"VT_I2\">-1</var>\r\n  </var>\r\n");
  EXPECT_EQ(Dump({"--title=", "--", "-2.5"}), "Dumping :   <var vt=\"VT_R8\">-2.500000</var>\r\n");
}

TEST(KivDump, BadNotationAndUsageExit2) {
  const auto bad = RunProgram(KIV_CLI_PATH, {"dump", R"({"i2": 70000})"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err, "kiv: value: i2 out of range: 70000\n");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"dump"}, {"dump", "1", "--title"}, {"dump", "--bogus", "1"}}) {
    const auto outcome = RunProgram(KIV_CLI_PATH, args);
    EXPECT_EQ(outcome.status, 2) << ::testing::PrintToString(args);
    EXPECT_TRUE(outcome.err.starts_with("kiv: ")) << outcome.err;
  }
  EXPECT_EQ(RunProgram(KIV_CLI_PATH, {"dump", "--help"}).status, 0);
}

}  // namespace
