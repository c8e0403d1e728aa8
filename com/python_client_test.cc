// The Python automation client end to end: the example satellite, written
// with python/kiv_automation.py, registers the class into a store of its
// own, creates the object by ProgID, registers with the real kivd, calls a
// native `kiv serve` satellite and answers a native `kiv call`.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>

#include "testing/child_process.h"
#include "testing/temp_dir.h"

namespace {

using kiv::testing::ChildProcess;
using kiv::testing::RunProgram;
using std::chrono::seconds;

TEST(PythonClient, ExampleSatelliteServesAndCallsNativeSatellites) {
  const kiv::testing::TempDir folder;
  const std::map<std::string, std::string> environment = {
      {"KIV_REGISTRY", (folder.path() / "registry.reg").string()},
      {"KIV_DATA_DIR", folder.path().string()},
      {"PYTHONDONTWRITEBYTECODE", "1"}};
  ChildProcess directory(KIVD_PATH, {"--server-id", "python-test"}, environment);
  ASSERT_TRUE(directory.WaitForLine("ready", seconds(10))) << directory.Errors();
  ChildProcess native(KIV_CLI_PATH, {"serve", "--name", "Native"}, environment);
  ASSERT_TRUE(native.WaitForLine("ready Native", seconds(10))) << native.Errors();

  ChildProcess python(
      PYTHON3_PATH,
      {PYTHON_SATELLITE, "--register", LIBKIV_PATH, "--name", "PySat", "--call", "Native"},
      environment);
  // OnlineStatusUpdate reaches the Python sink during registration.
  const auto status = python.WaitForLine("status ", seconds(20));
  ASSERT_TRUE(status) << python.Errors();
  EXPECT_EQ(status->substr(status->rfind(' ')), " 1");
  ASSERT_TRUE(python.WaitForLine("ready PySat", seconds(10))) << python.Errors();
  // The native Echo answered the Python request with the same nested value.
  const auto echo = python.WaitForLine("echo ", seconds(10));
  ASSERT_TRUE(echo) << python.Errors();
  EXPECT_EQ(*echo, R"(echo [["hello", 42, 2.5]])");

  // Native calls into the Python handler: an answer, and a refusal code.
  const auto upper =
      RunProgram(KIV_CLI_PATH, {"call", "--to", "PySat", "Upper", R"("abc")"}, "", environment);
  EXPECT_EQ(upper.status, 0) << upper.err;
  EXPECT_EQ(upper.out, "{\"statuses\":[0],\"values\":[\"ABC\"]}\n");
  const auto served = python.WaitForLine("served ", seconds(10));
  ASSERT_TRUE(served);
  EXPECT_EQ(served->substr(served->rfind(' ')), " \"abc\"");
  const auto refused =
      RunProgram(KIV_CLI_PATH, {"call", "--to", "PySat", "Upper", "5"}, "", environment);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("\"statuses\":[1]"), std::string::npos) << refused.out;

  // SIGTERM: the script terminates its satellite and ends cleanly.
  python.Signal(SIGTERM);
  EXPECT_EQ(python.Wait(seconds(10)), 0) << python.Errors();
  EXPECT_EQ(python.Errors(), "");
}

// python/kiv_automation_test.py: handlers that raise or answer what has no
// VARIANT form, typed values both ways, and failures raised by kind.
TEST(PythonClient, FailuresRaiseAndTypedValuesTravelBothWays) {
  const kiv::testing::TempDir folder;
  const std::map<std::string, std::string> environment = {
      {"KIV_REGISTRY", (folder.path() / "registry.reg").string()},
      {"KIV_DATA_DIR", folder.path().string()},
      {"KIV_TEST_LIBKIV", LIBKIV_PATH},
      {"KIV_TEST_CLI", KIV_CLI_PATH},
      {"KIV_TIME_SCALE", "30"},  // a bounded request gives up after 1 s
      {"PYTHONDONTWRITEBYTECODE", "1"}};
  ChildProcess directory(KIVD_PATH, {"--server-id", "python-test"}, environment);
  ASSERT_TRUE(directory.WaitForLine("ready", seconds(10))) << directory.Errors();
  const auto run = RunProgram(PYTHON3_PATH, {PYTHON_CLIENT_TEST}, "", environment);
  EXPECT_EQ(run.status, 0) << run.err;
}

}  // namespace
