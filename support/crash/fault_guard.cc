#include "support/crash/fault_guard.h"

#include <setjmp.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <boost/stacktrace/safe_dump_to.hpp>
#include <cerrno>
#include <memory>
#include <mutex>

namespace kiv {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr std::size_t kSignalCount = sizeof(kFaultSignals) / sizeof(kFaultSignals[0]);
// Room for the handler's own frames (and a sanitizer's wrappers) that the
// unwinder reports before reaching the faulting one.
constexpr std::size_t kRawFrames = FaultRecord::kMaxFrames + 16;
// Big enough for the handler's stack walk, including a sanitizer's wrappers.
constexpr std::size_t kAltStackBytes = 128 * 1024;

// Written once before our handlers go in, read only by them afterwards.
struct sigaction previousActions[kSignalCount];
std::once_flag installOnce;

struct GuardFrame {
  sigjmp_buf jump;
  FaultRecord* record;
  GuardFrame* outer;
};

// The innermost active guard of this thread; only its own thread and that
// thread's signal handler touch it.
thread_local GuardFrame* currentGuard = nullptr;
// This thread's alternate stack memory, kept for the thread's life and
// registered with the system only while a guard runs.
thread_local std::unique_ptr<char[]> altStackMemory;

std::size_t SignalIndex(int signal) {
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    if (kFaultSignals[i] == signal) return i;
  }
  return 0;
}

std::uintptr_t FaultingPc(void* context) {
  const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.pc);
#else
  (void)uc;
  return 0;
#endif
}

// Async-signal-safe: fills the record from the signal's data and a raw walk
// of the stack, starting at the faulting frame when the walk reaches it.
void DescribeFault(int signal, const siginfo_t* info, void* context, FaultRecord* record) {
  record->signal = signal;
  record->code = info->si_code;
  record->address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  record->pc = FaultingPc(context);
  record->thread = ::gettid();

  void* raw[kRawFrames + 1];
  const std::size_t count = boost::stacktrace::safe_dump_to(0, raw, sizeof(raw));
  std::size_t first = 0;
  while (first < count && reinterpret_cast<std::uintptr_t>(raw[first]) != record->pc) ++first;
  std::size_t out = 0;
  if (first == count) {
    // The walk did not pass the signal frame: keep what it has after the pc.
    first = 0;
    if (record->pc != 0) record->frames[out++] = record->pc;
  }
  for (std::size_t i = first; i < count && out < FaultRecord::kMaxFrames; ++i) {
    record->frames[out++] = reinterpret_cast<std::uintptr_t>(raw[i]);
  }
  record->frameCount = out;
}

// Outside a guard the process must end as it would without us: hand the
// signal to whoever had it before, or to the default action.
void PassOn(int signal, siginfo_t* info, void* context) {
  const struct sigaction& previous = previousActions[SignalIndex(signal)];
  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    if (previous.sa_sigaction != nullptr) {
      previous.sa_sigaction(signal, info, context);
      return;
    }
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  // A fault returns to its instruction, which faults again under the default
  // action; a signal someone sent has to be sent again.
  if (info->si_code <= 0) ::raise(signal);
}

void OnFault(int signal, siginfo_t* info, void* context) {
  GuardFrame* guard = currentGuard;
  // si_code > 0: raised by the kernel for this thread's instruction, not
  // sent by kill() or raise(), which no guard should swallow.
  if (guard != nullptr && info->si_code > 0) {
    DescribeFault(signal, info, context, guard->record);
    siglongjmp(guard->jump, 1);
  }
  const int savedErrno = errno;
  PassOn(signal, info, context);
  errno = savedErrno;
}

void InstallHandlers() {
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    ::sigaction(kFaultSignals[i], nullptr, &previousActions[i]);
    struct sigaction action = {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ::sigaction(kFaultSignals[i], &action, nullptr);
  }
}

// Gives the thread an alternate signal stack for the guard's duration, so a
// fault from a stack overflow can still be handled. A thread that already
// has one (an outer guard's, a sanitizer's) keeps it.
class AltStackScope {
 public:
  AltStackScope() {
    stack_t current = {};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return;
    if (!altStackMemory) altStackMemory.reset(new char[kAltStackBytes]);
    stack_t ours = {};
    ours.ss_sp = altStackMemory.get();
    ours.ss_size = kAltStackBytes;
    installed_ = ::sigaltstack(&ours, nullptr) == 0;
  }
  ~AltStackScope() {
    if (!installed_) return;
    stack_t off = {};
    off.ss_flags = SS_DISABLE;
    ::sigaltstack(&off, nullptr);
  }
  AltStackScope(const AltStackScope&) = delete;
  AltStackScope& operator=(const AltStackScope&) = delete;

 private:
  bool installed_ = false;
};

// Makes the guard current and restores the outer one on every way out,
// including an exception from the body.
class GuardScope {
 public:
  explicit GuardScope(GuardFrame* frame) : frame_(frame) { currentGuard = frame; }
  ~GuardScope() { currentGuard = frame_->outer; }
  GuardScope(const GuardScope&) = delete;
  GuardScope& operator=(const GuardScope&) = delete;

 private:
  GuardFrame* frame_;
};

}  // namespace

bool RunGuardedCall(void (*body)(void*), void* context, FaultRecord* record) {
  std::call_once(installOnce, InstallHandlers);
  AltStackScope altStack;
  GuardFrame frame;
  frame.record = record;
  frame.outer = currentGuard;
  GuardScope scope(&frame);
  // The signal mask is saved so that the jump back unblocks the signal.
  if (sigsetjmp(frame.jump, 1) != 0) return true;
  body(context);
  return false;
}

const char* FaultSignalName(int signal) {
  switch (signal) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGFPE:
      return "SIGFPE";
    case SIGILL:
      return "SIGILL";
    default:
      return "signal";
  }
}

}  // namespace kiv
