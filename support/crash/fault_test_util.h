// Faults raised on purpose by the crash tests, each out of the sanitizers'
// sight so that the fault itself, not a sanitizer report, reaches the guard.
// In sanitizer builds the sanitizer's handlers take faults outside our
// guards and end the process their own way (a report and an exit status,
// not the signal); faults inside a guard still reach the guard first.
#pragma once

#include <signal.h>

namespace kiv::crashtest {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerTakesUnguardedFaults = true;
#else
constexpr bool kSanitizerTakesUnguardedFaults = false;
#endif

// The write never happens; ThreadSanitizer would still record it as one.
__attribute__((noinline, no_sanitize("undefined"), no_sanitize_address,
               no_sanitize_thread)) inline void
DereferenceNull() {
  // Volatile all the way down: an optimiser may drop a plain store through
  // a pointer it reads as null.
  volatile int* volatile pointer = nullptr;
  *pointer = 1;
}

__attribute__((noinline, no_sanitize("undefined"))) inline int DivideByZero() {
  volatile int zero = 0;
  volatile int one = 1;
  volatile int quotient = one / zero;  // kept even when the caller ignores it
  return quotient;
}

__attribute__((noinline)) inline void RunBadInstruction() {
  __builtin_trap();
}

struct FaultKind {
  const char* name;
  int signal;
  void (*raise)();
};

inline const FaultKind kFaultKinds[] = {
    {"null dereference", SIGSEGV, [] { DereferenceNull(); }},
    {"division by zero", SIGFPE, [] { DivideByZero(); }},
    {"bad instruction", SIGILL, [] { RunBadInstruction(); }},
};

}  // namespace kiv::crashtest
