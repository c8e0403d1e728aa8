// LookupCache: the directory's recent answers to "GetServiceReg" for named
// satellites, so that a synchronous KivRequest to a satellite asked for a
// moment ago goes straight to it. One per engine, any thread.
//
// An answer is kept until a sign says it may be stale: the target refused
// the connection or does not offer the service (the request forgets it and
// asks again), an availability notice names the satellite, the directory's
// state changed, or the satellite registered (again). Entries also expire
// after TimeLimit::kLookupAge (10 s), and at most kLookupCapacity are kept.
// Private to engine/ and satellite/.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/value.h"
#include "support/threads/mutex.h"

namespace kiv::engine {

// What a satellite answers (as its return code) for a service it has no
// handler for: the entry that led there is stale.
constexpr std::int32_t kServiceNotOffered = -2;
// Beyond this many names, storing an answer evicts the oldest.
constexpr std::size_t kLookupCapacity = 64;

// One look-up as the directory receives it; the caller's own name is not in
// it, since it changes only with a registration, which clears the cache.
struct LookupKey {
  std::u16string_view destination;
  std::u16string_view service;
  std::int32_t flags = 0;
};

class LookupCache {
 public:
  // The answer stored for the key, unless none or expired; shared, not
  // copied, since a request only reads it.
  bool Find(const LookupKey& key, std::shared_ptr<const kiv::Variant>& answer);
  // Keeps a copy of the answer; throws std::bad_alloc (nothing stored).
  void Store(const LookupKey& key, const VARIANT& answer);
  void Forget(const LookupKey& key);
  // Every answer for the satellite, its name compared as the directory
  // does (A-Z caseless).
  void ForgetSatellite(std::u16string_view name);
  void Clear();
  // Clear, and whether answers are kept from now on. The directory's own
  // engine keeps none: its table changes with no sign that reaches here.
  void Reset(bool keepAnswers);

 private:
  struct Entry {
    std::u16string destination;
    std::u16string service;
    std::int32_t flags = 0;
    std::int64_t storedMs = 0;
    std::shared_ptr<const kiv::Variant> answer;
  };
  // Under lock_.
  std::vector<Entry>::iterator Locate(const LookupKey& key);

  PMutex lock_;  // guards entries_ and keepAnswers_
  std::vector<Entry> entries_;
  bool keepAnswers_ = true;
};

}  // namespace kiv::engine
