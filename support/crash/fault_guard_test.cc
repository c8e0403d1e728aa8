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

constexpr char kUnguardedSkip[] = "the sanitizer takes faults outside a guard";

// Every kind is caught again and again (the jump back restores the signal
// mask), inside an outer guard that carries on and is current again after.
TEST(FaultGuardTest, EachFaultKindIsCaughtAndDescribedInNestedGuards) {
  FaultRecord outer;
  EXPECT_FALSE(RunGuarded(
      [&] {
        for (const auto& kind : kFaultKinds) {
          for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(kind.name);
            FaultRecord record;
            bool after = false;
            EXPECT_TRUE(RunGuarded(
                [&] {
                  kind.raise();
                  after = true;
                },
                &record));
            EXPECT_FALSE(after);
            EXPECT_EQ(record.signal, kind.signal);
            EXPECT_GT(record.code, 0);
            EXPECT_EQ(record.thread, ::gettid());
            ASSERT_GT(record.frameCount, 1u);
            EXPECT_EQ(record.frames[0], record.pc);
            EXPECT_NE(record.pc, 0u);
          }
        }
      },
      &outer));
  EXPECT_EQ(outer.signal, 0);
  EXPECT_TRUE(RunGuarded(
      [&] {
        FaultRecord ignored;
        RunGuarded([] {}, &ignored);
        crashtest::DereferenceNull();
      },
      &outer));
  EXPECT_EQ(outer.signal, SIGSEGV);
  EXPECT_EQ(outer.address, 0u);
  EXPECT_THROW(RunGuarded([] { throw std::runtime_error("handler error"); }, &outer),
               std::runtime_error);
}

TEST(FaultGuardTest, StackOverflowInGuardIsCaught) {
  // Only the alternate stack lets the handler run when the stack is used up.
  struct Recurse {
    __attribute__((noinline)) static int Down(int depth) {
      if (depth == -1) return 0;
      volatile char pad[1024];
      pad[0] = static_cast<char>(depth);
      return Down(depth + 1) + pad[0];
    }
  };
  EXPECT_EXIT(
      {
        FaultRecord record;
        const bool faulted = RunGuarded([] { Recurse::Down(0); }, &record);
        std::_Exit(faulted && record.signal == SIGSEGV ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

void ExitWith42(int) {
  std::_Exit(42);
}

// Outside a guard, for a signal sent inside one and after a body that threw,
// the process ends as it would without guards: by the signal, or by the
// handler installed before ours.
TEST(FaultGuardDeathTest, UnguardedFaultsAndSentSignalsKeepTheirFate) {
  if (crashtest::kSanitizerTakesUnguardedFaults) GTEST_SKIP() << kUnguardedSkip;
  FaultRecord record;
  // First: each child runs the test from its start, and this one must put
  // its handler in before any guard of the child installs ours.
  EXPECT_EXIT(
      (::signal(SIGSEGV, ExitWith42), RunGuarded([] {}, &record), crashtest::DereferenceNull()),
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
