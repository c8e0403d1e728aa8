// Cost of the value codec, the floor under every call: each value is
// encoded into a SocketStream on one end of a loopback TCP connection and
// decoded from the other, with the writer on its own thread. The memory
// variants separate codec work from the socket's.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "engine/wire/socket_stream.h"
#include "engine/wire/wire_codec.h"
#include "kiv/value.h"

namespace {

using kiv::Variant;

// A connected loopback TCP pair, as the engine uses between satellites.
struct TcpPair {
  int client = -1, server = -1;
  TcpPair() {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      std::abort();
    }
    client = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
    server = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    const int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~TcpPair() {
    ::close(client);
    ::close(server);
  }
};

Variant ByteArray(std::size_t n) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(n));
  kiv::SafeArrayAccess access(array);
  for (std::size_t i = 0; i < n; ++i) access.as<std::uint8_t>()[i] = static_cast<std::uint8_t>(i);
  return Variant::Adopt(array, VT_UI1);
}

Variant IntArray(std::size_t n) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(n));
  kiv::SafeArrayAccess access(array);
  for (std::size_t i = 0; i < n; ++i) access.as<std::int32_t>()[i] = static_cast<std::int32_t>(i);
  return Variant::Adopt(array, VT_I4);
}

Variant VariantArray(std::size_t n, const std::function<Variant(std::size_t)>& item) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(n));
  kiv::SafeArrayAccess access(array);
  for (std::size_t i = 0; i < n; ++i) access.as<VARIANT>()[i] = item(i).Detach();
  return Variant::Adopt(array, VT_VARIANT);
}

Variant ShortStrings(std::size_t n) {
  return VariantArray(n, [](std::size_t i) {
    const std::string text = "item-" + std::to_string(i);
    return Variant::String(std::u16string(text.begin(), text.end()));
  });
}

// Five levels of variant arrays, four children each, I4 leaves (1024 of them).
Variant Nested(int levels) {
  if (levels == 0) return Variant::I4(42);
  return VariantArray(4, [levels](std::size_t) { return Nested(levels - 1); });
}

std::size_t EncodedSize(const Variant& value) {
  kiv::MemorySink sink;
  kiv::WriteVariant(sink, *value);
  return sink.bytes().size();
}

void SocketRoundTrip(benchmark::State& state, const Variant& value) {
  TcpPair pair;
  const auto iterations = state.max_iterations;
  std::thread writer([&] {
    kiv::SocketStream stream(pair.client, kiv::SocketStream::kDefaultCapacity);
    for (benchmark::IterationCount i = 0; i < iterations; ++i) {
      if (!kiv::WriteVariant(stream, *value) || stream.Flush() < 0) std::abort();
    }
  });
  Variant received;
  for (auto _ : state) {
    if (!kiv::ReadVariant(pair.server, received.get())) {
      state.SkipWithError("decode failed");
      break;
    }
  }
  writer.join();
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(EncodedSize(value)));
}

void EncodeToMemory(benchmark::State& state, const Variant& value) {
  for (auto _ : state) {
    kiv::MemorySink sink;
    kiv::WriteVariant(sink, *value);
    benchmark::DoNotOptimize(sink.bytes().data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(EncodedSize(value)));
}

void DecodeFromMemory(benchmark::State& state, const Variant& value) {
  kiv::MemorySink sink;
  kiv::WriteVariant(sink, *value);
  Variant received;
  for (auto _ : state) {
    kiv::MemorySource source(sink.bytes().data(), sink.bytes().size());
    if (!kiv::ReadVariant(source, received.get())) std::abort();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sink.bytes().size()));
}

// Memcpy of the same size, the yardstick for the byte-array path.
void Memcpy1MiB(benchmark::State& state) {
  std::vector<char> from(1 << 20, 1), to(1 << 20);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(from.size()));
}

const Variant& Ui1Array1MiB() {
  static const Variant value = ByteArray(1 << 20);
  return value;
}
const Variant& I4Array100k() {
  static const Variant value = IntArray(100000);
  return value;
}
const Variant& Strings1000() {
  static const Variant value = ShortStrings(1000);
  return value;
}
const Variant& Nested5() {
  static const Variant value = Nested(5);
  return value;
}

#define KIV_CODEC_BENCH(name)                                                                     \
  BENCHMARK_CAPTURE(SocketRoundTrip, name, name())->UseRealTime()->Unit(benchmark::kMicrosecond); \
  BENCHMARK_CAPTURE(EncodeToMemory, name, name())->Unit(benchmark::kMicrosecond);                 \
  BENCHMARK_CAPTURE(DecodeFromMemory, name, name())->Unit(benchmark::kMicrosecond)

KIV_CODEC_BENCH(Ui1Array1MiB);
KIV_CODEC_BENCH(I4Array100k);
KIV_CODEC_BENCH(Strings1000);
KIV_CODEC_BENCH(Nested5);
BENCHMARK(Memcpy1MiB)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
