#include "engine/lookup_cache.h"

#include <algorithm>
#include <utility>

#include "support/time/time_limits.h"
#include "support/time/wall_clock.h"

namespace kiv::engine {
namespace {

char16_t Lowered(char16_t unit) {
  // The directory lowers A-Z only, as the classic locale does.
  return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return Lowered(x) == Lowered(y); });
}

}  // namespace

std::vector<LookupCache::Entry>::iterator LookupCache::Locate(const LookupKey& key) {
  return std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
    return entry.flags == key.flags && entry.destination == key.destination &&
           entry.service == key.service;
  });
}

bool LookupCache::Find(const LookupKey& key, std::shared_ptr<const kiv::Variant>& answer) {
  PScopedLock guard(&lock_);
  const auto found = Locate(key);
  if (found == entries_.end()) return false;
  // A clock set back counts as expiry too.
  const std::int64_t age = TickMilliseconds() - found->storedMs;
  if (age < 0 || age >= LimitMs(TimeLimit::kLookupAge)) {
    entries_.erase(found);
    return false;
  }
  answer = found->answer;
  return true;
}

void LookupCache::Store(const LookupKey& key, const VARIANT& answer) {
  Entry entry{std::u16string(key.destination), std::u16string(key.service), key.flags,
              TickMilliseconds(),
              std::make_shared<const kiv::Variant>(kiv::Variant::CopyOf(answer))};
  PScopedLock guard(&lock_);
  if (!keepAnswers_) return;
  const auto found = Locate(key);
  if (found != entries_.end()) {
    *found = std::move(entry);
    return;
  }
  if (entries_.size() >= kLookupCapacity) {
    entries_.erase(
        std::min_element(entries_.begin(), entries_.end(),
                         [](const Entry& a, const Entry& b) { return a.storedMs < b.storedMs; }));
  }
  entries_.push_back(std::move(entry));
}

void LookupCache::Forget(const LookupKey& key) {
  PScopedLock guard(&lock_);
  const auto found = Locate(key);
  if (found != entries_.end()) entries_.erase(found);
}

void LookupCache::ForgetSatellite(std::u16string_view name) {
  PScopedLock guard(&lock_);
  std::erase_if(entries_, [&](const Entry& entry) { return SameName(entry.destination, name); });
}

void LookupCache::Clear() {
  PScopedLock guard(&lock_);
  entries_.clear();
}

void LookupCache::Reset(bool keepAnswers) {
  PScopedLock guard(&lock_);
  entries_.clear();
  keepAnswers_ = keepAnswers;
}

}  // namespace kiv::engine
