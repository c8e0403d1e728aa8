// main() for tests that need the network: each test binary runs in its own
// namespace, so binaries that bind the same fixed port can run in parallel.
#include <gtest/gtest.h>

#include <cstdio>

#include "testing/private_network.h"

int main(int argc, char** argv) {
  std::string error;
  if (!kiv::testing::EnterPrivateNetwork(&error)) {
    std::fprintf(stderr, "private network: %s\n", error.c_str());
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
