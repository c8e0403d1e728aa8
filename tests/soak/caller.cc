#include "tests/soak/caller.h"

#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "tests/soak/echo_check.h"
#include "tests/soak/echo_value.h"

namespace kiv::soak {
namespace {

// One call in this many goes to ALL, which runs the parallel targets.
constexpr int kAllOneIn = 10;
// After a failure a caller waits this long, as a real client would, instead
// of spinning on a directory that is down.
constexpr int kRetryPauseMs = 10;

}  // namespace

Caller::Caller(int index, std::uint64_t seed, const CallerContext& context)
    : index_(index),
      name_("soak-caller" + std::to_string(index)),
      context_(context),
      random_(seed) {}

Caller::~Caller() {
  Stop();
}

std::int32_t Caller::Connect(const std::u16string& directory) {
  return satellite_.Connect(directory.c_str(), FromUtf8(name_).c_str());
}

void Caller::Start() {
  stop_.Reset();
  thread_ = std::make_unique<PThread>(nullptr, this, &Caller::Run, nullptr);
}

void Caller::Stop() {
  if (!thread_) return;
  stop_.Set();
  thread_->Join(nullptr);
  thread_.reset();
}

std::optional<CallInFlight> Caller::InFlight() const {
  PScopedLock hold(&inFlightLock_);
  return inFlight_;
}

void* Caller::Run(void*) {
  while (!stop_.IsSet() && !context_.verdict.Aborted()) CallOnce();
  return nullptr;
}

std::string Caller::ChooseDestination() {
  if (random_() % kAllOneIn == 0) return kAllSatellites;
  return context_.satellites[random_() % context_.satellites.size()];
}

void Caller::CallOnce() {
  const std::string destination = ChooseDestination();
  const std::int64_t counter = ++counter_;
  const Variant sent = MakeEchoValue(index_, counter, random_);
  const Clock::time_point started = Clock::now();
  {
    PScopedLock hold(&inFlightLock_);
    inFlight_ = CallInFlight{name_, destination, counter, started};
  }
  Variant values;
  Variant statuses;
  const std::int32_t result = satellite_.Request(FromUtf8(destination).c_str(), u"Echo", *sent,
                                                 *values, KIV_NOFLAGS, *statuses);
  const Clock::time_point ended = Clock::now();
  {
    PScopedLock hold(&inFlightLock_);
    inFlight_.reset();
  }
  const EchoOutcome outcome =
      CheckEcho(*sent, destination != kAllSatellites, result, *values, *statuses);
  switch (outcome.kind) {
    case EchoOutcome::kOk:
      context_.tally.Succeeded(ended - started);
      break;
    case EchoOutcome::kFailed: {
      const bool excused = context_.outages.Excuses(destination, started, ended);
      context_.tally.Failed(outcome.status, excused, ended - started);
      if (!excused) {
        context_.verdict.Violation(name_ + ": Echo to " + destination + " (call " +
                                   std::to_string(counter) +
                                   ") failed while every process was up and registered: " +
                                   DescribeResult(outcome.status));
      }
      stop_.TimedWaitSet(kRetryPauseMs);
      break;
    }
    case EchoOutcome::kWrong:
      context_.tally.Failed(outcome.status, false, ended - started);
      context_.verdict.Violation(name_ + ": Echo to " + destination + " (call " +
                                 std::to_string(counter) +
                                 ") answered wrongly: " + outcome.problem);
      break;
  }
}

}  // namespace kiv::soak
