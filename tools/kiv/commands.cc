#include "tools/kiv/cli.h"

namespace kiv::cli {

// Defined in <name>_command.cc.
Command EncodeCommand();
Command DecodeCommand();
Command DumpCommand();
Command RegistryCommand();
Command DiscoverCommand();
Command CallCommand();
Command PingCommand();
Command ServeCommand();
Command ListCommand();
Command TypelibCommand();
Command WaitCommand();
Command MonitorCommand();
Command StatsCommand();

std::span<const Command> Commands() {
  static const Command kCommands[] = {
      EncodeCommand(), DecodeCommand(),  DumpCommand(),  RegistryCommand(), DiscoverCommand(),
      CallCommand(),   PingCommand(),    ServeCommand(), ListCommand(),     TypelibCommand(),
      WaitCommand(),   MonitorCommand(), StatsCommand(),
  };
  return kCommands;
}

}  // namespace kiv::cli
