// Runs the built kiv program's typelib command and checks the IDL it prints.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/program_runner.h"

namespace {

using kiv::testing::RunProgram;

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(KivTypelibTest, PrintsTheLibraryAsIdl) {
  auto outcome = RunProgram(KIV_CLI_PATH, {"typelib"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  const std::string& idl = outcome.out;
  EXPECT_EQ(idl.rfind("[\n  uuid(DBB51DCD-B578-4C44-A7FA-F46C6CD91383),\n  version(1.0),", 0), 0u)
      << idl;
  EXPECT_NE(idl.find("library KIVLib\n{"), std::string::npos);
  // 16 methods of IKivIn and 4 events, each with its id and help string.
  EXPECT_EQ(Count(idl, "        HRESULT "), 20u);
  EXPECT_EQ(Count(idl, "helpstring(\"method "), 20u);
  EXPECT_NE(idl.find("[id(0x00000013), helpstring(\"method RemoveUser\")]\n"
                     "        HRESULT RemoveUser(BSTR user);"),
            std::string::npos);
  EXPECT_NE(idl.find("[id(0x00000003), helpstring(\"method ServiceRequested2\")]\n"
                     "        HRESULT ServiceRequested2(int sd, BSTR Source, BSTR ServiceName, "
                     "VARIANT InParams, VARIANT* OutParams, long* RetCode);"),
            std::string::npos);
  EXPECT_NE(idl.find("coclass KivIn {\n        [default] interface IKivIn;\n"
                     "        [default, source] dispinterface _IKivInEvents;\n    };"),
            std::string::npos);
  EXPECT_EQ(idl.substr(idl.size() - 3), "};\n");
}

TEST(KivTypelibTest, RefusesArguments) {
  auto outcome = RunProgram(KIV_CLI_PATH, {"typelib", "extra"});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_EQ(outcome.out, "");
  EXPECT_NE(outcome.err.find("typelib"), std::string::npos);
}

}  // namespace
