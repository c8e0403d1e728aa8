// kiv typelib: prints the library's type library KIVLib as IDL text.
#include <ostream>

#include "com/type_library.h"
#include "tools/kiv/cli.h"

namespace kiv::cli {
namespace {

int Run(Context& context, std::span<const std::string> args) {
  if (!args.empty()) throw UsageError("typelib takes no arguments");
  context.out << com::TypeLibraryIdl();
  return 0;
}

}  // namespace

Command TypelibCommand() {
  return {"typelib", "", "print the automation type library as IDL",
          "kiv typelib\n\n"
          "Prints the type library that the library carries for automation clients\n"
          "(KIVLib 1.0: the interfaces, events, enumerations and classes with their\n"
          "dispatch ids and help strings) as IDL text.\n",
          &Run};
}

}  // namespace kiv::cli
