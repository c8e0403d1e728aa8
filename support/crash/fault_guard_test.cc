#include "support/crash/fault_guard.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <stdexcept>

#include "support/crash/fault_test_util.h"

namespace kiv {
namespace {

using crashtest::kFaultKinds;

constexpr char kUnguardedSkip[] = "the sanitizer takes faults outside a guard";

TEST(FaultGuardTest, ExceptionPassesThroughAndLeavesNoGuardBehind) {
  FaultRecord record;
  EXPECT_THROW(RunGuarded([] { throw std::runtime_error("handler error"); }, &record),
               std::runtime_error);
  if (crashtest::kSanitizerTakesUnguardedFaults) GTEST_SKIP() << kUnguardedSkip;
  // Unguarded now: a SIGSEGV here would end the process, so fault in a child.
  EXPECT_EXIT(
      {
        FaultRecord inner;
        EXPECT_THROW(RunGuarded([] { throw std::logic_error("x"); }, &inner), std::logic_error);
        crashtest::DereferenceNull();
      },
      ::testing::KilledBySignal(SIGSEGV), "");
}

TEST(FaultGuardTest, EachFaultKindIsCaughtAndDescribed) {
  for (const auto& kind : kFaultKinds) {
    SCOPED_TRACE(kind.name);
    for (int round = 0; round < 3; ++round) {
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
      if (kind.signal == SIGSEGV) {
        EXPECT_EQ(record.address, 0u);
      }
    }
  }
  // The process is still fine and a body that returns runs once, no fault.
  int runs = 0;
  FaultRecord record;
  EXPECT_FALSE(RunGuarded([&] { ++runs; }, &record));
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(record.signal, 0);
}

TEST(FaultGuardTest, InnerGuardCatchesAndOuterCarriesOn) {
  FaultRecord outer;
  FaultRecord inner;
  bool innerFaulted = false;
  bool outerFinished = false;
  EXPECT_FALSE(RunGuarded(
      [&] {
        innerFaulted = RunGuarded(crashtest::RunBadInstruction, &inner);
        outerFinished = true;
      },
      &outer));
  EXPECT_TRUE(innerFaulted);
  EXPECT_TRUE(outerFinished);
  EXPECT_EQ(inner.signal, SIGILL);
  // After the inner guard, the outer one is current again.
  EXPECT_TRUE(RunGuarded(
      [&] {
        FaultRecord ignored;
        RunGuarded([] {}, &ignored);
        crashtest::DereferenceNull();
      },
      &outer));
  EXPECT_EQ(outer.signal, SIGSEGV);
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

TEST(FaultGuardDeathTest, FaultOutsideAGuardKillsTheProcess) {
  if (crashtest::kSanitizerTakesUnguardedFaults) GTEST_SKIP() << kUnguardedSkip;
  for (const auto& kind : kFaultKinds) {
    SCOPED_TRACE(kind.name);
    EXPECT_EXIT(
        {
          FaultRecord record;
          RunGuarded([] {}, &record);  // our handlers are in place now
          kind.raise();
        },
        ::testing::KilledBySignal(kind.signal), "");
  }
}

TEST(FaultGuardDeathTest, SentSignalInsideAGuardIsNotSwallowed) {
  if (crashtest::kSanitizerTakesUnguardedFaults) GTEST_SKIP() << kUnguardedSkip;
  EXPECT_EXIT(
      {
        FaultRecord record;
        RunGuarded([] { ::raise(SIGSEGV); }, &record);
        std::_Exit(0);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
}

void ExitWith42(int) {
  std::_Exit(42);
}

TEST(FaultGuardDeathTest, FaultOutsideAGuardReachesTheEarlierHandler) {
  if (crashtest::kSanitizerTakesUnguardedFaults) GTEST_SKIP() << kUnguardedSkip;
  // Death tests re-run the binary, so our handlers go in after this one.
  EXPECT_EXIT(
      {
        ::signal(SIGSEGV, ExitWith42);
        FaultRecord record;
        RunGuarded([] {}, &record);
        crashtest::DereferenceNull();
      },
      ::testing::ExitedWithCode(42), "");
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
