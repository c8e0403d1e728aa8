// Black-box: the built ZibCrashReporter on dumps this test writes, with the
// test's own code as the crashed frames.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "support/crash/dump_file.h"
#include "support/log/cbblog.h"
#include "support/log/log_test_util.h"
#include "testing/program_runner.h"

namespace kiv {
namespace {

using logtest::FileText;
using testing::RunProgram;

extern "C" __attribute__((noinline)) void KivReporterTestFaultingFrame() {
  asm volatile("");
}

class CrashReporterTest : public ::testing::Test {
 protected:
  CrashReporterTest() : sandbox_(LOG_ERROR) { std::filesystem::create_directories(LogsFolder()); }
  std::string LogsFolder() const { return sandbox_.DataFolder() + "/ZibNetworks/Logs/"; }
  std::string ErrorLog() const { return FileText(LogsFolder() + "ZibErrors.log"); }

  logtest::LogSandbox sandbox_;
};

TEST_F(CrashReporterTest, ReportNamesTheFramesAndTheErrorLogPointsToIt) {
  FaultRecord fault;
  fault.signal = SIGSEGV;
  fault.code = 1;
  fault.thread = 77;
  fault.frameCount = 2;
  fault.frames[0] = reinterpret_cast<std::uintptr_t>(&KivReporterTestFaultingFrame);
  fault.frames[1] = 0x10;  // in no module
  const std::string dump = LogsFolder() + "{0123}.dmp";
  std::ofstream(dump) << FormatDump("Kiv.dll", fault, CurrentModules());

  const auto outcome = RunProgram(ZIB_CRASH_REPORTER_PATH, {dump});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  const std::string report = FileText(LogsFolder() + "{0123}.txt");
  EXPECT_NE(report.find("application: Kiv.dll"), std::string::npos) << report;
  EXPECT_NE(report.find("signal: 11 (SIGSEGV)"), std::string::npos) << report;
  EXPECT_NE(report.find("#0  "), std::string::npos) << report;
  EXPECT_NE(report.find("KivReporterTestFaultingFrame"), std::string::npos) << report;
  EXPECT_NE(report.find("#1  0x0000000000000010  ??"), std::string::npos) << report;
  const std::string errors = ErrorLog();
  EXPECT_NE(errors.find("[ERROR] - ZibCrashReporter - crash of Kiv.dll (SIGSEGV in "
                        "KivReporterTestFaultingFrame) reported in " +
                        LogsFolder() + "{0123}.txt"),
            std::string::npos)
      << errors;
  EXPECT_TRUE(std::filesystem::exists(dump));  // the dump stays
}

TEST_F(CrashReporterTest, UnusableDumpsAreLoggedAndGetNoReport) {
  const std::string notADump = LogsFolder() + "bad.dmp";
  std::ofstream(notADump) << "MDMP\n";
  EXPECT_EQ(RunProgram(ZIB_CRASH_REPORTER_PATH, {notADump}).status, 1);
  EXPECT_EQ(RunProgram(ZIB_CRASH_REPORTER_PATH, {LogsFolder() + "missing.dmp"}).status, 1);
  EXPECT_FALSE(std::filesystem::exists(LogsFolder() + "bad.txt"));
  const std::string errors = ErrorLog();
  EXPECT_NE(errors.find("not a crash dump: " + notADump), std::string::npos) << errors;
  EXPECT_NE(errors.find("cannot read the dump " + LogsFolder() + "missing.dmp"), std::string::npos);
  EXPECT_EQ(RunProgram(ZIB_CRASH_REPORTER_PATH, {}).status, 2);
}

}  // namespace
}  // namespace kiv
