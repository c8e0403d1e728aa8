#include "engine/incoming_cpu.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

namespace kiv::engine {

IncomingCpuFollower::~IncomingCpuFollower() {
  if (pinnedTo_ >= 0) ::sched_setaffinity(0, sizeof allowed_, &allowed_);
}

void IncomingCpuFollower::FollowLargeMessage(int socket) {
  int queued = 0;
  if (::ioctl(socket, FIONREAD, &queued) != 0 ||
      static_cast<std::size_t>(queued) < kLargeQueuedBytes) {
    return;
  }
  int cpu = -1;
  socklen_t size = sizeof cpu;
  if (::getsockopt(socket, SOL_SOCKET, SO_INCOMING_CPU, &cpu, &size) != 0 || cpu < 0 ||
      cpu >= CPU_SETSIZE || cpu == pinnedTo_) {
    return;
  }
  if (pinnedTo_ < 0 && ::sched_getaffinity(0, sizeof allowed_, &allowed_) != 0) return;
  if (!CPU_ISSET(cpu, &allowed_)) return;
  cpu_set_t target;
  CPU_ZERO(&target);
  CPU_SET(cpu, &target);
  if (::sched_setaffinity(0, sizeof target, &target) == 0) pinnedTo_ = cpu;
}

}  // namespace kiv::engine
