// Runs the built kiv program's dump command and checks its bytes and status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Outcome {
  int status = -1;
  std::string output;  // standard output and standard error
};

// `args` is shell text: quote JSON in single quotes.
Outcome Kiv(const std::string& args) {
  Outcome outcome;
  FILE* pipe = popen((std::string(KIV_CLI_PATH) + " " + args + " 2>&1 </dev/null").c_str(), "r");
  if (pipe == nullptr) return outcome;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    outcome.output.append(buffer, n);
  const int status = pclose(pipe);
  if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
  return outcome;
}

TEST(KivDump, PrintsTheDumpBytesAsTheyAre) {
  const Outcome nested = Kiv(R"(dump '[5, true, ["é😀"], {"date": "2023-03-15T12:00:00Z"}]')");
  EXPECT_EQ(nested.status, 0);
  EXPECT_EQ(nested.output,
            "Dumping value:   <var vt=\"VT_ARRAY|VT_VARIANT\" count=\"4\">\r\n"
            "    <var vt=\"VT_I4\">5</var>\r\n"
            "    <var vt=\"VT_BOOL\">TRUE</var>\r\n"
            "    <var vt=\"VT_ARRAY|VT_VARIANT\" count=\"1\">\r\n"
            "      <var vt=\"VT_BSTR\">é😀</var>\r\n"
            "    </var>\r\n"
            "    <var vt=\"VT_DATE\">2023-03-15 12:00:00</var>\r\n"
            "  </var>\r\n");
  EXPECT_EQ(Kiv(R"(dump --title 'Ping reply' '{"i2[]": [-1]}')").output,
            "Dumping Ping reply:   <var vt=\"VT_ARRAY|VT_I2\" count=\"1\">\r\n"
            "  <var vt=\"VT_I2\">-1</var>\r\n  </var>\r\n");
  EXPECT_EQ(Kiv("dump --title= -- -2.5").output,
            "Dumping :   <var vt=\"VT_R8\">-2.500000</var>\r\n");
}

TEST(KivDump, BadNotationAndUsageExit2) {
  const Outcome bad = Kiv(R"(dump '{"i2": 70000}')");
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.output, "kiv: value: i2 out of range: 70000\n");
  for (const char* args : {"dump", "dump 1 --title", "dump --bogus 1"}) {
    const Outcome outcome = Kiv(args);
    EXPECT_EQ(outcome.status, 2) << args;
    EXPECT_TRUE(outcome.output.starts_with("kiv: ")) << outcome.output;
  }
  EXPECT_EQ(Kiv("dump --help").status, 0);
}

}  // namespace
