// A satellite of the driver that offers no service: the callers and the
// registration observer connect as one to use Request. Disconnects on
// destruction; see KivSatellite for the threads.
#pragma once

#include "kiv/satellite.h"

namespace kiv::soak {

class PlainSatellite : public KivSatellite {
 public:
  ~PlainSatellite() override { Disconnect(); }

 protected:
  void InitServices() override {}
};

}  // namespace kiv::soak
