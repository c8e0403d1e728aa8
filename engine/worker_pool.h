// The threads that serve incoming messages, parked between messages instead
// of started and joined for each one. Any number run at once: a message
// finds a parked thread or gets a new one at once, so no handler waits
// behind another. A thread parked for TimeLimit::kParkedWorker (2 s) ends,
// so an idle engine holds few threads. Thread-safe.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

struct KIV;
struct KivConnection;

namespace kiv::engine {

class WorkerPool {
 public:
  explicit WorkerPool(KIV* engine) : engine_(engine) {}
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Serves the busy connection on a parked or a new thread; false when no
  // thread could be started, or after Stop.
  bool Serve(std::shared_ptr<KivConnection> connection);
  // Ends every parked thread; busy ones end after their message. The
  // engine's worker count tells when the last has gone.
  void Stop();
  std::size_t Parked();

 private:
  struct Slot {
    std::condition_variable wake;
    std::shared_ptr<KivConnection> job;
  };

  void Run(std::shared_ptr<KivConnection> connection);
  // Waits for the next connection; none after the lifetime or on Stop.
  std::shared_ptr<KivConnection> Park();

  KIV* const engine_;
  std::mutex lock_;            // guards the two below
  std::vector<Slot*> parked_;  // the most recently parked last
  bool stopped_ = false;
};

}  // namespace kiv::engine
