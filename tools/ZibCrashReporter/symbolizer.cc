#include "tools/ZibCrashReporter/symbolizer.h"

#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>

extern char** environ;

namespace kiv::reporter {
namespace {

// Frames and modules per run are few; this bounds the command line.
constexpr std::size_t kMaxAddressesPerRun = 128;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

bool ReadAt(int fd, void* buffer, std::size_t size, off_t offset) {
  return ::pread(fd, buffer, size, offset) == static_cast<ssize_t>(size);
}

template <class Ehdr, class Phdr>
std::optional<std::uintptr_t> LinkTimeAddressOf(int fd, std::uintptr_t fileOffset) {
  Ehdr header;
  if (!ReadAt(fd, &header, sizeof(header), 0) || header.e_phentsize != sizeof(Phdr)) {
    return std::nullopt;
  }
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    Phdr segment;
    if (!ReadAt(fd, &segment, sizeof(segment), header.e_phoff + i * sizeof(Phdr))) break;
    if (segment.p_type != PT_LOAD) continue;
    if (fileOffset >= segment.p_offset && fileOffset < segment.p_offset + segment.p_filesz) {
      return segment.p_vaddr + (fileOffset - segment.p_offset);
    }
  }
  return std::nullopt;
}

const DumpModule* ModuleOf(const DumpContents& dump, std::uintptr_t address) {
  for (const DumpModule& module : dump.modules) {
    if (address >= module.start && address < module.end) return &module;
  }
  return nullptr;
}

// Runs addr2line on one module's addresses and returns its output, or
// nothing when it could not run or did not finish by the deadline.
std::optional<std::string> RunAddr2line(const std::string& module,
                                        const std::vector<std::uintptr_t>& addresses,
                                        std::chrono::steady_clock::time_point deadline) {
  std::vector<std::string> arguments = {"addr2line", "-C", "-f", "-e", module};
  for (std::uintptr_t address : addresses) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%jx", static_cast<std::uintmax_t>(address));
    arguments.push_back(text);
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return std::nullopt;
  FileDescriptor readEnd(pipeEnds[0]);
  FileDescriptor writeEnd(pipeEnds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = -1;
  const int spawned = ::posix_spawnp(&child, "addr2line", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  writeEnd.Reset();
  if (spawned != 0) return std::nullopt;

  std::string output;
  bool finished = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd readable = {readEnd.get(), POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t got = ::read(readEnd.get(), buffer, sizeof(buffer));
    if (got > 0) {
      output.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      finished = got == 0;
      break;
    }
  }
  if (!finished) ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!finished) return std::nullopt;
  return output;
}

}  // namespace

std::optional<std::uintptr_t> LinkTimeAddress(const std::string& elfPath,
                                              std::uintptr_t fileOffset) {
  FileDescriptor fd(::open(elfPath.c_str(), O_RDONLY | O_CLOEXEC));
  unsigned char ident[EI_NIDENT];
  if (fd.get() < 0 || !ReadAt(fd.get(), ident, sizeof(ident), 0) ||
      std::memcmp(ident, ELFMAG, SELFMAG) != 0) {
    return std::nullopt;
  }
  if (ident[EI_CLASS] == ELFCLASS64) {
    return LinkTimeAddressOf<Elf64_Ehdr, Elf64_Phdr>(fd.get(), fileOffset);
  }
  if (ident[EI_CLASS] == ELFCLASS32) {
    return LinkTimeAddressOf<Elf32_Ehdr, Elf32_Phdr>(fd.get(), fileOffset);
  }
  return std::nullopt;
}

std::vector<FrameName> SymbolizeFrames(const DumpContents& dump,
                                       std::chrono::steady_clock::time_point deadline) {
  std::vector<FrameName> names(dump.frames.size());
  // Frame indexes per module, so addr2line runs once a module.
  std::map<std::string, std::vector<std::size_t>> framesOfModule;
  for (std::size_t i = 0; i < dump.frames.size(); ++i) {
    FrameName& name = names[i];
    name.address = dump.frames[i];
    name.function = "??";
    name.location = "??:?";
    const std::uintptr_t lookup = i == 0 ? name.address : name.address - 1;
    const DumpModule* module = ModuleOf(dump, lookup);
    if (module == nullptr) continue;
    name.module = module->path;
    const std::optional<std::uintptr_t> linkTime =
        LinkTimeAddress(module->path, lookup - module->start + module->fileOffset);
    if (!linkTime) continue;
    name.moduleAddress = *linkTime;
    if (framesOfModule[module->path].size() < kMaxAddressesPerRun) {
      framesOfModule[module->path].push_back(i);
    }
  }
  for (const auto& [module, frames] : framesOfModule) {
    std::vector<std::uintptr_t> addresses;
    for (std::size_t i : frames) addresses.push_back(names[i].moduleAddress);
    const std::optional<std::string> output = RunAddr2line(module, addresses, deadline);
    if (!output) continue;
    // Two lines an address: the function, then file:line.
    std::istringstream lines(*output);
    for (std::size_t i : frames) {
      std::string function, location;
      if (!std::getline(lines, function) || !std::getline(lines, location)) break;
      names[i].function = function;
      names[i].location = location;
    }
  }
  return names;
}

}  // namespace kiv::reporter
