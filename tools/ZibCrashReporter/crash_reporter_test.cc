// Black-box: the built ZibCrashReporter on dumps this test writes, with the
// test's own code as the crashed frames.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "support/crash/dump_file.h"
#include "support/log/cbblog.h"
#include "support/log/log_test_util.h"
#include "testing/child_process.h"

namespace kiv {
namespace {

using logtest::FileText;
using testing::RunProgram;

extern "C" __attribute__((noinline)) void KivReporterTestFaultingFrame() {
  asm volatile("");
}

std::string Hex(std::uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%016" PRIxPTR, value);
  return text;
}

TEST(CrashReporterTest, ReportsTheFramesOfADump) {
  const logtest::LogSandbox sandbox(LOG_ERROR);
  const std::string logs = sandbox.DataFolder() + "/ZibNetworks/Logs/";
  std::filesystem::create_directories(logs);
  const auto code = reinterpret_cast<std::uintptr_t>(&KivReporterTestFaultingFrame);
  const std::vector<DumpModule> modules = CurrentModules();
  const auto module = std::find_if(modules.begin(), modules.end(), [&](const DumpModule& m) {
    return code >= m.start && code < m.end;
  });
  ASSERT_NE(module, modules.end());
  Dl_info program{};  // dli_fbase: its run-time minus its link-time addresses
  ASSERT_NE(dladdr(reinterpret_cast<void*>(code), &program), 0);
  FaultRecord fault;
  fault.signal = SIGSEGV;
  fault.frameCount = 3;
  fault.frames[0] = code;
  // A return address is looked up one byte back: here the mapping's first
  // byte, where its segment of the file starts.
  fault.frames[1] = module->start + 1;
  fault.frames[2] = 0x10;  // in no module
  const std::string dump = logs + "{0123}.dmp";
  std::ofstream(dump) << FormatDump("Kiv.dll", fault, modules);

  EXPECT_EQ(RunProgram(ZIB_CRASH_REPORTER_PATH, {dump}).status, 0);
  const std::string report = FileText(logs + "{0123}.txt");
  for (const std::string& part :
       {std::string("\nsignal: 11 (SIGSEGV)"),
        "\n#0  " + Hex(code) + "  KivReporterTestFaultingFrame  at ",
        "  (" + module->path + " " +
            Hex(module->start - reinterpret_cast<std::uintptr_t>(program.dli_fbase)) +
            ")\n#2  0x0000000000000010  ??  at ??:?\n"}) {
    EXPECT_NE(report.find(part), std::string::npos) << part << " in\n" << report;
  }
  EXPECT_TRUE(std::filesystem::exists(dump));  // the dump stays
}

}  // namespace
}  // namespace kiv
