// Messages that announce far more than they carry: the head of a request
// (kind 0, caller, service, argument) whose string or array count promises
// gigabytes, and bytes that continue it validly for whoever trickles them.
// Pure data; any thread.
#pragma once

#include <string>
#include <vector>

#include "tests/hostile/raw_connection.h"

namespace kiv::hostile {

struct GiantMessage {
  std::string name;
  Bytes head;     // sent at once
  Bytes trickle;  // what may follow, byte by byte, without ending the value
};

// A caller string of 2 GiB; the longest string with 64 KiB of it sent; an
// argument array of 4 Gi bytes, variants or strings; a 65535 x 65535 array
// of doubles; a 4 Gi variant array whose first element is a 2 GiB string.
std::vector<GiantMessage> GiantMessages();

}  // namespace kiv::hostile
