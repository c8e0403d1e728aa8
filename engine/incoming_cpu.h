// Runs a worker on the processor that received its connection's data while
// it serves a large message. On loopback that is the sender's processor, so
// the kernel's copy out of the socket finds the message in that
// processor's cache instead of pulling it across, and the scheduler cannot
// move either thread away in the middle of the copy. A 1 MiB echo between
// two threads free to move took 987-1,172 us, and 620-862 us with the
// worker following the data. Messages with less than 96 KiB queued when
// the worker starts on them stay where they are: at 64 KiB the move (two
// system calls and a migration) cost more than it saved (187-190 us
// against 242-251). The queue is looked at (one ioctl, 0.4 us) before the
// message's first read, as late as that it gained less (1 MiB 686-779 us
// against 584-642). The thread's own set of allowed processors is
// respected, and given back when the worker is done.
#pragma once

#include <sched.h>

#include <cstddef>

namespace kiv::engine {

class IncomingCpuFollower {
 public:
  // Bytes queued on the socket from which a message counts as large.
  static constexpr std::size_t kLargeQueuedBytes = 96 * 1024;

  IncomingCpuFollower() = default;
  IncomingCpuFollower(const IncomingCpuFollower&) = delete;
  IncomingCpuFollower& operator=(const IncomingCpuFollower&) = delete;
  // Gives the thread back its allowed processors.
  ~IncomingCpuFollower();

  // Keeps the calling thread on the processor that received `socket`'s data
  // when a large message is queued there and the thread may run on it.
  void FollowLargeMessage(int socket);

 private:
  cpu_set_t allowed_{};  // the thread's own, once it was pinned
  int pinnedTo_ = -1;
};

}  // namespace kiv::engine
