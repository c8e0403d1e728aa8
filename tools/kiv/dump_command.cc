// kiv dump VALUE [--title T]: the library's XML-like dump of a value.
#include <optional>
#include <ostream>
#include <vector>

#include "kiv/utf8.h"
#include "kiv/vutil.h"
#include "support/text/standard_utf8.h"
#include "tools/kiv/cli.h"
#include "tools/kiv/value_notation.h"

namespace kiv::cli {
namespace {

constexpr std::string_view kTitleOption = "--title";

int RunDump(Context& context, std::span<const std::string> args) {
  std::string title = "value";
  std::vector<std::string> operand;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      operand.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
      break;
    }
    if (arg == kTitleOption) {
      if (++i == args.size()) throw UsageError("--title needs a value");
      title = args[i];
    } else if (arg.starts_with(kTitleOption) && arg[kTitleOption.size()] == '=') {
      title = arg.substr(kTitleOption.size() + 1);
    } else if (arg.starts_with("--")) {
      throw UsageError("unknown option '" + arg + "'");
    } else {
      operand.push_back(arg);
    }
  }
  const Variant value = ParseValue(OperandText(context, operand, "VALUE"));
  const std::optional<std::u16string> wideTitle = Utf8ToUtf16(title);
  if (!wideTitle) throw UsageError("--title is not UTF-8 text");
  const std::u16string dump = VUtil::DumpVariant(*value, *wideTitle);
  // Standard conversion as for every text the program prints; a lone
  // surrogate half in a string falls back to the library's unit-by-unit form.
  const std::optional<std::string> text = Utf16ToUtf8(dump);
  context.out << (text ? *text : ToUtf8(dump));
  return kExitOk;
}

}  // namespace

Command DumpCommand() {
  return {
      .name = "dump",
      .synopsis = "VALUE [--title T]",
      .summary = "print the library's XML-like dump of a value",
      .help =
          "Parses VALUE (value notation, see 'kiv --help') and prints the library's\n"
          "dump of it: \"Dumping T: \" followed by one <var> element a line, lines\n"
          "ending in CR LF, nested arrays indented two blanks a level. T defaults to\n"
          "'value'. VALUE '-' reads the value from standard input.\n"
          "\n"
          "Exit status: 0 done; 2 bad notation or wrong usage.\n",
      .run = RunDump,
  };
}

}  // namespace kiv::cli
