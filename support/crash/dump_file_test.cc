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

TEST(DumpFile, ParsesWhatItFormatsAndRefusesMalformedText) {
  FaultRecord fault;
  std::tie(fault.signal, fault.code, fault.address, fault.thread) =
      std::make_tuple(SIGBUS, 2, 0xdeadbeef, 4321);
  fault.frameCount = 3;
  std::tie(fault.frames[0], fault.frames[1], fault.frames[2]) =
      std::make_tuple(0x1000, 0x2000, UINTPTR_MAX);
  const DumpModule module{0x1000, 0x3000, 0x10, "/opt/with blank/lib.so"};
  const std::optional<DumpContents> dump = ParseDump(FormatDump("Kiv.dll", fault, {module}));
  ASSERT_TRUE(dump);
  EXPECT_EQ(dump->application, "Kiv.dll");
  EXPECT_EQ(dump->process, ::getpid());
  EXPECT_EQ(std::make_tuple(dump->thread, dump->signal, dump->code, dump->address),
            std::make_tuple(4321, SIGBUS, 2, std::uintptr_t{0xdeadbeef}));
  EXPECT_EQ(dump->frames, (std::vector<std::uintptr_t>{0x1000, 0x2000, UINTPTR_MAX}));
  ASSERT_EQ(dump->modules.size(), 1u);
  EXPECT_EQ(std::make_tuple(dump->modules[0].start, dump->modules[0].end,
                            dump->modules[0].fileOffset, dump->modules[0].path),
            std::make_tuple(module.start, module.end, module.fileOffset, module.path));

  for (const char* bad :
       {"", "MDMP garbage\n", "KIV-CRASH-DUMP 1", "KIV-CRASH-DUMP 1\nframe 1234\n",
        "KIV-CRASH-DUMP 1\nframe 0x\n", "KIV-CRASH-DUMP 1\naddress 0x12z\n",
        "KIV-CRASH-DUMP 1\nmodule 0x1 0x2 0x0\n", "KIV-CRASH-DUMP 1\nsignal eleven\n"}) {
    EXPECT_FALSE(ParseDump(bad)) << bad;
  }
  EXPECT_TRUE(ParseDump("KIV-CRASH-DUMP 1\n\nlater-field whatever\n"));
}

TEST(DumpFile, CurrentModulesHoldThisProgramsCode) {
  const auto code = reinterpret_cast<std::uintptr_t>(&SomeCodeOfThisProgram);
  std::string found;
  for (const DumpModule& module : CurrentModules()) {
    EXPECT_LT(module.start, module.end);
    if (code >= module.start && code < module.end) found = module.path;
  }
  EXPECT_EQ(found, std::filesystem::read_symlink("/proc/self/exe").string());
}

}  // namespace
}  // namespace kiv
