#include "tests/soak/fleet.h"

#include <signal.h>

#include <cstring>

namespace kiv::soak {
namespace {

// Sanitized builds start slowly on a busy machine; a healthy start takes
// well under a second.
constexpr auto kStartBound = std::chrono::seconds(20);
// A satellite lets its calls in progress finish before it disconnects;
// Echo answers at once, so a clean stop takes well under a second.
constexpr auto kStopBound = std::chrono::seconds(20);
constexpr std::size_t kErrorExcerpt = 4000;

std::string Excerpt(const std::string& text) {
  if (text.size() <= kErrorExcerpt) return text;
  return "..." + text.substr(text.size() - kErrorExcerpt);
}

bool HasSanitizerReport(const std::string& errors) {
  return errors.find("Sanitizer") != std::string::npos ||
         errors.find("runtime error:") != std::string::npos;
}

const char* SignalName(int signal) {
  return signal == SIGKILL ? "SIGKILL" : signal == SIGTERM ? "SIGTERM" : strsignal(signal);
}

std::string StatusText(const std::optional<int>& status) {
  if (!status) return "still running";
  return *status == -1 ? "ended by a signal" : "exit status " + std::to_string(*status);
}

}  // namespace

Fleet::Fleet(FleetConfig config, Journal& journal, Verdict& verdict)
    : journal_(journal), verdict_(verdict) {
  auto directory = std::make_unique<Member>();
  directory->kind = "kivd";
  directory->name = "kivd";
  directory->path = config.kivdPath;
  directory->args = config.kivdArgs;
  directory->readyPrefix = "ready ";
  members_.push_back(std::move(directory));
  for (std::size_t i = 1; i <= config.satellites; ++i) {
    auto satellite = std::make_unique<Member>();
    satellite->kind = "satellite";
    satellite->name = "sat" + std::to_string(i);
    satellite->path = config.kivPath;
    satellite->args = {"serve", "--name", satellite->name, "--service", "Echo"};
    satellite->readyPrefix = "ready " + satellite->name + " ";
    members_.push_back(std::move(satellite));
  }
}

Fleet::~Fleet() = default;

const std::string& Fleet::Name(std::size_t member) const {
  return members_[member]->name;
}

bool Fleet::Running(std::size_t member) const {
  return members_[member]->process != nullptr;
}

bool Fleet::Start(std::size_t index) {
  Member& member = *members_[index];
  if (member.process) return true;
  member.process = std::make_unique<testing::ChildProcess>(member.path, member.args);
  if (!member.process->started()) {
    verdict_.Violation(member.name + " could not be started from " + member.path);
    member.process.reset();
    return false;
  }
  member.pid = member.process->pid();
  const auto ready = member.process->WaitForLine(member.readyPrefix, kStartBound);
  if (!ready) {
    const auto status = member.process->Wait(std::chrono::milliseconds(0));
    verdict_.Violation(member.name + " was not ready within " +
                       std::to_string(kStartBound.count()) + " s (" + StatusText(status) +
                       "); its standard error:\n" + Excerpt(member.process->Errors()));
    member.process->Kill();
    Retire(member);
    return false;
  }
  member.readyAt = Clock::now();
  member.port = 0;
  if (member.kind == "satellite") {
    member.port = static_cast<std::uint32_t>(std::stoul(ready->substr(ready->rfind(' ') + 1)));
  }
  journal_.Print(member.name + " ready, pid " + std::to_string(member.pid.load()) +
                 (member.port != 0 ? ", port " + std::to_string(member.port) : ""));
  Publish();
  return true;
}

bool Fleet::Stop(std::size_t index, int signal) {
  Member& member = *members_[index];
  if (!member.process) return true;
  const Clock::time_point asked = Clock::now();
  member.process->Signal(signal);
  auto status = member.process->Wait(kStopBound);
  lastStopSeconds_ = std::chrono::duration<double>(Clock::now() - asked).count();
  journal_.Print(member.name + " stopped by " + SignalName(signal) + " (" + StatusText(status) +
                 ") after " + Seconds(lastStopSeconds_) + " s");
  bool clean = true;
  if (!status) {
    verdict_.Violation(member.name + " still ran " + std::to_string(kStopBound.count()) +
                       " s after " + SignalName(signal) + "; its standard error:\n" +
                       Excerpt(member.process->Errors()));
    member.process->Kill();
    clean = false;
  } else if (signal == SIGTERM && *status != 0) {
    verdict_.Violation(member.name + " ended with " + StatusText(status) +
                       " after SIGTERM; its standard error:\n" + Excerpt(member.process->Errors()));
    clean = false;
  }
  Retire(member);
  return clean;
}

void Fleet::CheckHealth() {
  for (const auto& entry : members_) {
    Member& member = *entry;
    if (!member.process) continue;
    const auto status = member.process->Wait(std::chrono::milliseconds(0));
    if (!status) continue;
    verdict_.Violation(member.name + " (pid " + std::to_string(member.process->pid()) +
                       ") ended unasked with " + StatusText(status) + "; its standard error:\n" +
                       Excerpt(member.process->Errors()));
    Retire(member);
  }
}

void Fleet::Retire(Member& member) {
  const std::string errors = member.process->Errors();
  if (HasSanitizerReport(errors)) {
    verdict_.Violation(member.name + " (pid " + std::to_string(member.process->pid()) +
                       ") reported on standard error:\n" + Excerpt(errors));
  }
  member.pid = 0;
  member.process.reset();
  member.port = 0;
  Publish();
}

std::map<std::string, std::uint32_t> Fleet::ListeningSatellites() const {
  std::map<std::string, std::uint32_t> listening;
  for (const auto& member : members_) {
    if (member->process && member->kind == "satellite") listening[member->name] = member->port;
  }
  return listening;
}

void Fleet::Publish() {
  std::vector<ProcessView> views;
  for (const auto& member : members_) {
    if (member->process)
      views.push_back({member->kind, member->name, member->pid, member->readyAt});
  }
  PScopedLock hold(&snapshotLock_);
  snapshot_ = std::move(views);
}

std::vector<ProcessView> Fleet::Snapshot() const {
  PScopedLock hold(&snapshotLock_);
  return snapshot_;
}

void Fleet::EmergencyKill() {
  for (const auto& member : members_) {
    const pid_t pid = member->pid.load();
    if (pid > 0) ::kill(pid, SIGKILL);
  }
}

}  // namespace kiv::soak
