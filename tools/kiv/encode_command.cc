// kiv encode VALUE: the value's wire bytes in hex.
#include <ostream>

#include "engine/wire/byte_io.h"
#include "engine/wire/wire_codec.h"
#include "tools/kiv/cli.h"
#include "tools/kiv/hex.h"
#include "tools/kiv/value_notation.h"

namespace kiv::cli {
namespace {

int RunEncode(Context& context, std::span<const std::string> args) {
  const Variant value = ParseValue(OperandText(context, args, "VALUE"));
  MemorySink sink;
  if (!WriteVariant(sink, *value)) throw NotationError("the wire does not carry this value");
  context.out << FormatHex(sink.bytes(), " ") << '\n';
  return kExitOk;
}

}  // namespace

Command EncodeCommand() {
  return {
      .name = "encode",
      .synopsis = "VALUE",
      .summary = "print a value's wire encoding in hex",
      .help =
          "Encodes VALUE (value notation, see 'kiv --help') as it goes on the wire and\n"
          "prints the bytes in lower-case hex, separated by blanks, on one line.\n"
          "VALUE '-' reads the value from standard input.\n"
          "\n"
          "Exit status: 0 done; 2 bad notation or a value the wire does not carry.\n",
      .run = RunEncode,
  };
}

}  // namespace kiv::cli
