#include "tests/soak/soak_options.h"

#include <charconv>
#include <stdexcept>

namespace kiv::soak {
namespace {

template <typename Number>
Number Parse(const std::string& option, const std::string& text, Number low, Number high) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
      value > high) {
    throw std::invalid_argument(option + " takes a whole number from " + std::to_string(low) +
                                " to " + std::to_string(high) + ", got '" + text + "'");
  }
  return value;
}

}  // namespace

const char kSoakUsage[] =
    "usage: kiv_soak [--seconds N] [--satellites N] [--callers N] [--seed N]\n"
    "                [--keep-going] [--log-level N]\n"
    "Runs kivd, N satellites (kiv serve) and N caller threads in a private\n"
    "network namespace, kills and restarts the directory and the satellites at\n"
    "random moments for N seconds, and checks that every call returns, every\n"
    "echo is exact, every running satellite is listed again after each restart\n"
    "and no process grows. Exit status: 0 all held; 1 a violation; 2 usage;\n"
    "3 the run could not be set up.\n"
    "  --seconds N     how long the disturbances go on (default 120)\n"
    "  --satellites N  satellites sat1..satN (default 3)\n"
    "  --callers N     caller threads (default 4)\n"
    "  --seed N        the seed of every random choice (default: from the clock)\n"
    "  --keep-going    report every violation and run to the end\n"
    "  --log-level N   LogLevel of every process, 0 FATAL to 4 DEBUG (default 3)\n";

SoakOptions ParseSoakOptions(std::span<const std::string> args) {
  SoakOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--help" || option == "-h") {
      options.help = true;
      continue;
    }
    if (option == "--keep-going") {
      options.keepGoing = true;
      continue;
    }
    const bool known = option == "--seconds" || option == "--satellites" || option == "--callers" ||
                       option == "--seed" || option == "--log-level";
    if (!known) throw std::invalid_argument("unknown option '" + option + "'");
    if (i + 1 == args.size()) throw std::invalid_argument(option + " needs a value");
    const std::string& value = args[++i];
    if (option == "--seconds") options.seconds = Parse(option, value, 1, 86400);
    if (option == "--satellites") options.satellites = Parse(option, value, 1, 50);
    if (option == "--callers") options.callers = Parse(option, value, 1, 64);
    if (option == "--log-level") options.logLevel = Parse(option, value, 0, 4);
    if (option == "--seed") {
      options.seed = Parse<std::uint64_t>(option, value, 0, UINT64_MAX);
    }
  }
  return options;
}

}  // namespace kiv::soak
