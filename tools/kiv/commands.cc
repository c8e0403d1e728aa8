#include "tools/kiv/cli.h"

namespace kiv::cli {

// Defined in <name>_command.cc.
Command EncodeCommand();
Command DecodeCommand();
Command DumpCommand();
Command RegistryCommand();
Command DiscoverCommand();

std::span<const Command> Commands() {
  static const Command kCommands[] = {
      EncodeCommand(),
      DecodeCommand(),
      DumpCommand(),
      RegistryCommand(),
      DiscoverCommand(),
  };
  return kCommands;
}

}  // namespace kiv::cli
