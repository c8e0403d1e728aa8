#include "bench/compare/design_costs.h"

#include <string>

#include "support/threads/thread.h"

namespace kiv::compare {
namespace {

void* Nothing(void*) {
  return nullptr;
}

// A PThread started and joined, with the same start handshake as a worker.
class ThreadStartCost : public EchoTransport {
 public:
  bool Start(std::string*) override { return true; }
  void Stop() override {}
  void Prepare(int, std::size_t) override {}
  const char* Call(int, std::uint64_t) override {
    try {
      PThread thread(nullptr, &Nothing, nullptr);
      thread.Join(nullptr);
    } catch (const std::exception&) {
      return "the thread did not start";
    }
    return nullptr;
  }
};

}  // namespace

std::unique_ptr<EchoTransport> MakeThreadStartCost() {
  return std::make_unique<ThreadStartCost>();
}

}  // namespace kiv::compare
