#include "tools/kivd/http_status.h"

#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>

#include "directory/directory_events.h"
#include "directory/satellite_json.h"
#include "support/log/log.h"
#include "support/metrics/metrics.h"
#include "tools/kivd/metrics_text.h"
#include "tools/kivd/status_page.h"

namespace kiv::kivd {
namespace {

// A few threads are plenty for people and a scraper; they are not the
// directory's, so when they are all busy only HTTP clients wait.
constexpr std::size_t kThreads = 4;
// Connections being served or waiting for a thread. Past this the
// accepting thread serves the next one itself and stops accepting, so the
// kernel's small backlog, then refusal, bounds the rest: a flood of
// connections cannot use up kivd's descriptors.
constexpr int kMaxConnections = 16;
// Each read or write of a request may take this long; a client that stalls
// longer is cut off, so a stalled client holds a thread a few seconds.
constexpr time_t kTimeoutSeconds = 3;
// One request per connection: a page refreshing every second would
// otherwise keep its connections, and so threads, between refreshes, and a
// few open pages would hold every thread.
constexpr std::size_t kRequestsPerConnection = 1;
// Every endpoint is a GET; a request with a body is refused past this.
constexpr std::size_t kMaxBody = 4096;

// httplib's pool queues connections without limit; this one does not.
class BoundedPool : public httplib::TaskQueue {
 public:
  BoundedPool() : pool_(kThreads) {}

  void enqueue(std::function<void()> serve) override {
    if (open_.fetch_add(1) >= kMaxConnections) {
      serve();
      --open_;
      return;
    }
    pool_.enqueue([this, serve = std::move(serve)] {
      serve();
      --open_;
    });
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  httplib::ThreadPool pool_;
  std::atomic<int> open_{0};
};

// nlohmann::json or nlohmann::ordered_json.
template <class Json>
void ReplyJson(httplib::Response& response, const Json& value) {
  response.set_content(value.dump(-1, ' ', false, Json::error_handler_t::replace),
                       "application/json");
}

}  // namespace

HttpStatus::HttpStatus(const directory::DirectoryService& directory)
    : directory_(directory), server_(std::make_unique<httplib::Server>()) {
  // httplib's default is SO_REUSEPORT, which would let a second kivd bind
  // the same port and take half the requests; SO_REUSEADDR only lets a
  // restart bind while old connections linger.
  server_->set_socket_options([](int socket) {
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // httplib owns and deletes the queue it is handed.
  server_->new_task_queue = [] { return new BoundedPool; };
  server_->set_read_timeout(kTimeoutSeconds);
  server_->set_write_timeout(kTimeoutSeconds);
  server_->set_keep_alive_timeout(kTimeoutSeconds);
  server_->set_keep_alive_max_count(kRequestsPerConnection);
  server_->set_payload_max_length(kMaxBody);
  server_->set_default_headers(
      {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}});
  server_->set_exception_handler(
      [](const httplib::Request& request, httplib::Response& response, std::exception_ptr failure) {
        std::string what = "unknown";
        try {
          std::rethrow_exception(failure);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        LogWarn(u"kivd: HTTP %hs failed: %hs", request.path.c_str(), what.c_str());
        response.status = 500;
        response.set_content("internal error\n", "text/plain");
      });
  Route();
}

HttpStatus::~HttpStatus() {
  Stop();
}

void HttpStatus::Route() {
  server_->Get("/", [](const httplib::Request&, httplib::Response& response) {
    // The page brings everything it needs; it may load nothing else.
    response.set_header("Content-Security-Policy",
                        "default-src 'self'; style-src 'unsafe-inline'; "
                        "script-src 'unsafe-inline'");
    response.set_content(kStatusPage, "text/html; charset=utf-8");
  });
  server_->Get("/healthz", [this](const httplib::Request&, httplib::Response& response) {
    // The directory answers as long as it is registered with itself.
    const bool running = directory_.table().Find(directory::kDirectoryName).has_value();
    response.status = running ? 200 : 503;
    response.set_content(running ? "ok\n" : "not serving\n", "text/plain");
  });
  server_->Get("/satellites", [this](const httplib::Request&, httplib::Response& response) {
    std::vector<directory::SatelliteRecord> satellites = directory_.table().Satellites();
    directory::HideInternalService(satellites, false);
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& record : satellites) list.push_back(directory::SatelliteJson(record));
    ReplyJson(response, list);
  });
  server_->Get("/events", [this](const httplib::Request&, httplib::Response& response) {
    nlohmann::json events = nlohmann::json::array();
    for (const auto& event : directory_.RecentEvents(directory::kRecentEvents)) {
      events.push_back(directory::ToJson(event));
    }
    ReplyJson(response, events);
  });
  server_->Get("/stats", [](const httplib::Request&, httplib::Response& response) {
    ReplyJson(response, metrics::SnapshotJson());
  });
  server_->Get("/metrics", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(PrometheusText(metrics::Snapshot()), kPrometheusContentType);
  });
}

bool HttpStatus::Bind(const std::string& address, std::uint16_t port, std::string* error) {
  errno = 0;
  if (server_->bind_to_port(address, port)) return true;
  const int cause = errno;
  *error = "cannot serve HTTP on " + address + ":" + std::to_string(port) +
           (cause != 0 ? std::string(": ") + std::strerror(cause) : "");
  return false;
}

void HttpStatus::Serve() {
  listener_ = std::thread([this] {
    server_->listen_after_bind();
    listenerEnded_ = true;
  });
}

void HttpStatus::Stop() {
  if (!listener_.joinable()) return;
  // The listening loop may not have started yet; stop() only reaches a
  // running one, so ask until it has ended.
  while (!server_->is_running() && !listenerEnded_) std::this_thread::yield();
  server_->stop();
  listener_.join();
}

}  // namespace kiv::kivd
