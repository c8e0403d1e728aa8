#include "support/crash/dump_file.h"

#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>

namespace kiv {
namespace {

constexpr std::string_view kMagic = "KIV-CRASH-DUMP 1";

std::string Hex(std::uintptr_t value) {
  char text[2 + 2 * sizeof(value) + 1];
  text[0] = '0';
  text[1] = 'x';
  const auto end = std::to_chars(text + 2, text + sizeof(text), value, 16).ptr;
  return std::string(text, end);
}

template <class T>
bool ReadNumber(std::string_view text, T* value, int base = 10) {
  if (base == 16) {
    if (text.size() < 3 || text.substr(0, 2) != "0x") return false;
    text.remove_prefix(2);
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value, base);
  return error == std::errc() && end == text.data() + text.size();
}

// Splits off the first blank-separated word of line.
std::string_view TakeWord(std::string_view& line) {
  const std::size_t blank = line.find(' ');
  std::string_view word = line.substr(0, blank);
  line = blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
  return word;
}

bool ParseModule(std::string_view rest, DumpModule* module) {
  if (!ReadNumber(TakeWord(rest), &module->start, 16) ||
      !ReadNumber(TakeWord(rest), &module->end, 16) ||
      !ReadNumber(TakeWord(rest), &module->fileOffset, 16) || rest.empty()) {
    return false;
  }
  module->path = std::string(rest);  // the rest of the line: paths may hold blanks
  return true;
}

}  // namespace

std::vector<DumpModule> CurrentModules() {
  std::vector<DumpModule> modules;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  // "start-end perms offset dev inode   path"
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, perms, offset, device, inode, path;
    if (!(fields >> range >> perms >> offset >> device >> inode)) continue;
    std::getline(fields >> std::ws, path);
    if (perms.size() < 3 || perms[2] != 'x' || path.empty() || path[0] != '/') continue;
    const std::size_t dash = range.find('-');
    if (dash == std::string::npos) continue;
    DumpModule module;
    module.path = path;
    const std::string_view start = std::string_view(range).substr(0, dash);
    const std::string_view end = std::string_view(range).substr(dash + 1);
    // Bare hexadecimal here, without the 0x of our own format.
    if (std::from_chars(start.data(), start.data() + start.size(), module.start, 16).ec !=
            std::errc() ||
        std::from_chars(end.data(), end.data() + end.size(), module.end, 16).ec != std::errc() ||
        std::from_chars(offset.data(), offset.data() + offset.size(), module.fileOffset, 16).ec !=
            std::errc()) {
      continue;
    }
    modules.push_back(std::move(module));
  }
  return modules;
}

std::string FormatDump(std::string_view application, const FaultRecord& fault,
                       const std::vector<DumpModule>& modules) {
  std::string text(kMagic);
  text += "\napplication ";
  text += application;
  text += "\nprocess " + std::to_string(::getpid());
  text += "\nthread " + std::to_string(fault.thread);
  text += "\nsignal " + std::to_string(fault.signal) + " " + FaultSignalName(fault.signal);
  text += "\ncode " + std::to_string(fault.code);
  text += "\naddress " + Hex(fault.address);
  for (std::size_t i = 0; i < fault.frameCount && i < FaultRecord::kMaxFrames; ++i) {
    text += "\nframe " + Hex(fault.frames[i]);
  }
  for (const DumpModule& module : modules) {
    text += "\nmodule " + Hex(module.start) + " " + Hex(module.end) + " " + Hex(module.fileOffset) +
            " " + module.path;
  }
  text += "\n";
  return text;
}

std::optional<DumpContents> ParseDump(std::string_view text) {
  const std::size_t firstEnd = text.find('\n');
  if (text.substr(0, firstEnd) != kMagic || firstEnd == std::string_view::npos) return std::nullopt;
  text.remove_prefix(firstEnd + 1);
  DumpContents dump;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty()) continue;
    const std::string_view key = TakeWord(line);
    bool ok = true;
    if (key == "application") {
      dump.application = std::string(line);
    } else if (key == "process") {
      ok = ReadNumber(line, &dump.process);
    } else if (key == "thread") {
      ok = ReadNumber(line, &dump.thread);
    } else if (key == "signal") {
      ok = ReadNumber(TakeWord(line), &dump.signal);
    } else if (key == "code") {
      ok = ReadNumber(line, &dump.code);
    } else if (key == "address") {
      ok = ReadNumber(line, &dump.address, 16);
    } else if (key == "frame") {
      std::uintptr_t frame = 0;
      ok = ReadNumber(line, &frame, 16);
      dump.frames.push_back(frame);
    } else if (key == "module") {
      DumpModule module;
      ok = ParseModule(line, &module);
      dump.modules.push_back(std::move(module));
    }  // Unknown keys are later additions: passed over.
    if (!ok) return std::nullopt;
  }
  return dump;
}

}  // namespace kiv
