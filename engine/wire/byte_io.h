// Byte sinks and sources for the wire codec. The engine writes through a
// SocketStream and reads straight from the socket; the memory variants let
// the command-line tools, fuzzers and tests run the same codec on buffers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/wire/decode_budget.h"
#include "support/net/socket.h"

namespace kiv {

// Accepts bytes; Write returns how many it took (all or a failure).
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Returns n when all n bytes were accepted, 0 or -1 on failure.
  virtual std::int32_t Write(const void* bytes, std::int32_t n) = 0;
  // Whether large writes leave straight from the caller's memory, so that an
  // encoder gains by converting large data in large chunks.
  virtual bool SendsLargeWritesDirectly() const { return false; }
};

// Delivers exactly the bytes asked for, or fails.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // True when all n bytes arrived; false when the source ended or failed.
  virtual bool ReadExact(void* buffer, std::size_t n) = 0;
  // Told by the decoder that at least `bytes` more bytes are announced, before
  // it reads them; false refuses the value before any of them is awaited.
  virtual bool Expect(std::uint64_t /*bytes*/) { return true; }
  // Told by the decoder what a value costs in memory beyond its bytes on the
  // wire (allocation overhead, pointers, variant slots) before it allocates;
  // false refuses the value.
  virtual bool Charge(std::uint64_t /*bytes*/) { return true; }
  // Bytes that have arrived and can be delivered without waiting (a lower
  // bound), so that a reader can size a buffer by them rather than by what
  // the peer announces.
  virtual std::size_t Available() const { return 0; }
};

// Reads from a connected socket and never consumes a byte it has not
// delivered, so the next reader of the connection finds the stream exactly
// where this one stopped. It peeks at what has arrived and takes the bytes
// off the socket in one call once they are delivered (at Commit or
// destruction), instead of one system call per primitive. Waits as long as
// the socket's receive time-out allows, or until a deadline when one is set;
// end of stream and errors fail. A size limit, when set, fails the read that
// would pass it (or the announcement or charge of more) and remembers the
// size; it counts what the message costs in memory, which is what a peer can
// make a reader spend. A budget, when set, is shared with the process's other
// readers: the source takes from it what its message announces or grows to,
// beyond a small allowance, and gives it back when destroyed.
class SocketSource final : public ByteSource {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  explicit SocketSource(SOCKET socket) : socket_(socket) {}
  // A reader whose peer sends nothing past the message it reads (a reply:
  // the server speaks only when asked) may take bytes off the socket as it
  // reads them, saving the second receive per window; whatever follows the
  // message in its last window is then lost.
  enum class Taking { kDelivered, kAsRead };
  SocketSource(SOCKET socket, Taking taking) : socket_(socket), taking_(taking) {}
  SocketSource(const SocketSource&) = delete;
  SocketSource& operator=(const SocketSource&) = delete;
  ~SocketSource() override;

  bool ReadExact(void* buffer, std::size_t n) override;
  bool Expect(std::uint64_t bytes) override;
  bool Charge(std::uint64_t bytes) override;
  std::size_t Available() const override;
  // Bytes already received past those delivered; no system call.
  std::size_t ReadAhead() const { return peeked_ - delivered_; }
  // Takes the delivered bytes off the socket; false when that fails.
  bool Commit();

  // Every byte must have arrived by `deadline`, whatever the socket's own
  // receive time-out, plus one second for each `bytesPerSecond` bytes that
  // arrived: a large value on a slow link passes, a peer that trickles bytes
  // cannot hold the reader.
  void SetDeadline(Deadline deadline, std::uint64_t bytesPerSecond) {
    deadline_ = deadline;
    bytesPerSecond_ = bytesPerSecond;
  }
  void ClearDeadline() { deadline_.reset(); }
  bool missedDeadline() const { return missedDeadline_; }
  // The peer has only just been asked (a reply is due): the next receive
  // under a deadline waits before it tries, sparing a receive that would
  // find nothing.
  void AwaitBeforeNextReceive() { awaitFirst_ = true; }
  // At most `bytes` bytes are delivered from here on (0: no limit).
  void SetLimit(std::uint64_t bytes) {
    limit_ = bytes;
    counted_ = 0;
  }
  std::uint64_t limit() const { return limit_; }
  // The size a refused read or announcement would have reached, or 0.
  std::uint64_t refusedSize() const { return refusedSize_; }
  void SetBudget(DecodeBudget* budget) { budget_ = budget; }
  const DecodeBudget* budget() const { return budget_; }
  // True when the shared budget refused to grow.
  bool overBudget() const { return overBudget_; }
  // What Charge added up: memory in many small blocks, which the allocator
  // may keep after they are freed.
  std::uint64_t charged() const { return charged_; }

 private:
  static constexpr std::size_t kWindow = 4096;
  // Each message's first bytes are outside the budget, so small calls still
  // pass while large messages fill it; past them it is taken in steps.
  static constexpr std::uint64_t kBudgetFree = 64 * 1024;
  static constexpr std::uint64_t kBudgetStep = 64 * 1024;

  bool ReceiveAll(void* buffer, std::size_t n);
  // One recv, waiting no later than the deadline when there is one.
  ssize_t Receive(void* buffer, std::size_t n, int flags);
  bool WithinLimit(std::uint64_t more);
  // Counts `more` toward the limit and the budget; false when either refuses.
  bool Count(std::uint64_t more);
  // Takes from the budget what the message's first `total` bytes need.
  bool Reserve(std::uint64_t total);

  SOCKET socket_;
  Taking taking_ = Taking::kDelivered;
  std::unique_ptr<std::uint8_t[]> window_;
  std::size_t peeked_ = 0;     // bytes of the window that mirror the socket's queue
  std::size_t delivered_ = 0;  // of those, bytes handed to the reader
  std::optional<Deadline> deadline_;
  std::uint64_t bytesPerSecond_ = 0;
  std::uint64_t arrived_ = 0;  // bytes taken off the socket
  bool missedDeadline_ = false;
  bool awaitFirst_ = false;
  std::uint64_t limit_ = 0;
  std::uint64_t counted_ = 0;  // bytes delivered since the limit was set
  std::uint64_t refusedSize_ = 0;
  std::uint64_t charged_ = 0;
  DecodeBudget* budget_ = nullptr;
  std::uint64_t reserved_ = 0;  // taken from budget_
  bool overBudget_ = false;
};

class MemorySource final : public ByteSource {
 public:
  MemorySource(const void* data, std::size_t size)
      : data_(static_cast<const std::uint8_t*>(data)), size_(size) {}
  bool ReadExact(void* buffer, std::size_t n) override;
  bool Charge(std::uint64_t bytes) override {
    charged_ += bytes;
    return true;
  }
  std::size_t Available() const override { return remaining(); }
  std::size_t remaining() const { return size_ - offset_; }
  // What decoding charged, so that bytes plus this is what a reader with a
  // size limit counts for the same message.
  std::uint64_t charged() const { return charged_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
  std::uint64_t charged_ = 0;
};

class MemorySink final : public ByteSink {
 public:
  std::int32_t Write(const void* bytes, std::int32_t n) override;
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace kiv
