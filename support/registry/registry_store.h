// The configuration store file (format in registry_file.h). Every operation
// reads the file anew. Writes hold an exclusive lock on "<path>.lock", read,
// change, write a temporary file beside the store, fsync it and rename it
// over the store, so concurrent writers in any process lose nothing and
// readers never see a half-written file. A missing file is an empty hive; a
// file that cannot be parsed reads as empty-handed (nullopt) and is never
// overwritten. Any thread may call; failures are reported by the result.
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
  // (with the line of a parse error).
  std::optional<Hive> Read(std::string* problem = nullptr) const;

  // Under the lock: reads the hive, lets `change` edit it and writes it back
  // when `change` returns true. False, with the file untouched, when the
  // file cannot be read or parsed or `change` returns false; false when the
  // new file cannot be written (the old one then stays in place). Creates
  // the store's folder when missing.
  bool Update(const std::function<bool(Hive&)>& change) const;

  // Single operations, each one read or one Update. Key paths are below the root.
  std::optional<Value> GetValue(Root root, std::u16string_view key, std::u16string_view name) const;
  // Nullopt when the key does not exist.
  std::optional<std::vector<Value>> GetValues(Root root, std::u16string_view key) const;
  std::optional<std::vector<std::u16string>> GetSubkeys(Root root, std::u16string_view key) const;
  bool KeyExists(Root root, std::u16string_view key) const;
  // Create the key when missing; false for a path or name the file cannot hold.
  bool CreateKey(Root root, std::u16string_view key) const;
  bool SetValue(Root root, std::u16string_view key, Value value) const;
  // False when there was nothing to delete.
  bool DeleteValue(Root root, std::u16string_view key, std::u16string_view name) const;
  bool DeleteTree(Root root, std::u16string_view key) const;

 private:
  std::string path_;
};

}  // namespace kiv::registry
