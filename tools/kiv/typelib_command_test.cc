// Runs the built kiv program's typelib command: the library's IDL, whose
// content the com tests pin, exactly as the library gives it.
#include <gtest/gtest.h>

#include <string>

#include "com/type_library.h"
#include "testing/program_runner.h"

namespace {

using kiv::testing::RunProgram;

TEST(KivTypelibTest, PrintsTheLibraryAsIdlAndRefusesArguments) {
  const auto outcome = RunProgram(KIV_CLI_PATH, {"typelib"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.out, kiv::com::TypeLibraryIdl());

  const auto extra = RunProgram(KIV_CLI_PATH, {"typelib", "extra"});
  EXPECT_EQ(extra.status, 2);
  EXPECT_EQ(extra.out, "");
  EXPECT_NE(extra.err.find("typelib"), std::string::npos);
}

}  // namespace
