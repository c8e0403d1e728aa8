// kivd's HTTP side for operators: a status page for people at /, and
// /healthz, /satellites, /events, /stats and /metrics for programs. It runs
// on threads of its own (a small pool) and reads only snapshots of the
// directory, so an HTTP client, however slow or hostile, can delay no
// registration, ping or notice. Bind, Serve and Stop belong to kivd's main
// thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "directory/directory_service.h"

namespace httplib {
class Server;
}

namespace kiv::kivd {

class HttpStatus {
 public:
  // The directory must outlive this object.
  explicit HttpStatus(const directory::DirectoryService& directory);
  // Stops first.
  ~HttpStatus();
  HttpStatus(const HttpStatus&) = delete;
  HttpStatus& operator=(const HttpStatus&) = delete;

  // Takes the address (dotted IPv4) and port; false with one line in
  // *error when it cannot. Connections wait in the backlog until Serve.
  bool Bind(const std::string& address, std::uint16_t port, std::string* error);
  // Answers requests on its own threads until Stop.
  void Serve();
  // Stops accepting, lets the requests in progress finish (each bounded by
  // the time-outs) and joins the threads.
  void Stop();

 private:
  void Route();

  const directory::DirectoryService& directory_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listener_;
  std::atomic<bool> listenerEnded_{false};
};

}  // namespace kiv::kivd
