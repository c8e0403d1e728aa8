// The configuration store file (format in registry_file.h). Every operation
// reads the file anew. Writes hold an exclusive lock on "<path>.lock", read,
// change, write a temporary file beside the store, fsync it and rename it
// over the store, so concurrent writers in any process lose nothing and
// readers never see a half-written file. A missing file is an empty hive; a
// file that cannot be parsed reads as empty-handed (nullopt) and is never
// overwritten. A write keeps the file's encoding, header, line ends and
// the sections of other hives. Under the lock a writer first removes the
// temporary files ("<path>.tmp-<pid>-XXXXXX") that killed writers left: those
// whose process is gone, and any older than ten minutes. Any thread may
// call; failures are reported by the result.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/registry/registry_hive.h"

namespace kiv::registry {

// KIV_REGISTRY when set and not empty, else /etc/kiv/registry.reg; read at
// every call so that the store can be moved while a process runs.
std::string StorePath();

class Store {
 public:
  Store() : Store(StorePath()) {}
  explicit Store(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }

  // Nullopt when the file cannot be read or parsed; `problem` then says why
  // ("path:line: what"). `warnings` receives one such line per section of
  // another hive that was skipped.
  std::optional<Hive> Read(std::string* problem = nullptr,
                           std::vector<std::string>* warnings = nullptr) const;

  // Under the lock: reads the hive, lets `change` edit it and writes it back
  // when `change` returns true. False, with the file untouched, when the
  // file cannot be read or parsed or `change` returns false; false when the
  // new file cannot be written (the old one then stays in place). Creates
  // the store's folder when missing, and when the file's encoding cannot
  // hold what `change` stored (a REGEDIT4 file in code page 1252). `problem`
  // says why, unless `change` said no.
  bool Update(const std::function<bool(Hive&)>& change, std::string* problem = nullptr) const;

  // Single operations, each one read or one Update. Key paths are below the root.
  std::optional<Value> GetValue(Root root, std::u16string_view key, std::u16string_view name) const;
  // Nullopt when the key does not exist.
  std::optional<std::vector<Value>> GetValues(Root root, std::u16string_view key) const;
  std::optional<std::vector<std::u16string>> GetSubkeys(Root root, std::u16string_view key) const;
  bool KeyExists(Root root, std::u16string_view key) const;
  // Create the key when missing; false for a path or name the file cannot hold.
  bool CreateKey(Root root, std::u16string_view key) const;
  bool SetValue(Root root, std::u16string_view key, Value value,
                std::string* problem = nullptr) const;
  // False when there was nothing to delete.
  bool DeleteValue(Root root, std::u16string_view key, std::u16string_view name) const;
  bool DeleteTree(Root root, std::u16string_view key) const;

 private:
  std::string path_;
};

}  // namespace kiv::registry
