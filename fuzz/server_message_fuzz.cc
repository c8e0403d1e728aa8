// Feeds arbitrary bytes to a real engine's handling of one incoming message
// over a connected socket. The engine must answer with one well-formed reply
// (a message it handled) or exactly one refusal, and neither crash nor leak.
// Its discovery client joins the multicast group: a private network first.
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "engine/event_thread.h"
#include "engine/wire/wire_codec.h"
#include "engine/worker.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/value.h"
#include "support/net/net.h"
#include "testing/private_network.h"
#include "testing/raw_peer.h"

namespace {

std::int32_t Echo(KIV*, void*, int, BSTR, BSTR, VARIANT argument, VARIANT* value,
                  std::int32_t* returnCode) {
  VariantCopy(value, &argument);
  *returnCode = 0;
  return 0;
}

void Check(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "server_message: %s\n", what.c_str());
  std::abort();
}

// Never destroyed: it serves every input of the run.
KIV* Engine() {
  static KIV* engine = [] {
    std::string error;
    const bool entered = kiv::testing::EnterPrivateNetwork(&error);
    Check(entered, error);
    KIV* created = nullptr;
    Check(KivCreate(&created, &Echo, nullptr, nullptr) == 0, "no engine");
    return created;
  }();
  return engine;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Engine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  KIV* engine = Engine();
  if (size > 65536) return 0;  // it could fill the socket before the engine reads it
  int ends[2];
  Check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "no socketpair");
  const kiv::testing::Socket peer(ends[0]);
  Check(size == 0 || ::send(peer.get(), data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size),
        "input not queued");
  ::shutdown(peer.get(), SHUT_WR);  // the peer said all it will: reads end instead of waiting
  kiv::SetSendTimeout(ends[1], 1000);
  auto connection = std::make_shared<KivConnection>(ends[1]);
  const bool handled = KivHandleMessage(engine, connection.get());
  connection->stream.Flush();
  connection.reset();  // closes the engine's end
  const auto reply = kiv::testing::ReadUntilClosed(peer.get());
  Check(reply.has_value(), "the engine's end stayed open");
  kiv::MemorySource in(reply->data(), reply->size());
  const std::uint16_t kind = size >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 2;
  std::uint32_t first = 1, second = 9;
  if (!handled) {
    Check(kiv::ReadU32(in, first) && in.remaining() == 0, "not exactly one refusal");
    const auto code = static_cast<std::int32_t>(first);
    Check(code == kiv::KIV_E_TRANSPORT || code == kiv::KIV_E_UNKNOWN_KIND, "bad refusal");
    Check((code == kiv::KIV_E_UNKNOWN_KIND) == (size >= 2 && kind > 1), "wrong refusal");
    return 0;
  }
  // A ping's result 0 and status 1 or 2; a request's result 0, code 0 and one value.
  Check(kind <= 1, "unknown kind handled");
  Check(kiv::ReadU32(in, first) && first == 0 && kiv::ReadU32(in, second), "bad reply");
  kiv::Variant value;
  Check(kind == 1 ? second == 1 || second == 2 : second == 0 && kiv::ReadVariant(in, value.get()),
        "bad status or value");
  Check(in.remaining() == 0, "bytes after the reply");
  return 0;
}
