// Feeds arbitrary bytes to a real engine's handling of one incoming
// message, through a connected socket as a worker meets them. Whatever
// arrives, the engine must answer with one well-formed reply (a message it
// handled) or exactly one refusal (one it did not), and neither crash nor
// leak. The engine's discovery client joins the multicast group, so the
// process first moves into a network namespace of its own.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/event_thread.h"
#include "engine/wire/wire_codec.h"
#include "engine/worker.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "support/net/net.h"
#include "testing/private_network.h"

namespace {

// Larger inputs could fill the socket before the engine reads them.
constexpr std::size_t kMaxInput = 65536;

std::int32_t Echo(KIV*, void*, int, BSTR, BSTR, VARIANT argument, VARIANT* value,
                  std::int32_t* returnCode) {
  VariantCopy(value, &argument);
  *returnCode = 0;
  return 0;
}

void Fail(const char* what) {
  std::fprintf(stderr, "server_message: %s\n", what);
  std::abort();
}

KIV* Engine() {
  static KIV* engine = [] {
    std::string error;
    if (!kiv::testing::EnterPrivateNetwork(&error)) {
      std::fprintf(stderr, "server_message: %s\n", error.c_str());
      std::abort();
    }
    KIV* created = nullptr;
    if (KivCreate(&created, &Echo, nullptr, nullptr) != 0) Fail("no engine");
    // Never destroyed: it serves every input of the run.
    return created;
  }();
  return engine;
}

std::vector<std::uint8_t> Drain(int socket) {
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[4096];
  for (;;) {
    const ssize_t got = ::recv(socket, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got <= 0) return bytes;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
}

// A reply the engine may send for a message it handled: a ping's result 0
// and status 1 or 2, or a request's result 0, code 0 and one value.
void CheckReply(std::uint16_t kind, const std::vector<std::uint8_t>& reply) {
  kiv::MemorySource in(reply.data(), reply.size());
  std::uint32_t result = 1;
  std::uint32_t second = 9;
  if (!kiv::ReadU32(in, result) || result != 0 || !kiv::ReadU32(in, second)) Fail("bad reply");
  if (kind == 1) {
    if (second != 1 && second != 2) Fail("bad ping status");
  } else {
    VARIANT value;
    VariantInit(&value);
    const bool read = kiv::ReadVariant(in, &value);
    VariantClear(&value);
    if (second != 0 || !read) Fail("bad request reply");
  }
  if (in.remaining() != 0) Fail("bytes after the reply");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Engine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  KIV* engine = Engine();
  if (size > kMaxInput) return 0;
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) Fail("no socketpair");
  const int peer = ends[0];
  if (size > 0 && ::send(peer, data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
    Fail("input not queued");
  }
  // The peer has said all it will: reads end instead of waiting.
  ::shutdown(peer, SHUT_WR);
  kiv::SetSendTimeout(ends[1], 1000);

  const auto connection = std::make_shared<KivConnection>(ends[1]);
  const bool handled = KivHandleMessage(engine, connection.get());
  connection->stream.Flush();
  const std::vector<std::uint8_t> reply = Drain(peer);
  ::close(peer);

  const std::uint16_t kind = size >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 2;
  if (handled) {
    if (kind > 1) Fail("unknown kind handled");
    CheckReply(kind, reply);
  } else {
    kiv::MemorySource in(reply.data(), reply.size());
    std::uint32_t refusal = 0;
    if (!kiv::ReadU32(in, refusal) || in.remaining() != 0) Fail("not exactly one refusal");
    const auto code = static_cast<std::int32_t>(refusal);
    if (code != kiv::KIV_E_TRANSPORT && code != kiv::KIV_E_UNKNOWN_KIND) Fail("bad refusal");
    if ((code == kiv::KIV_E_UNKNOWN_KIND) != (size >= 2 && kind > 1)) Fail("wrong refusal");
  }
  return 0;
}
