#include "discovery/discovery_test_util.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <boost/make_shared.hpp>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "discovery/discover_client.h"
#include "support/log/log.h"
#include "support/threads/timeout.h"
#include "support/time/wall_clock.h"

namespace kiv::discoverytest {
namespace {

std::string Joined(const char* const* users, unsigned count) {
  std::string text = "[";
  for (unsigned i = 0; i < count; ++i) text += (i ? "," : "") + std::string(users[i]);
  return text + "]";
}

struct ReportLog {
  PCondMutex lock;
  std::vector<std::string> lines;
  std::size_t fences = 0;
};

ReportLog& TheReports() {
  static ReportLog reports;
  return reports;
}

const char* StatusName(std::int32_t status) {
  static const char* const kNames[] = {"OTHER", "ALIVE", "DEAD", "SHUTDOWN"};
  return kNames[status >= 1 && status <= 3 ? status : 0];
}

// A fresh folder under /tmp, removed by RemoveFolder.
std::string MakeFolder(std::string pattern) {
  if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  return pattern;
}

void RemoveFolder(const std::string& folder) {
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

void RecordReport(const char* serverId, std::int32_t status) {
  ReportLog& reports = TheReports();
  PScopedLock lock(&reports.lock);
  if (std::string(serverId) == StatusRecorder::kFence) {
    ++reports.fences;
  } else {
    reports.lines.push_back(std::string(serverId) + " " + StatusName(status));
  }
  reports.lock.Broadcast();
}

std::atomic<std::int64_t> gWallSeconds{0};

}  // namespace

RecordingDiscover::RecordingDiscover() {
  GetDiscoverClient()->AddListener(this);
}

RecordingDiscover::~RecordingDiscover() {
  GetDiscoverClient()->RemoveListener(this);
}

int RecordingDiscover::Record(const char* kind, const char* serverId, const char* const* users,
                              unsigned count, const char* suffix) {
  PScopedLock lock(&lock_);
  events_.push_back(std::string(kind) + " " + serverId + " " + Joined(users, count) + suffix);
  lock_.Broadcast();
  return 0;
}

std::vector<std::string> RecordingDiscover::WaitForEvents(std::size_t count, int timeoutMs) {
  PScopedLock lock(&lock_);
  const timespec deadline = AbsoluteTimeout(timeoutMs);
  while (events_.size() < count && lock_.TimedWait(deadline)) {
  }
  return events_;
}

std::vector<std::string> RecordingDiscover::Events() {
  PScopedLock lock(&lock_);
  return events_;
}

void RecordingDiscover::Clear() {
  PScopedLock lock(&lock_);
  events_.clear();
}

StatusRecorder::StatusRecorder() {
  Clear();
  previous_ = discovery::ReplaceDirectoryStatusReportForTesting(RecordReport);
}

StatusRecorder::~StatusRecorder() {
  discovery::ReplaceDirectoryStatusReportForTesting(previous_);
}

std::vector<std::string> StatusRecorder::Reports() {
  PScopedLock lock(&TheReports().lock);
  return TheReports().lines;
}

std::size_t StatusRecorder::Fences() {
  PScopedLock lock(&TheReports().lock);
  return TheReports().fences;
}

void StatusRecorder::Clear() {
  PScopedLock lock(&TheReports().lock);
  TheReports().lines.clear();
}

FakeWallClock::FakeWallClock(std::int64_t start) {
  gWallSeconds = start;
  SetClockForTesting([] { return gWallSeconds.load(); }, {});
}

FakeWallClock::~FakeWallClock() {
  SetClockForTesting({}, {});
}

void FakeWallClock::Set(std::int64_t seconds) {
  gWallSeconds = seconds;
}

GroupRegistry::GroupRegistry(std::optional<std::string> group) {
  folder_ = MakeFolder("/tmp/kiv_discovery_test.XXXXXX");
  const std::string path = folder_ + "/registry.reg";
  std::ofstream out(path);
  out << "Windows Registry Editor Version 5.00\n\n"
      << "[HKEY_LOCAL_MACHINE\\Software\\ZIB Networks\\Zib]\n"
      << "\"LogLevel\"=dword:00000004\n\n"
      << "[HKEY_LOCAL_MACHINE\\Software\\ZIB Networks\\Zib\\Config]\n";
  if (group) out << "\"kiv.multicastGroup\"=\"" << *group << "\"\n";
  ::setenv("KIV_REGISTRY", path.c_str(), 1);
}

GroupRegistry::~GroupRegistry() {
  ::unsetenv("KIV_REGISTRY");
  RemoveFolder(folder_);
}

LogCapture::LogCapture() {
  folder_ = MakeFolder("/tmp/kiv_discovery_log.XXXXXX");
  ::setenv("KIV_DATA_DIR", folder_.c_str(), 1);
  logger_ = boost::make_shared<CBBLog>(u"discovery.log", false);
  SetGlobalLogger(logger_);
}

LogCapture::~LogCapture() {
  logger_.reset();
  ::unsetenv("KIV_DATA_DIR");
  RemoveFolder(folder_);
}

std::string LogCapture::Finish() {
  logger_.reset();  // writes what is queued and closes the file
  std::ifstream in(folder_ + "/ZibNetworks/Logs/discovery.log", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace kiv::discoverytest
