#include "support/crash/dump_file.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <regex>
#include <set>

#include "support/crash/guid.h"

namespace kiv {
namespace {

__attribute__((noinline)) void SomeCodeOfThisProgram() {
  asm volatile("");
}

TEST(DumpFileTest, FormatAndParseRoundTrip) {
  FaultRecord fault;
  fault.signal = SIGBUS;
  fault.code = 2;
  fault.address = 0xdeadbeef;
  fault.thread = 4321;
  fault.frameCount = 3;
  fault.frames[0] = 0x1000;
  fault.frames[1] = 0x2000;
  fault.frames[2] = UINTPTR_MAX;
  const std::vector<DumpModule> modules = {{0x1000, 0x3000, 0x10, "/opt/with blank/lib.so"}};
  const std::optional<DumpContents> dump = ParseDump(FormatDump("Kiv.dll", fault, modules));
  ASSERT_TRUE(dump);
  EXPECT_EQ(dump->application, "Kiv.dll");
  EXPECT_EQ(dump->process, ::getpid());
  EXPECT_EQ(dump->thread, 4321);
  EXPECT_EQ(dump->signal, SIGBUS);
  EXPECT_EQ(dump->code, 2);
  EXPECT_EQ(dump->address, 0xdeadbeefu);
  EXPECT_EQ(dump->frames, (std::vector<std::uintptr_t>{0x1000, 0x2000, UINTPTR_MAX}));
  ASSERT_EQ(dump->modules.size(), 1u);
  EXPECT_EQ(dump->modules[0].path, "/opt/with blank/lib.so");
  EXPECT_EQ(dump->modules[0].fileOffset, 0x10u);
  EXPECT_EQ(dump->modules[0].end, 0x3000u);
}

TEST(DumpFileTest, MalformedTextIsRefused) {
  EXPECT_FALSE(ParseDump(""));
  EXPECT_FALSE(ParseDump("MDMP garbage\n"));
  EXPECT_FALSE(ParseDump("KIV-CRASH-DUMP 1\nframe 1234\n"));  // no 0x
  EXPECT_FALSE(ParseDump("KIV-CRASH-DUMP 1\nframe 0xzz\n"));
  EXPECT_FALSE(ParseDump("KIV-CRASH-DUMP 1\nmodule 0x1 0x2 0x0\n"));  // no path
  EXPECT_FALSE(ParseDump("KIV-CRASH-DUMP 1\nsignal eleven\n"));
  EXPECT_TRUE(ParseDump("KIV-CRASH-DUMP 1\nlater-field whatever\n"));
}

TEST(DumpFileTest, CurrentModulesHoldThisProgramsCode) {
  const auto code = reinterpret_cast<std::uintptr_t>(&SomeCodeOfThisProgram);
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  bool found = false;
  for (const DumpModule& module : CurrentModules()) {
    EXPECT_LT(module.start, module.end);
    if (code >= module.start && code < module.end) {
      found = true;
      EXPECT_EQ(module.path, self);
    }
  }
  EXPECT_TRUE(found);
}

TEST(GuidTest, FreshBracedVersionFourGuids) {
  const std::regex form(
      "\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string guid = NewGuidText();
    EXPECT_TRUE(std::regex_match(guid, form)) << guid;
    seen.insert(guid);
  }
  EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
}  // namespace kiv
