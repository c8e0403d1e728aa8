// The in-memory model of the configuration store: keys under two roots,
// each holding named values of a registry type with raw data bytes. Key
// paths and value names match case-insensitively (ASCII folding) and keep
// the spelling they were first stored with. A plain value type: not
// synchronized, nothing fails but allocation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::registry {

enum class Root : std::uint8_t { kLocalMachine, kClassesRoot };

// Registry value types the store writes itself; any other number is kept as is.
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;

struct Value {
  std::u16string name;  // empty: the key's default value
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  friend bool operator==(const Value&, const Value&) = default;
};

struct Key {
  Root root = Root::kLocalMachine;
  std::u16string path;  // below the root, segments joined by '\'; empty: the root itself
  std::vector<Value> values;
  friend bool operator==(const Key&, const Key&) = default;
};

// ASCII case-insensitive equality, as the registry compares names.
bool SameName(std::u16string_view a, std::u16string_view b);

// A key path the store can hold: empty, or non-empty segments separated by
// single '\', without line breaks or unpaired surrogates.
bool IsValidKeyPath(std::u16string_view path);

// A value name the store can hold: no line breaks or unpaired surrogates.
bool IsValidValueName(std::u16string_view name);

const Value* FindValue(const Key& key, std::u16string_view name);
// Replaces the type and data of a same-named value (keeping its spelling
// and place) or appends the value.
void SetValue(Key& key, Value value);
// False when the key holds no such value.
bool EraseValue(Key& key, std::u16string_view name);

class Hive {
 public:
  const std::vector<Key>& keys() const { return keys_; }

  // The key stored under exactly this path, or null.
  const Key* FindKey(Root root, std::u16string_view path) const;
  Key* FindKey(Root root, std::u16string_view path);
  // Appends the key when missing. The path must be valid.
  Key& OpenOrCreateKey(Root root, std::u16string_view path);
  // A key exists when it is stored or a key below it is, as parents of a
  // registry key always exist.
  bool KeyExists(Root root, std::u16string_view path) const;
  // The names of the keys right below the path, each once, in stored order.
  std::vector<std::u16string> Subkeys(Root root, std::u16string_view path) const;
  // Removes the key and every key below it; false when none existed or
  // the path names the root itself.
  bool DeleteTree(Root root, std::u16string_view path);

  friend bool operator==(const Hive&, const Hive&) = default;

 private:
  std::vector<Key> keys_;
};

}  // namespace kiv::registry
