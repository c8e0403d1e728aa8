// Turns the raw frame addresses of a dump into names, outside the crashed
// process: each address is placed in its module by the dump's mappings,
// converted to the module's link-time address, and named by addr2line.
// Bounded: every addr2line run is killed at the deadline. One thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/crash/dump_file.h"

namespace kiv::reporter {

struct FrameName {
  std::uintptr_t address = 0;
  std::string module;                // empty when no mapping holds the address
  std::uintptr_t moduleAddress = 0;  // link-time address inside module
  std::string function;              // "??" when unknown
  std::string location;              // "file:line", "??:?" or "??:0" when unknown
};

// The link-time address of a file offset of an ELF file (through its
// loadable segments); nullopt when the file is not ELF or no segment holds it.
std::optional<std::uintptr_t> LinkTimeAddress(const std::string& elfPath,
                                              std::uintptr_t fileOffset);

// One name per frame of the dump, in order. Frames after the first are
// return addresses: they are looked up one byte back, inside the call.
std::vector<FrameName> SymbolizeFrames(const DumpContents& dump,
                                       std::chrono::steady_clock::time_point deadline);

}  // namespace kiv::reporter
