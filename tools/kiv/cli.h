// The kiv program's command table. A command lives in its own file, is
// listed once in commands.cc and returns the program's exit status. It may
// throw UsageError for a wrong command line or NotationError for a bad
// value; RunKiv turns either into one message and status 2.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;       // the operation ran and answered no
constexpr int kExitUsage = 2;        // wrong command line or bad value
constexpr int kExitNoDirectory = 3;  // no directory answered
constexpr int kExitTimedOut = 4;
constexpr int kExitBadStore = 5;  // the configuration store cannot be read

constexpr std::uint16_t kDirectoryPort = 29831;
// How long a command that talks to a directory or a satellite may take.
constexpr double kDefaultTimeoutSeconds = 30;

struct GlobalOptions {
  std::string directoryHost = "127.0.0.1";
  std::uint16_t directoryPort = kDirectoryPort;
  std::string name;                                // the satellite name; "kiv-<pid>" unless given
  double timeoutSeconds = kDefaultTimeoutSeconds;  // 0: no limit
};

struct Context {
  GlobalOptions options;
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Command {
  std::string_view name;
  std::string_view synopsis;  // the arguments, as the overview shows them
  std::string_view summary;   // one line for the overview
  std::string_view help;      // the whole description for `kiv NAME --help`
  int (*run)(Context& context, std::span<const std::string> args);
};

std::span<const Command> Commands();

// Runs one command line (without the program name); returns the exit status.
int RunKiv(std::span<const std::string> args, std::istream& in, std::ostream& out,
           std::ostream& err);

// The text a command takes as its one operand: the one argument (after a
// leading "--"), or standard input for "-". UsageError names `what` when
// there is none or more than one: joining words silently would hide a
// missing pair of quotes.
std::string OperandText(Context& context, std::span<const std::string> args, std::string_view what);

// The non-empty word after the option at args[i], which it advances past;
// UsageError "<option> needs <what>" when there is none.
const std::string& NextValue(std::span<const std::string> args, std::size_t& i,
                             std::string_view what = "a value");

}  // namespace kiv::cli
