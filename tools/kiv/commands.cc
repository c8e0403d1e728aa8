#include "tools/kiv/cli.h"

namespace kiv::cli {

// Defined in <name>_command.cc.
Command EncodeCommand();
Command DecodeCommand();

std::span<const Command> Commands() {
  static const Command kCommands[] = {
      EncodeCommand(),
      DecodeCommand(),
  };
  return kCommands;
}

}  // namespace kiv::cli
