#include <iostream>
#include <string>
#include <vector>

#include "tools/kiv/cli.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return kiv::cli::RunKiv(args, std::cin, std::cout, std::cerr);
}
