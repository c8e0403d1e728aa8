// kiv call [--to DEST | --all] [--async] [--bounded] SERVICE [VALUE]: one
// Request as a satellite, its statuses and values as one JSON object.
#include <optional>
#include <ostream>

#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "kiv/vutil.h"
#include "tools/kiv/caller_engine.h"
#include "tools/kiv/cli.h"
#include "tools/kiv/command_deadline.h"
#include "tools/kiv/command_satellite.h"
#include "tools/kiv/result_text.h"
#include "tools/kiv/value_notation.h"

namespace kiv::cli {
namespace {

// Bit 2 of the request flags: wait at most 30 seconds for each target.
constexpr std::int32_t kBoundedFlag = 2;

struct CallOptions {
  std::optional<std::string> destination;
  std::int32_t flags = KIV_NOFLAGS;
  std::string service;
  std::vector<std::string> value;  // the operand's words, if any
  DateForm dates = DateForm::kIsoText;
};

CallOptions ParseOptions(std::span<const std::string> args) {
  CallOptions options;
  std::size_t i = 0;
  for (; i < args.size() && args[i].starts_with("--"); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--to" || arg == "--all") {
      if (options.destination) throw UsageError("give one of --to DEST and --all");
      if (arg == "--all") {
        options.destination = "ALL";
        continue;
      }
      if (++i == args.size() || args[i].empty()) throw UsageError("--to needs a satellite name");
      options.destination = args[i];
    } else if (arg == "--async") {
      options.flags |= KIV_ASYNCHRONOUS;
    } else if (arg == "--bounded") {
      options.flags |= kBoundedFlag;
    } else if (arg == "--date-numbers") {
      options.dates = DateForm::kNumber;
    } else if (arg == "--json") {
      // The answer is JSON already; taken so that every command takes it.
    } else {
      throw UsageError("unknown option '" + arg + "'");
    }
  }
  if (!options.destination) throw UsageError("give one of --to DEST and --all");
  if (i == args.size()) throw UsageError("missing SERVICE");
  options.service = args[i++];
  options.value.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  return options;
}

Json Statuses(const VARIANT& statuses) {
  Json list = Json::array();
  const LONG count = VUtil::GetArrayLengthEmpty(statuses);
  for (LONG i = 0; i < count; ++i) list.push_back(VUtil::GetLongElement(statuses, i));
  return list;
}

int RunCall(Context& context, std::span<const std::string> args) {
  const CallOptions options = ParseOptions(args);
  // A bad value is refused before anything touches the network.
  Variant argument;
  if (!options.value.empty()) argument = ParseValue(OperandText(context, options.value, "VALUE"));

  CommandDeadline deadline(context, "call");
  const CallerEngine engine(context);
  deadline.Waiting("the directory at " + engine.directory() + " and then " + *options.destination +
                   "'s answer to " + options.service);
  const Bstr destination(FromUtf8(*options.destination));
  const Bstr service(FromUtf8(options.service));
  Variant values;
  Variant statuses;
  const std::int32_t result = KivRequest(engine.get(), destination.get(), service.get(), *argument,
                                         values.get(), options.flags, statuses.get());
  if (result != 0) {
    context.err << "kiv: call: not sent: " << DescribeCode(result) << '\n';
    return kExitFailed;
  }
  // No values and one status that says the directory could not be asked:
  // the look-up failed before any target was reached.
  if (const std::int32_t lookup = SingleStatus(*statuses);
      values.vt() == VT_EMPTY && (lookup == KIV_E_TIMED_OUT || IsUnreachable(lookup))) {
    return DirectoryFailure(context, "call", engine, lookup, "look up " + options.service);
  }
  Json answer;
  answer["statuses"] = Statuses(*statuses);
  if (values.vt() != VT_EMPTY) answer["values"] = ValueToJson(*values, options.dates);
  context.out << answer.dump() << '\n';
  bool allOk = true;
  for (std::size_t i = 0; i < answer["statuses"].size(); ++i) {
    const std::int32_t status = answer["statuses"][i].get<std::int32_t>();
    if (status == 0) continue;
    allOk = false;
    context.err << "kiv: call: target " << i << ": " << DescribeCode(status) << '\n';
  }
  return allOk ? kExitOk : kExitFailed;
}

}  // namespace

Command CallCommand() {
  return {
      .name = "call",
      .synopsis = "(--to DEST | --all) [--async] [--bounded] [--date-numbers] SERVICE [VALUE]",
      .summary = "call a service on one satellite or on every one offering it",
      .help =
          "Calls SERVICE with VALUE (value notation, see 'kiv --help'; none sends\n"
          "VT_EMPTY, '-' reads standard input), looking it up in the directory of\n"
          "--directory and calling under --name. kiv does not register: nothing is\n"
          "left in the directory, even when the call is interrupted.\n"
          "\n"
          "  --to DEST   call the satellite named DEST\n"
          "  --all       call every satellite that offers SERVICE (destination \"ALL\")\n"
          "  --async     do not wait for answers (KIV_ASYNCHRONOUS): statuses are all 0\n"
          "  --bounded   wait at most 30 seconds for each target (0x00020026 when it\n"
          "              does not answer in time)\n"
          "  --date-numbers  print dates as DATE numbers, not ISO 8601 text\n"
          "  --json      accepted and ignored: the answer is always JSON\n"
          "\n"
          "Prints one JSON object {\"statuses\": [...], \"values\": [...]}: one status and\n"
          "one value per target in the directory's order; \"values\" is left out when\n"
          "the call returned none. A failure before any target was reached (no\n"
          "satellite offers SERVICE: 131079, that is 0x00020007) is a one-element\n"
          "statuses list. Non-zero statuses are also explained on standard error.\n"
          "\n"
          "Exit status: 0 every status is 0; 1 otherwise; 2 usage or bad value;\n"
          "3 no directory answered; 4 timed out (--timeout; a plain call waits for\n"
          "its targets as long as --timeout allows).\n",
      .run = RunCall,
  };
}

}  // namespace kiv::cli
