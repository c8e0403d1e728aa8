#include "support/net/net_test_util.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "support/log/cbblog.h"
#include "support/log/log.h"
#include "support/net/net.h"
#include "support/text/wide_format.h"
#include "support/threads/mutex.h"

namespace kiv::nettest {

LoopbackPort::LoopbackPort(bool listen) : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
      (!listen || ::listen(socket_.get(), 4) == 0)) {
    port_ = ntohs(address.sin_port);
  }
}

SOCKET LoopbackPort::Accept() {
  pollfd entry{socket_.get(), POLLIN, 0};
  if (::poll(&entry, 1, 1000) != 1) return INVALID_SOCKET;
  return ::accept(socket_.get(), nullptr, nullptr);
}

class LogCapture::Logger final : public CBBLog {
 public:
  Logger() : CBBLog(u"", false) {}
  void VLog(const char16_t* format, va_list arguments, int level) override {
    std::u16string text = WideFormatV(format, arguments);
    PScopedLock lock(&mutex_);
    lines_.emplace_back(level, std::move(text));
  }
  bool Has(int level, const std::u16string& message) const {
    PScopedLock lock(&mutex_);
    return std::find(lines_.begin(), lines_.end(), std::make_pair(level, message)) != lines_.end();
  }

 private:
  mutable PMutex mutex_;
  std::vector<std::pair<int, std::u16string>> lines_;
};

LogCapture::LogCapture() : logger_(new Logger) {
  SetGlobalLogger(logger_);
}

LogCapture::~LogCapture() {
  SetGlobalLogger({});
}

bool LogCapture::Has(int level, const std::u16string& message) const {
  return logger_->Has(level, message);
}

bool InScenario(const char* name) {
  const char* scenario = std::getenv("KIV_NET_SCENARIO");
  return scenario != nullptr && std::strcmp(scenario, name) == 0;
}

IPv4Address Address(const char* dotted) {
  in_addr value{};
  ::inet_pton(AF_INET, dotted, &value);
  return value.s_addr;
}

}  // namespace kiv::nettest
