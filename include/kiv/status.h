// The two enumerations shared by the engine, the satellite class and the
// automation object: a satellite's (or directory's) state and request flags.
#pragma once

#include <cstdint>

// Status of the satellite.
enum KIVSTATUS : std::int32_t {
  KIV_UNKNOWN = 0,
  KIV_ALIVE = 1,
  KIV_DEAD = 2,
  KIV_SHUTDOWN = 3,
  KIV_ADDUSER = 4,
  KIV_DELUSER = 5,
};

// Flags of the Request. The value 2 (wait at most 30 seconds for each
// target) is accepted without a name.
enum KIVFLAGS : std::int32_t {
  KIV_NOFLAGS = 0,
  KIV_ASYNCHRONOUS = 1,
};
