#include "support/crash/fault_guard.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "support/crash/fault_test_util.h"

namespace kiv {
namespace {

using crashtest::kFaultKinds;

// Only the alternate stack lets the handler run when the stack is used up.
__attribute__((noinline)) int Recurse(int depth) {
  volatile char pad[1024];
  pad[0] = static_cast<char>(depth);
  return depth == -1 ? 0 : Recurse(depth + 1) + pad[0];
}

// Outside a guard, for a signal sent inside one and after a body that threw,
// the process ends as it would without guards: by the signal, or by the
// handler installed before ours.
TEST(FaultGuardDeathTest, UnguardedFaultsAndSentSignalsKeepTheirFate) {
  if (crashtest::kSanitizerTakesUnguardedFaults) GTEST_SKIP() << "the sanitizer takes them";
  FaultRecord record;
  // Each child runs the test from its start: this handler goes in before any
  // guard of the child installs ours.
  EXPECT_EXIT((::signal(SIGSEGV, [](int) { std::_Exit(42); }), RunGuarded([] {}, &record),
               crashtest::DereferenceNull()),
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
        crashtest::DereferenceNull();
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
