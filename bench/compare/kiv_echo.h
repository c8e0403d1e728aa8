// The engine's two ways of calling, each client with an engine of its own
// (an engine's idle cache lends any idle connection to any of its callers,
// so only separate engines keep one connection per client thread):
//   kiv_call:    KivCall from a bare engine to a bare echo engine;
//   kiv_request: KivSatellite::Request to the satellite offering Echo, the
//                directory lookup included in every call.
// Both register with one real directory (kivd's DirectoryService on port
// 29831), started by whichever transport starts first and stopped with the
// last one dropped.
#pragma once

#include <memory>

#include "bench/compare/echo_transport.h"

namespace kiv::compare {

struct KivTransports {
  std::unique_ptr<EchoTransport> call;
  std::unique_ptr<EchoTransport> request;
  // The directory lookup alone, as each request makes it; uses `call`.
  std::unique_ptr<EchoTransport> lookup;
};

KivTransports MakeKivTransports();

}  // namespace kiv::compare
