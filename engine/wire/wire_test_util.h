// Helpers for the codec tests: a connected socket pair, hex text and
// encode/decode over memory.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/wire/byte_io.h"
#include "kiv/value.h"

namespace kiv::testing {

// Two connected stream sockets, closed on destruction unless taken.
class SocketPair {
 public:
  SocketPair();
  ~SocketPair();
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;

  SOCKET writer() const { return fds_[0]; }
  SOCKET reader() const { return fds_[1]; }
  void CloseWriter();
  // Sends raw bytes from the writer end, all of them.
  void Send(const std::vector<std::uint8_t>& bytes);

 private:
  int fds_[2] = {-1, -1};
};

std::string Hex(const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> Bytes(const std::string& hex);

// Encodes to memory; an empty result means the encoder refused.
std::vector<std::uint8_t> Encode(const VARIANT& value);
// Decodes exactly these bytes; false when they are not one whole value.
bool Decode(const std::vector<std::uint8_t>& bytes, Variant& out);

// A safe array built from bounds (dimension 1 first) and data-block bytes.
Variant MakeArray(VARTYPE elementType, std::vector<SAFEARRAYBOUND> bounds,
                  const void* data = nullptr, std::size_t dataBytes = 0);
Variant MakeVariantArray(std::vector<Variant> items);

// Structural equality: same type word, same bits, same bounds, recursively.
bool SameValue(const VARIANT& a, const VARIANT& b);

}  // namespace kiv::testing
