#include "tests/hostile/good_client.h"

#include <algorithm>
#include <sstream>

#include "engine/wire/wire_codec.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"

namespace kiv::hostile {
namespace {

using std::chrono::microseconds;

microseconds Percentile(const std::vector<microseconds>& sorted, double share) {
  if (sorted.empty()) return microseconds{0};
  const auto index = static_cast<std::size_t>(share * static_cast<double>(sorted.size() - 1));
  return sorted[index];
}

std::vector<std::uint8_t> Encoded(const VARIANT& value) {
  kiv::MemorySink sink;
  kiv::WriteVariant(sink, value);
  return sink.bytes();
}

}  // namespace

GoodClient::GoodClient(std::string label, std::uint16_t port, std::string request,
                       kiv::Variant argument, AnswerCheck check, std::chrono::milliseconds interval)
    : label_(std::move(label)),
      port_(port),
      request_(std::move(request)),
      argument_(std::move(argument)),
      check_(std::move(check)),
      interval_(interval) {
  if (KivCreate(&engine_, nullptr, nullptr, nullptr) != kiv::KIV_OK) engine_ = nullptr;
  thread_ = std::make_unique<TestThread>([this] { Run(); });
}

GoodClient::~GoodClient() {
  stop_.Set();
  thread_.reset();
  if (engine_ != nullptr) {
    KivRemoveSatellite(engine_);
    KivDestroy(engine_);
  }
}

void GoodClient::Run() {
  auto next = Clock::now();
  while (!stop_.IsSet()) {
    CallOnce();
    next += interval_;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    // A slow call is not made up for with a burst: the pace restarts.
    if (left <= 0) {
      next = Clock::now();
    } else {
      stop_.TimedWaitSet(static_cast<int>(left));
    }
  }
  done_.Set();
}

void GoodClient::CallOnce() {
  kiv::Variant argument = argument_;
  kiv::Variant value;
  std::int32_t returnCode = 0;
  const auto start = Clock::now();
  const std::int32_t result = engine_ == nullptr
                                  ? kiv::KIV_E_NO_ENGINE
                                  : KivCall(engine_, "127.0.0.1", port_, request_.c_str(),
                                            argument.get(), value.get(), &returnCode);
  Call call{start, std::chrono::duration_cast<microseconds>(Clock::now() - start),
            check_(result, returnCode, *value)};
  PScopedLock hold(&callsLock_);
  if (!call.failure.empty()) call.failure = label_ + ": " + call.failure;
  calls_.push_back(std::move(call));
  callsLock_.Broadcast();
}

CallFigures GoodClient::Figures(Clock::time_point from, Clock::time_point to) {
  CallFigures figures;
  std::vector<microseconds> took;
  PScopedLock hold(&callsLock_);
  for (const Call& call : calls_) {
    if (call.start < from || call.start >= to) continue;
    ++figures.calls;
    took.push_back(call.took);
    if (call.failure.empty()) continue;
    if (figures.failures++ == 0) figures.firstFailure = call.failure;
  }
  std::sort(took.begin(), took.end());
  figures.median = Percentile(took, 0.5);
  figures.p99 = Percentile(took, 0.99);
  figures.max = took.empty() ? microseconds{0} : took.back();
  return figures;
}

bool GoodClient::AwaitCallAfter(Clock::time_point from, std::chrono::milliseconds timeout) {
  const timespec deadline = AbsoluteTimeout(static_cast<int>(timeout.count()));
  PScopedLock hold(&callsLock_);
  for (;;) {
    if (!calls_.empty() && calls_.back().start >= from) return true;
    if (!callsLock_.TimedWait(deadline)) return !calls_.empty() && calls_.back().start >= from;
  }
}

bool GoodClient::Stop(std::chrono::milliseconds timeout) {
  stop_.Set();
  if (!done_.TimedWaitSet(static_cast<int>(timeout.count()))) return false;
  thread_.reset();
  return true;
}

AnswerCheck ExpectAnswer(const kiv::Variant& expected) {
  return [wanted = Encoded(*expected)](std::int32_t result, std::int32_t returnCode,
                                       const VARIANT& value) {
    if (result != 0) return "result " + kiv::DescribeResult(result);
    if (returnCode != 0) return "return code " + kiv::DescribeResult(returnCode);
    if (Encoded(value) != wanted) return std::string("the answer differs from the expected one");
    return std::string();
  };
}

std::string Describe(const CallFigures& figures) {
  std::ostringstream text;
  text << figures.calls << " calls, " << figures.failures << " failed, median "
       << figures.median.count() << " us, p99 " << figures.p99.count() << " us, max "
       << figures.max.count() << " us";
  if (!figures.firstFailure.empty()) text << " (first failure: " << figures.firstFailure << ")";
  return text.str();
}

}  // namespace kiv::hostile
