// Faults raised on purpose, out of the sanitizers' sight so that the fault
// itself reaches the guard. Sanitizer builds take faults outside a guard
// their own way (a report and an exit status, not the signal).
#pragma once

#include <signal.h>

namespace kiv::crashtest {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerTakesUnguardedFaults = true;
#else
constexpr bool kSanitizerTakesUnguardedFaults = false;
#endif

// Volatile all the way down: an optimiser may drop a store through null.
__attribute__((noinline, no_sanitize("undefined"), no_sanitize_address,
               no_sanitize_thread)) inline void
DereferenceNull() {
  volatile int* volatile pointer = nullptr;
  *pointer = 1;
}

__attribute__((noinline, no_sanitize("undefined"))) inline void DivideByZero() {
  volatile int zero = 0, one = 1;
  volatile int quotient = one / zero;
  (void)quotient;
}

struct FaultKind {
  const char* name;
  int signal;
  void (*raise)();
};

inline const FaultKind kFaultKinds[] = {
    {"null dereference", SIGSEGV, [] { DereferenceNull(); }},
    {"division by zero", SIGFPE, [] { DivideByZero(); }},
    {"bad instruction", SIGILL, [] { __builtin_trap(); }},
};

}  // namespace kiv::crashtest
