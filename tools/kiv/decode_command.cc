// kiv decode HEX: the one wire value the bytes hold, in value notation.
#include <algorithm>
#include <cstring>
#include <ostream>
#include <vector>

#include "engine/wire/byte_io.h"
#include "engine/wire/wire_codec.h"
#include "tools/kiv/cli.h"
#include "tools/kiv/hex.h"
#include "tools/kiv/value_notation.h"

namespace kiv::cli {
namespace {

// Tells a value cut short (the reader asked past the end) from one the
// reader refused.
class BoundedSource final : public ByteSource {
 public:
  explicit BoundedSource(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}

  bool ReadExact(void* buffer, std::size_t n) override {
    if (n > remaining()) {
      ranOut_ = true;
      return false;
    }
    if (n != 0) std::memcpy(buffer, bytes_.data() + offset_, n);
    offset_ += n;
    return true;
  }
  std::size_t remaining() const { return bytes_.size() - offset_; }
  bool ranOut() const { return ranOut_; }

 private:
  const std::vector<std::uint8_t>& bytes_;
  std::size_t offset_ = 0;
  bool ranOut_ = false;
};

int Refuse(Context& context, const std::string& problem) {
  context.err << "kiv: decode: " << problem << '\n';
  return kExitUsage;
}

int RunDecode(Context& context, std::span<const std::string> args) {
  DateForm dates = DateForm::kIsoText;
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") {
      words.insert(words.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    }
    if (args[i] == "--date-numbers") {
      dates = DateForm::kNumber;
    } else if (args[i] == "--json") {
      // The value notation is JSON already; taken so that every command takes it.
    } else if (args[i].starts_with("--")) {
      throw UsageError("unknown option '" + args[i] + "'");
    } else {
      words.push_back(args[i]);
    }
  }
  // Hex bytes may come as separate words ("00 03 00 00 00 01"): blanks
  // between bytes mean nothing, so joining them cannot change the value.
  if (words.size() > 1 && std::find(words.begin(), words.end(), "-") == words.end()) {
    std::string joined;
    for (const std::string& word : words) joined += word + " ";
    words = {joined};
  }
  const auto bytes = ParseHex(OperandText(context, words, "HEX"));
  if (!bytes) return Refuse(context, "not hex bytes (two digits a byte, blanks between bytes)");
  if (bytes->empty()) return Refuse(context, "no bytes");

  BoundedSource source(*bytes);
  Variant value;
  if (!ReadVariant(source, value.Receive())) {
    if (source.ranOut()) return Refuse(context, "truncated: the bytes end inside the value");
    const auto tag = static_cast<VARTYPE>((*bytes)[0] << 8 | (*bytes)[1]);
    if (!IsCarriedType(tag & ~VT_BYREF)) {
      return Refuse(context, "invalid: the wire does not carry tag " +
                                 FormatHex({(*bytes)[0], (*bytes)[1]}, ""));
    }
    return Refuse(context,
                  "invalid: a type the wire does not carry, a dimension count outside 1 to 10, "
                  "an element count past 2^32 - 1, a string too long or arrays nested deeper "
                  "than " +
                      std::to_string(kMaxNesting) + " levels");
  }
  if (source.remaining() != 0) {
    const std::size_t extra = source.remaining();
    return Refuse(context, std::to_string(extra) +
                               (extra == 1 ? " trailing byte" : " trailing bytes") +
                               " after the value");
  }
  context.out << FormatValue(*value, dates) << '\n';
  return kExitOk;
}

}  // namespace

Command DecodeCommand() {
  return {
      .name = "decode",
      .synopsis = "[--date-numbers] HEX",
      .summary = "print the value that wire bytes encode",
      .help =
          "Decodes HEX, the bytes of exactly one wire value (two hex digits a byte,\n"
          "blanks between bytes optional), and prints the value in value notation\n"
          "(see 'kiv --help'). HEX '-' reads the bytes from standard input. Dates\n"
          "print as ISO 8601 text where it means exactly the same DATE;\n"
          "--date-numbers prints every date as its DATE number. --json is accepted and\n"
          "changes nothing: the value notation is JSON.\n"
          "\n"
          "Exit status: 0 done; 2 when the bytes are not exactly one valid value\n"
          "(truncated, invalid, or followed by trailing bytes).\n",
      .run = RunDecode,
  };
}

}  // namespace kiv::cli
