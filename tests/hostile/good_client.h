// The well-behaved caller that keeps using a victim while it is abused: an
// engine of its own calls one request on 127.0.0.1:port every interval on
// a thread of its own, checks every answer and records when each call began
// and how long it took. Figures may be read from any thread while it runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kiv/oleaut.h"
#include "kiv/value.h"
#include "support/threads/cond.h"
#include "support/threads/mutex.h"
#include "support/threads/test_util.h"
#include "tests/hostile/raw_connection.h"

struct KIV;

namespace kiv::hostile {

// Empty when the answer is right, else what is wrong with it.
using AnswerCheck =
    std::function<std::string(std::int32_t result, std::int32_t returnCode, const VARIANT& value)>;

// The calls of one stretch of time.
struct CallFigures {
  std::size_t calls = 0;
  std::size_t failures = 0;
  std::string firstFailure;
  std::chrono::microseconds median{0};
  std::chrono::microseconds p99{0};
  std::chrono::microseconds max{0};
};

class GoodClient {
 public:
  GoodClient(std::string label, std::uint16_t port, std::string request, kiv::Variant argument,
             AnswerCheck check, std::chrono::milliseconds interval);
  // Stops (waiting as long as the call in progress takes).
  ~GoodClient();
  GoodClient(const GoodClient&) = delete;
  GoodClient& operator=(const GoodClient&) = delete;

  // The calls that began in [from, to).
  CallFigures Figures(Clock::time_point from, Clock::time_point to = Clock::time_point::max());
  // Waits until a call that began at or after `from` has finished.
  bool AwaitCallAfter(Clock::time_point from, std::chrono::milliseconds timeout);
  // Ends the loop; false when the call in progress did not return in time
  // (the thread is then joined only once that call returns).
  bool Stop(std::chrono::milliseconds timeout);

 private:
  struct Call {
    Clock::time_point start;
    std::chrono::microseconds took;
    std::string failure;
  };

  void Run();
  void CallOnce();

  const std::string label_;
  const std::uint16_t port_;
  const std::string request_;
  kiv::Variant argument_;
  const AnswerCheck check_;
  const std::chrono::milliseconds interval_;
  KIV* engine_ = nullptr;
  PCondMutex callsLock_;  // guards calls_; broadcast after every call
  std::vector<Call> calls_;
  PCondFlag stop_;
  PCondFlag done_;
  std::unique_ptr<TestThread> thread_;
};

// Result and return code 0 and a value equal to `expected` on the wire
// (for Echo: the argument itself).
AnswerCheck ExpectAnswer(const kiv::Variant& expected);

// "12 calls, 0 failed, median 180 us, p99 420 us, max 950 us".
std::string Describe(const CallFigures& figures);

}  // namespace kiv::hostile
