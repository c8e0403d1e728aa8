#include "support/registry/registry_hive.h"

#include <algorithm>
#include <utility>

namespace kiv::registry {
namespace {

char16_t Fold(char16_t unit) {
  return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}

// No line breaks (the file is line based) and no unpaired surrogates (the
// file is UTF-8, which cannot carry them).
bool IsStorableText(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit == u'\n' || unit == u'\r') return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

// The part of `path` below `parent`, or npos when `path` is not below it.
std::size_t BelowOffset(std::u16string_view parent, std::u16string_view path) {
  if (parent.empty()) return path.empty() ? std::u16string_view::npos : 0;
  if (path.size() <= parent.size() + 1 || path[parent.size()] != u'\\') {
    return std::u16string_view::npos;
  }
  return SameName(path.substr(0, parent.size()), parent) ? parent.size() + 1
                                                         : std::u16string_view::npos;
}

}  // namespace

bool SameName(std::u16string_view a, std::u16string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char16_t x, char16_t y) { return Fold(x) == Fold(y); });
}

bool IsValidKeyPath(std::u16string_view path) {
  if (path.empty()) return true;
  if (path.front() == u'\\' || path.back() == u'\\') return false;
  if (path.find(u"\\\\") != std::u16string_view::npos) return false;
  return IsStorableText(path);
}

bool IsValidValueName(std::u16string_view name) {
  return IsStorableText(name);
}

const Value* FindValue(const Key& key, std::u16string_view name) {
  for (const Value& value : key.values) {
    if (SameName(value.name, name)) return &value;
  }
  return nullptr;
}

void SetValue(Key& key, Value value) {
  for (Value& stored : key.values) {
    if (SameName(stored.name, value.name)) {
      stored.type = value.type;
      stored.data = std::move(value.data);
      return;
    }
  }
  key.values.push_back(std::move(value));
}

bool EraseValue(Key& key, std::u16string_view name) {
  return std::erase_if(key.values, [&](const Value& v) { return SameName(v.name, name); }) != 0;
}

const Key* Hive::FindKey(Root root, std::u16string_view path) const {
  for (const Key& key : keys_) {
    if (key.root == root && SameName(key.path, path)) return &key;
  }
  return nullptr;
}

Key* Hive::FindKey(Root root, std::u16string_view path) {
  return const_cast<Key*>(std::as_const(*this).FindKey(root, path));
}

Key& Hive::OpenOrCreateKey(Root root, std::u16string_view path) {
  if (Key* key = FindKey(root, path)) return *key;
  keys_.push_back(Key{root, std::u16string(path), {}});
  return keys_.back();
}

bool Hive::KeyExists(Root root, std::u16string_view path) const {
  return std::any_of(keys_.begin(), keys_.end(), [&](const Key& key) {
    return key.root == root &&
           (SameName(key.path, path) || BelowOffset(path, key.path) != std::u16string_view::npos);
  });
}

std::vector<std::u16string> Hive::Subkeys(Root root, std::u16string_view path) const {
  std::vector<std::u16string> names;
  for (const Key& key : keys_) {
    if (key.root != root) continue;
    const std::size_t offset = BelowOffset(path, key.path);
    if (offset == std::u16string_view::npos) continue;
    const std::u16string_view rest = std::u16string_view(key.path).substr(offset);
    const std::u16string_view name = rest.substr(0, rest.find(u'\\'));
    if (std::none_of(names.begin(), names.end(),
                     [&](const auto& n) { return SameName(n, name); })) {
      names.emplace_back(name);
    }
  }
  return names;
}

bool Hive::DeleteTree(Root root, std::u16string_view path) {
  if (path.empty()) return false;
  return std::erase_if(keys_, [&](const Key& key) {
           return key.root == root && (SameName(key.path, path) ||
                                       BelowOffset(path, key.path) != std::u16string_view::npos);
         }) != 0;
}

}  // namespace kiv::registry
