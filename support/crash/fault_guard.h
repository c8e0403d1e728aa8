// The fault guard: runs a callable on the calling thread and catches the
// synchronous faults it raises there (SIGSEGV, SIGBUS, SIGFPE, SIGILL),
// jumping back out of the fault and describing it in a FaultRecord. Faults
// outside a guard, or on other threads, keep their default behaviour.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <utility>

namespace kiv {

// What the signal handler saw, filled with async-signal-safe calls only.
struct FaultRecord {
  static constexpr std::size_t kMaxFrames = 64;
  int signal = 0;
  int code = 0;                // si_code: which kind of fault
  std::uintptr_t address = 0;  // si_addr: the faulting memory or instruction
  std::uintptr_t pc = 0;       // the instruction that faulted (0 when unknown)
  pid_t thread = 0;            // kernel thread id
  std::size_t frameCount = 0;  // frames[0] is the faulting instruction
  std::uintptr_t frames[kMaxFrames] = {};
};

// Runs body(context). Returns false when it returned normally (or threw: the
// exception passes through), true when it faulted; then *record describes the
// fault. A faulting body is abandoned where it stood: destructors of its
// frames do not run, locks it held stay held, memory it owned leaks.
// Guards nest. The first call installs the process's handlers for the four
// signals, chaining to those installed before; a handler installed after it
// by someone else disables the guards.
bool RunGuardedCall(void (*body)(void*), void* context, FaultRecord* record);

template <class F>
bool RunGuarded(F&& body, FaultRecord* record) {
  // Wrapped so that functions and function objects both pass as a void*.
  auto call = [&body] { body(); };
  auto trampoline = [](void* context) { (*static_cast<decltype(call)*>(context))(); };
  return RunGuardedCall(trampoline, &call, record);
}

// The signal's short name ("SIGSEGV"); "signal" for others.
const char* FaultSignalName(int signal);

}  // namespace kiv
