// kivd: runs the directory until SIGINT or SIGTERM; SIGHUP reloads.
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "directory/directory_service.h"
#include "engine/peer_fence.h"
#include "kiv/satellite.h"
#include "kiv/version.h"
#include "support/log/log.h"
#include "support/log/log_paths.h"
#include "support/log/log_sink.h"
#include "support/net/cidr.h"
#include "support/registry/registry.h"
#include "tools/kivd/http_status.h"
#include "tools/kivd/kivd_folders.h"
#include "tools/kivd/kivd_options.h"
#include "tools/kivd/service_notify.h"

namespace {

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

// Beside the logs in the data folder; "" (and a WARN) when there is none.
std::string TableFilePath() {
  if (const std::optional<std::string> data = kiv::LogDataFolder()) {
    const std::filesystem::path folder = std::filesystem::path(*data) / "ZibNetworks";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (std::filesystem::is_directory(folder, error)) return folder / "kivd-table.json";
  }
  LogWarn(
      u"kivd: no data folder (KIV_DATA_DIR) to keep the table in; a restart will forget "
      u"the satellites until they register again");
  return "";
}

// Blocks the signals kivd acts on in this thread before any other starts,
// so every thread inherits the mask and only sigwait sees them.
sigset_t BlockHandledSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

// Standard error unless --log-file; set before the logger starts.
void ChooseLogDestination(const kiv::directory::KivdOptions& options) {
  kiv::LogDestination destination;
  if (options.logFile) {
    destination.filePath =
        options.logFile->empty() ? kiv::kivd::DefaultLogFile() : *options.logFile;
  } else {
    destination.kind = kiv::LogDestination::Kind::kStandardError;
  }
  kiv::SetLogDestination(destination);
}

// The person starting kivd must see this whatever the log level, so it goes
// to standard error in the log's form there, and into the log file too.
void WarnOnce(const std::string& warning, bool logToFile) {
  const std::unique_ptr<kiv::LogSink> console = kiv::MakeStandardErrorSink();
  console->Write(console->Line(kiv::LocalLogTime(), LOG_WARN, "kivd: " + warning));
  if (logToFile) LogWarn(u"kivd: %hs", warning.c_str());
}

std::string LevelName(std::int32_t level) {
  const char* name = kiv::LogLevelName(level);
  return name != nullptr ? name : std::to_string(level);
}

// What SIGHUP re-reads: the log level (the rest needs a restart).
void Reload(CBBLog& logger, const std::string& status) {
  kiv::kivd::NotifyReloading();
  const std::int32_t before = logger.RereadThreshold();
  const std::int32_t after = logger.Threshold();
  const std::string change =
      before == after ? "stays " + LevelName(after) : LevelName(before) + " -> " + LevelName(after);
  LogInfo(u"kivd: reloaded on SIGHUP: log level %hs", change.c_str());
  kiv::kivd::NotifyReady(status);
}

// The command line's fences replace the store's; what the store still
// decides is checked now, as the store itself is. The directory registers
// its own services with itself (DirectoryService::Start), at loopback or at
// its one listen address, so that address is always admitted.
// 0, or the exit status after a line on standard error.
int SetUpFence(kiv::directory::KivdOptions& options) {
  if (options.listenAddress) kiv::OverrideListenAddress(*options.listenAddress);
  if (options.allowedPeers) {
    kiv::OverrideAllowedPeers(*options.allowedPeers, "kivd --allow");
  }
  std::string problem;
  std::optional<kiv::NetworkFence> fence = kiv::ConfiguredNetworkFence(&problem);
  if (!fence) {
    std::cerr << "kivd: configuration store: " << problem << "; fix it to start\n";
    return 5;
  }
  const kiv::IPv4Address self =
      fence->listenAddress == htonl(INADDR_ANY) ? htonl(INADDR_LOOPBACK) : fence->listenAddress;
  options.selfAddress = kiv::DottedAddress(self);
  if (!kiv::NetworkListAllows(fence->allowedPeers, self)) {
    fence->allowedPeers.push_back({ntohl(self), 32});
    kiv::OverrideAllowedPeers(fence->allowedPeers, fence->allowedPeersSetting);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  kiv::directory::KivdOptions options;
  try {
    options = kiv::directory::ParseKivdOptions(args, HostName());
  } catch (const kiv::directory::OptionsError& e) {
    std::cerr << "kivd: " << e.what() << "\nTry 'kivd --help'.\n";
    return 2;
  }
  if (options.help) {
    std::cout << kiv::directory::kKivdUsage;
    return 0;
  }
  if (options.version) {
    std::cout << "kivd " KIV_VERSION_STRING "\n";
    return 0;
  }
  const sigset_t handledSignals = BlockHandledSignals();
  const std::string folderWarning = kiv::kivd::ChooseDataFolder();
  ChooseLogDestination(options);
  const auto logger = KivSatellite::initLogger();
  if (!folderWarning.empty()) WarnOnce(folderWarning, options.logFile.has_value());
  // A directory on defaults would hide a broken configuration; the check
  // has logged the problem already.
  if (std::string problem; !CheckRegistryStore(&problem)) {
    std::cerr << "kivd: configuration store " << problem << "; fix it to start\n";
    return 5;
  }
  if (const int status = SetUpFence(options); status != 0) return status;
  const std::string serverId = options.serverId;
  const std::string status =
      "serving as " + serverId + " on TCP port " + std::to_string(options.port);
  options.tableFile = TableFilePath();
  const std::optional<kiv::directory::KivdOptions::HttpEndpoint> httpEndpoint = options.http;
  kiv::directory::DirectoryService directory(std::move(options));
  std::string error;
  // Bound before the directory starts, so that a taken HTTP port leaves
  // nothing half started.
  std::optional<kiv::kivd::HttpStatus> http;
  if (httpEndpoint) {
    http.emplace(directory);
    if (!http->Bind(kiv::DottedAddress(httpEndpoint->address), httpEndpoint->port, &error)) {
      std::cerr << "kivd: " << error << '\n';
      LogError(u"kivd: %hs", error.c_str());
      return 1;
    }
  }
  if (directory.Start(&error) != 0) {
    std::cerr << "kivd: " << error << '\n';
    LogError(u"kivd: %hs", error.c_str());
    return 1;
  }
  if (http) {
    http->Serve();
    LogInfo(u"kivd: status page and metrics on http://%hs:%d/",
            kiv::DottedAddress(httpEndpoint->address).c_str(), httpEndpoint->port);
  }
  std::cout << "ready " << serverId << std::endl;
  kiv::kivd::NotifyReady(status);
  int signal = 0;
  for (;;) {
    if (sigwait(&handledSignals, &signal) != 0) continue;
    if (signal != SIGHUP) break;
    Reload(*logger, status);
  }
  kiv::kivd::NotifyStopping();
  LogInfo(u"kivd: stopping on signal %d", signal);
  // Satellites hear the goodbye first; HTTP clients in progress may take
  // their time-outs to finish.
  directory.Stop();
  http.reset();
  return 0;
}
