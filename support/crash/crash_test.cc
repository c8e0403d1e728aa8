#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include "support/crash/crash_guard.h"
#include "support/crash/dump_file.h"
#include "support/crash/fault_guard.h"
#include "support/crash/guid.h"
#include "support/crash/reporter_path.h"
#include "support/log/log.h"
#include "support/log/log_test_util.h"
#include "testing/temp_dir.h"
#include "testing/wait.h"

namespace kiv {
namespace {

// Faults raised on purpose, out of the sanitizers' sight so that the fault
// itself reaches the guard. Sanitizer builds take faults outside a guard
// their own way (a report and an exit status, not the signal).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerTakesUnguardedFaults = true;
#else
constexpr bool kSanitizerTakesUnguardedFaults = false;
#endif

// Volatile all the way down: an optimiser may drop a store through null.
__attribute__((noinline, no_sanitize("undefined"), no_sanitize_address, no_sanitize_thread)) void
DereferenceNull() {
  volatile int* volatile pointer = nullptr;
  *pointer = 1;
}

__attribute__((noinline, no_sanitize("undefined"))) void DivideByZero() {
  volatile int zero = 0, one = 1;
  volatile int quotient = one / zero;
  (void)quotient;
}

const struct {
  const char* name;
  int signal;
  void (*raise)();
} kFaultKinds[] = {{"null dereference", SIGSEGV, [] { DereferenceNull(); }},
                   {"division by zero", SIGFPE, [] { DivideByZero(); }},
                   {"bad instruction", SIGILL, [] { __builtin_trap(); }}};

using logtest::FileText;
namespace fs = std::filesystem;

// End to end (the fault kinds are the guard's tests'): the result code, a
// dump, a FATAL line in both logs, the reporter's report, and service after.
TEST(CrashHandler, FaultingHandlerIsReportedAndTheNextCallServed) {
  logtest::LogSandbox sandbox(LOG_WARN);
  const auto logger = InitLogger();
  const auto logs = [&](const std::string& name) { return sandbox.LogPath(name); };
  // kiv.log is written by the logger's own thread; the reporter runs apart.
  const auto eventually = [](const std::string& file, const std::string& part) {
    return testing::WaitUntil([&] { return FileText(file).find(part) != std::string::npos; },
                              30000);
  };
  EXPECT_EQ(CallGuarded([] { return 7; }), 7);
  EXPECT_THROW(CallGuarded([]() -> int { throw std::runtime_error("handler"); }),
               std::runtime_error);
  EXPECT_EQ(CallGuarded([] { DereferenceNull(); }), kGuardCrashResult);
  EXPECT_EQ(CallGuarded([] { return 5; }), 5);
  std::string dump;
  for (const auto& entry : fs::directory_iterator(logs(""))) {
    if (entry.path().extension() == ".dmp") dump += entry.path().string();
  }
  const std::optional<DumpContents> contents = ParseDump(FileText(dump));
  ASSERT_TRUE(contents) << dump;
  EXPECT_EQ(contents->application, "Kiv.dll");
  EXPECT_EQ(contents->signal, SIGSEGV);
  EXPECT_FALSE(contents->frames.empty());
  const std::string fatal =
      "[FATAL] - crash_test - crash of Kiv.dll. minidump generated as " + dump + " (";
  const std::string errors = FileText(logs("ZibErrors.log"));
  EXPECT_NE(errors.find(fatal), std::string::npos) << errors;
  EXPECT_EQ(errors.find("[FATAL]"), errors.rfind("[FATAL]"));
  EXPECT_TRUE(eventually(logs("kiv.log"), fatal));
  EXPECT_TRUE(eventually(dump.substr(0, dump.size() - 4) + ".txt", "SIGSEGV"));
  EXPECT_TRUE(eventually(logs("ZibErrors.log"), "ZibCrashReporter - crash of Kiv.dll"));
}

// A host that never set up logging (python3) still gets a FATAL line per
// fault, and a handler that faults again and again leaves only the newest
// MaxCrashDumps crashes (dump and report) behind.
TEST(CrashHandler, WithoutLoggerFaultsAreLoggedAndOnlyTheNewestCrashesKept) {
  logtest::LogSandbox sandbox(LOG_ERROR);
  std::ofstream(std::getenv("KIV_REGISTRY"), std::ios::app) << "\"MaxCrashDumps\"=dword:00000003\n";
  ASSERT_FALSE(GetGlobalLogger());
  const std::string logs = sandbox.LogPath("");
  fs::create_directories(logs);
  std::ofstream(logs + "notes.dmp") << "not ours";
  const auto crashFiles = [&] {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(logs)) {
      if (IsGuidText(entry.path().stem().string())) names.insert(entry.path().filename().string());
    }
    return names;
  };
  std::vector<std::string> made;  // crash ids, oldest first
  const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (int i = 0; i < 5; ++i) {
    const std::set<std::string> before = crashFiles();
    ASSERT_EQ(CallGuarded([] { DereferenceNull(); }, u"Kiv.dll", false), kGuardCrashResult);
    std::vector<std::string> added;
    const std::set<std::string> after = crashFiles();
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(added));
    ASSERT_EQ(added.size(), 1u);
    made.push_back(fs::path(added[0]).stem().string());
    // The reporter's report stands in; dated apart, as file times are too
    // coarse to order dumps written within one clock tick.
    std::ofstream(logs + made.back() + ".txt") << "report";
    for (const char* extension : {".dmp", ".txt"}) {
      fs::last_write_time(logs + made.back() + extension, past + std::chrono::seconds(i));
    }
  }
  std::set<std::string> newest;
  for (std::size_t i = 2; i < made.size(); ++i) newest.insert({made[i] + ".dmp", made[i] + ".txt"});
  EXPECT_EQ(crashFiles(), newest);
  EXPECT_TRUE(fs::exists(logs + "notes.dmp"));
  const std::string log = FileText(sandbox.LogPath("kiv.log"));
  for (const std::string& id : made) {
    EXPECT_NE(log.find("[FATAL] - crash_test - crash of Kiv.dll. minidump generated as " + logs +
                       id + ".dmp ("),
              std::string::npos)
        << log;
  }
  EXPECT_FALSE(GetGlobalLogger());  // the default log was opened for the line only
}

// The reporter beside the library comes before the one in an installed
// tree's bin/ and the one beside the program (python3's folder holds none);
// KIV_CRASH_REPORTER, when executable, first.
TEST(CrashReporterLookup, LibraryFolderFirstThenProgramFolder) {
  testing::TempDir root("kiv-reporter");
  const std::string library = root.File("lib"), program = root.File("program");
  const std::string installedBin = root.File("bin");
  for (const std::string& folder : {library, program, installedBin}) fs::create_directories(folder);
  const auto place = [](const std::string& path, fs::perms mode) {
    std::ofstream(path) << "#!/bin/sh\n";
    fs::permissions(path, mode);
    return path;
  };
  EXPECT_EQ(FindCrashReporterIn(nullptr, library, program), "");
  const std::string besideProgram = place(program + "/ZibCrashReporter", fs::perms::owner_all);
  // Not executable: passed over.
  const std::string besideLibrary = place(library + "/ZibCrashReporter", fs::perms::owner_read);
  EXPECT_EQ(FindCrashReporterIn(nullptr, library, program), besideProgram);
  place(installedBin + "/ZibCrashReporter", fs::perms::owner_all);
  EXPECT_EQ(FindCrashReporterIn(nullptr, library, program), library + "/../bin/ZibCrashReporter");
  fs::permissions(besideLibrary, fs::perms::owner_all);
  EXPECT_EQ(FindCrashReporterIn("", library, program), besideLibrary);
  EXPECT_EQ(FindCrashReporterIn(besideProgram.c_str(), library, program), besideProgram);
  EXPECT_EQ(FindCrashReporterIn(root.File("missing").c_str(), library, program), besideLibrary);
  // Linked into this test, the library's code was loaded from the test program.
  EXPECT_EQ(LoadedLibraryFolder(), fs::read_symlink("/proc/self/exe").parent_path().string());
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
  const auto code = reinterpret_cast<std::uintptr_t>(&DivideByZero);
  std::string found;
  for (const DumpModule& module : CurrentModules()) {
    EXPECT_LT(module.start, module.end);
    if (code >= module.start && code < module.end) found = module.path;
  }
  EXPECT_EQ(found, std::filesystem::read_symlink("/proc/self/exe").string());
}

// Outside a guard, for a signal sent inside one and after a body that threw,
// the process ends as it would without guards: by the signal, or by the
// handler installed before ours.
TEST(FaultGuardDeathTest, UnguardedFaultsAndSentSignalsKeepTheirFate) {
  if (kSanitizerTakesUnguardedFaults) GTEST_SKIP() << "the sanitizer takes them";
  FaultRecord record;
  // Each child runs the test from its start: this handler goes in before any
  // guard of the child installs ours.
  EXPECT_EXIT((::signal(SIGSEGV, [](int) { std::_Exit(42); }), RunGuarded([] {}, &record),
               DereferenceNull()),
              ::testing::ExitedWithCode(42), "");
  for (const auto& kind : kFaultKinds) {
    EXPECT_EXIT((RunGuarded([] {}, &record), kind.raise()), ::testing::KilledBySignal(kind.signal),
                "")
        << kind.name;
  }
  EXPECT_EXIT((RunGuarded([] { ::raise(SIGSEGV); }, &record), std::_Exit(0)),
              ::testing::KilledBySignal(SIGSEGV), "");
  EXPECT_EXIT(
      {
        try {
          RunGuarded([] { throw 1; }, &record);
        } catch (int) {
        }
        DereferenceNull();
      },
      ::testing::KilledBySignal(SIGSEGV), "");
}

}  // namespace
}  // namespace kiv

// Death tests re-execute the binary: the child starts with no handlers of
// ours installed, and no threads of other tests.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  return RUN_ALL_TESTS();
}
