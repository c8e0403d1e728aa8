// kiv_soak: the soak and fault run. In a private network namespace of its
// own it runs a directory (kivd), satellites sat1..satN (`kiv serve`,
// offering Echo) and caller threads that call Echo through the library
// with a new value every time, while at random moments the directory and
// the satellites are killed (SIGKILL) or stopped (SIGTERM) and restarted.
//
//   kiv_soak [--seconds N] [--satellites N] [--callers N] [--seed N]
//            [--keep-going] [--log-level N]
//
// It checks that every call returns (a call in flight for 40 s is a hang,
// and the whole run has a hard deadline), that every echo equals what was
// sent, that calls fail only while something is down or not yet listed
// again, that the directory lists every running satellite again soon after
// each restart, and that no process grows past fixed bounds. The seed is
// printed first; --seed replays the same choices. The processes' logs stay
// in the run's folder (printed) when a run fails. scripts/soak runs a long
// soak; ctest runs soak_short.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing/private_network.h"
#include "tests/soak/soak_options.h"
#include "tests/soak/soak_run.h"
#include "tests/soak/supervisor.h"

namespace {

constexpr int kUsageError = 2;
constexpr int kSetupError = 3;

// The run's own folder for logs and configuration: the processes log at
// the level asked for, and nothing outside the folder is touched.
bool PrepareFolder(const std::string& folder, int logLevel) {
  const std::string data = folder + "/data";
  std::error_code error;
  std::filesystem::create_directories(data, error);
  if (error) return false;
  const std::string registry = folder + "/registry.reg";
  std::ofstream out(registry, std::ios::binary);
  out << "Windows Registry Editor Version 5.00\n\n"
      << "[HKEY_LOCAL_MACHINE\\Software\\ZIB Networks\\Zib]\n"
      << "\"LogLevel\"=dword:0000000" << logLevel << "\n";
  if (!out.flush()) return false;
  return ::setenv("KIV_DATA_DIR", data.c_str(), 1) == 0 &&
         ::setenv("KIV_REGISTRY", registry.c_str(), 1) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  kiv::soak::SoakOptions options;
  try {
    options = kiv::soak::ParseSoakOptions(args);
  } catch (const std::invalid_argument& e) {
    std::cerr << "kiv_soak: " << e.what() << "\n" << kiv::soak::kSoakUsage;
    return kUsageError;
  }
  if (options.help) {
    std::cout << kiv::soak::kSoakUsage;
    return 0;
  }
  const std::uint64_t seed = options.seed.value_or(
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  std::cout << "kiv_soak: seed " << seed << " (--seed " << seed << " replays the choices), "
            << options.seconds << " s, " << options.satellites << " satellites, " << options.callers
            << " callers" << std::endl;

  std::string error;
  if (!kiv::testing::EnterPrivateNetwork(&error)) {
    std::cerr << "kiv_soak: " << error << '\n';
    return kSetupError;
  }
  if (!kiv::soak::RunUnderSupervisor(&error)) {
    std::cerr << "kiv_soak: " << error << '\n';
    return kSetupError;
  }
  char pattern[] = "/tmp/kiv_soak.XXXXXX";
  if (::mkdtemp(pattern) == nullptr || !PrepareFolder(pattern, options.logLevel)) {
    std::cerr << "kiv_soak: cannot prepare a folder for the run\n";
    return kSetupError;
  }
  const std::string folder = pattern;
  std::cout << "kiv_soak: logs in " << folder << "/data" << std::endl;

  const int status = kiv::soak::RunSoak(options, seed, {KIVD_PATH, KIV_CLI_PATH});
  if (status == 0) {
    std::filesystem::remove_all(folder);
  } else {
    std::cout << "kiv_soak: the run's logs stay in " << folder << "/data" << std::endl;
  }
  return status;
}
