// echo_satellite: the smallest complete satellite. It offers the service
// Echo, connects to a directory, calls its own Echo through the directory
// (or, with --wait, serves until SIGINT or SIGTERM) and disconnects.
//
//   echo_satellite [--directory HOST[:PORT]] [--name NAME] [--wait] [TEXT]
//
// Exit status: 0 success, 1 the call failed, 2 usage, 3 no directory.
#include <kiv/result_codes.h>
#include <kiv/satellite.h>
#include <kiv/utf8.h>
#include <kiv/value.h>
#include <kiv/vutil.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Answers its input. Runs on the library's worker threads, possibly on
// several at once, so it keeps no state.
std::int32_t Echo(const char16_t* /*source*/, const VARIANT& in, VARIANT* out) {
  // Hands the argument over rather than copying it (VariantCopy would do
  // too); the library frees it once.
  *out = in;
  return 0;
}

class EchoSatellite : public KivSatellite {
 public:
  // Disconnect here, while this class is still whole: callbacks that arrive
  // during the base destructor would no longer reach it.
  ~EchoSatellite() override { Disconnect(); }

 protected:
  // Runs at every connection: the previous disconnection withdrew the
  // services, so they are declared again.
  void InitServices() override { AddService(u"Echo", u"answers its input", &Echo); }
};

struct Options {
  std::string directory = "127.0.0.1";
  std::string name = "echo-" + std::to_string(getpid());
  std::string text = "hello";
  bool wait = false;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--wait") == 0) {
      options.wait = true;
    } else if (std::strcmp(arg, "--directory") == 0 && i + 1 < argc) {
      options.directory = argv[++i];
    } else if (std::strcmp(arg, "--name") == 0 && i + 1 < argc) {
      options.name = argv[++i];
    } else if (arg[0] != '-') {
      options.text = arg;
    } else {
      return false;
    }
  }
  return true;
}

// Blocks SIGINT and SIGTERM in every thread (call before any starts) and
// later waits for one of them.
sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

int CallEcho(EchoSatellite& satellite, const Options& options) {
  const std::u16string name = kiv::FromUtf8(options.name);
  kiv::Variant in = kiv::Variant::String(kiv::FromUtf8(options.text));
  kiv::Variant values;  // one value per target
  kiv::Variant codes;   // one result code per target
  const std::int32_t result =
      satellite.Request(name.c_str(), u"Echo", *in, *values, KIV_NOFLAGS, *codes);
  if (result != 0) {
    std::fprintf(stderr, "echo_satellite: request failed: %s\n",
                 kiv::DescribeResult(result).c_str());
    return 1;
  }
  const std::int32_t code = static_cast<std::int32_t>(VUtil::GetLongElement(*codes, 0));
  if (code != 0) {
    std::fprintf(stderr, "echo_satellite: Echo answered %s\n", kiv::DescribeResult(code).c_str());
    return 1;
  }
  std::printf("Echo answered: %s\n", kiv::ToUtf8(VUtil::GetStringElement(*values, 0)).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: echo_satellite [--directory HOST[:PORT]] [--name NAME] [--wait] [TEXT]\n");
    return 2;
  }
  const sigset_t stopSignals = StopSignals();
  // Keeps the library's log open for the program's life.
  const auto logger = KivSatellite::initLogger();

  EchoSatellite satellite;
  const std::u16string directory = kiv::FromUtf8(options.directory);
  const std::u16string name = kiv::FromUtf8(options.name);
  const std::int32_t connected = satellite.Connect(directory.c_str(), name.c_str());
  if (connected != 0) {
    std::fprintf(stderr, "echo_satellite: cannot connect to %s: %s\n", options.directory.c_str(),
                 kiv::DescribeResult(connected).c_str());
    return 3;
  }

  int status = 0;
  if (options.wait) {
    std::printf("ready %s %u\n", options.name.c_str(), satellite.getSatellitePort());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stopSignals, &signal);
  } else {
    try {
      status = CallEcho(satellite, options);
    } catch (const KivException& e) {
      // An answer of an unexpected shape.
      std::fprintf(stderr, "echo_satellite: %s\n", kiv::ToUtf8(e.getMessage()).c_str());
      status = 1;
    }
  }
  satellite.Disconnect();
  return status;
}
