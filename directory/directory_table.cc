#include "directory/directory_table.h"

#include <algorithm>
#include <limits>

namespace kiv::directory {
namespace {

constexpr std::u16string_view kAll = u"ALL";

// The record's service of that folded name, or end.
template <class Services>
auto FindService(Services& services, const std::u16string& folded) {
  return std::find_if(services.begin(), services.end(), [&](const ServiceOffer& offer) {
    return DirectoryTable::FoldCase(offer.name) == folded;
  });
}

ServiceEntry EntryOf(const SatelliteRecord& record, const ServiceOffer& offer) {
  return {offer.name,  record.name,     offer.description, record.host,
          record.port, record.computer, record.id};
}

}  // namespace

std::u16string DirectoryTable::FoldCase(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& unit : folded) {
    if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit - u'A' + u'a');
  }
  return folded;
}

RegisterOutcome DirectoryTable::Register(const Registration& registration,
                                         std::int32_t replaceable) {
  PScopedLock hold(&lock_);
  RegisterOutcome outcome;
  Sequence sequence = 0;
  if (const auto named = byName_.find(registration.name); named != byName_.end()) {
    const SatelliteRecord& holder = records_.at(named->second);
    if (holder.id == registration.knownId) {
      sequence = named->second;
    } else if (replaceable != kReplaceAnyHolder && replaceable != holder.id) {
      outcome.heldBy = holder;
      return outcome;
    } else {
      outcome.notices = DropLocked(named->second).notices;
      outcome.replaced = true;
    }
  }
  if (sequence == 0) {
    sequence = nextSequence_++;
    SatelliteRecord& record = records_[sequence];
    record.id = ChooseIdLocked(registration.knownId);
    record.name = registration.name;
    byName_[record.name] = sequence;
    byId_[record.id] = sequence;
    outcome.created = true;
  }
  SatelliteRecord& record = records_.at(sequence);
  record.computer = registration.computer;
  record.host = registration.host;
  record.port = registration.port;
  record.failedPings = 0;
  for (const ServiceOffer& offer : registration.services) {
    const std::u16string folded = FoldCase(offer.name);
    if (auto known = FindService(record.services, folded); known != record.services.end()) {
      known->description = offer.description;  // keeps its place and spelling
      continue;
    }
    record.services.push_back(offer);
    outcome.added.push_back(offer.name);
    offers_[folded].insert(sequence);
    NoticesLocked(folded, offer.name, record.name, 1, outcome.notices);
  }
  outcome.id = record.id;
  return outcome;
}

std::optional<std::vector<AvailabilityNotice>> DirectoryTable::Withdraw(
    const std::u16string& name, std::int32_t id, const std::vector<std::u16string>& services) {
  PScopedLock hold(&lock_);
  const auto named = byName_.find(name);
  if (named == byName_.end()) return std::nullopt;
  SatelliteRecord& record = records_.at(named->second);
  if (id != record.id) return std::nullopt;
  std::vector<AvailabilityNotice> notices;
  for (const std::u16string& service : services) {
    const std::u16string folded = FoldCase(service);
    const auto known = FindService(record.services, folded);
    if (known == record.services.end()) continue;
    NoticesLocked(folded, known->name, record.name, 0, notices);
    record.services.erase(known);
    if (auto offered = offers_.find(folded); offered != offers_.end()) {
      offered->second.erase(named->second);
      if (offered->second.empty()) offers_.erase(offered);
    }
  }
  return notices;
}

std::optional<RemoveOutcome> DirectoryTable::Remove(const std::u16string& name, std::int32_t id) {
  PScopedLock hold(&lock_);
  const auto named = byName_.find(name);
  if (named == byName_.end()) return std::nullopt;
  if (id != records_.at(named->second).id) return std::nullopt;
  return DropLocked(named->second);
}

TableImage DirectoryTable::Image() const {
  PScopedLock hold(&lock_);
  TableImage image;
  image.satellites.reserve(records_.size());
  for (const auto& [sequence, record] : records_) {
    image.satellites.push_back(record);
    image.satellites.back().failedPings = 0;
  }
  image.listeners.insert(listeners_.begin(), listeners_.end());
  return image;
}

std::vector<SatelliteRecord> DirectoryTable::Restore(const TableImage& image) {
  PScopedLock hold(&lock_);
  std::vector<SatelliteRecord> restored;
  for (const SatelliteRecord& remembered : image.satellites) {
    if (remembered.id <= 0 || byName_.contains(remembered.name) || byId_.contains(remembered.id)) {
      continue;
    }
    const Sequence sequence = nextSequence_++;
    SatelliteRecord& record = records_[sequence];
    record = remembered;
    record.failedPings = 0;
    record.services.clear();
    for (const ServiceOffer& offer : remembered.services) {
      const std::u16string folded = FoldCase(offer.name);
      if (FindService(record.services, folded) != record.services.end()) continue;
      record.services.push_back(offer);
      offers_[folded].insert(sequence);
    }
    byName_[record.name] = sequence;
    byId_[record.id] = sequence;
    restored.push_back(record);
  }
  nextId_ = 1;  // so the directory, registering next, gets 1 as ever
  for (const auto& [service, followers] : image.listeners) {
    if (followers.empty()) continue;
    listeners_[FoldCase(service)].insert(followers.begin(), followers.end());
  }
  return restored;
}

std::vector<ServiceEntry> DirectoryTable::Offers(const std::u16string& destination,
                                                 const std::u16string& service) const {
  PScopedLock hold(&lock_);
  const std::u16string folded = FoldCase(service);
  std::vector<ServiceEntry> entries;
  auto add = [&](Sequence sequence) {
    const SatelliteRecord& record = records_.at(sequence);
    const auto offer = FindService(record.services, folded);
    if (offer != record.services.end()) entries.push_back(EntryOf(record, *offer));
  };
  if (destination == kAll) {
    if (const auto offered = offers_.find(folded); offered != offers_.end()) {
      entries.reserve(offered->second.size());
      for (Sequence sequence : offered->second) add(sequence);
    }
  } else if (const auto named = byName_.find(destination); named != byName_.end()) {
    add(named->second);
  }
  return entries;
}

std::optional<SatelliteRecord> DirectoryTable::Find(const std::u16string& name) const {
  PScopedLock hold(&lock_);
  const auto named = byName_.find(name);
  if (named == byName_.end()) return std::nullopt;
  return records_.at(named->second);
}

std::vector<SatelliteRecord> DirectoryTable::Satellites() const {
  PScopedLock hold(&lock_);
  std::vector<SatelliteRecord> list;
  list.reserve(records_.size());
  for (const auto& [sequence, record] : records_) list.push_back(record);
  return list;
}

std::size_t DirectoryTable::Size() const {
  PScopedLock hold(&lock_);
  return records_.size();
}

void DirectoryTable::AddListener(const std::u16string& listener,
                                 const std::vector<std::u16string>& services) {
  PScopedLock hold(&lock_);
  for (const std::u16string& service : services) listeners_[FoldCase(service)].insert(listener);
}

void DirectoryTable::RemoveListener(const std::u16string& listener,
                                    const std::vector<std::u16string>& services) {
  PScopedLock hold(&lock_);
  for (const std::u16string& service : services) {
    const auto followed = listeners_.find(FoldCase(service));
    if (followed == listeners_.end()) continue;
    followed->second.erase(listener);
    if (followed->second.empty()) listeners_.erase(followed);
  }
}

std::vector<std::u16string> DirectoryTable::ListenersOf(const std::u16string& service) const {
  PScopedLock hold(&lock_);
  const auto followed = listeners_.find(FoldCase(service));
  if (followed == listeners_.end()) return {};
  return {followed->second.begin(), followed->second.end()};
}

std::optional<RemoveOutcome> DirectoryTable::RecordPing(std::int32_t id, bool answered) {
  PScopedLock hold(&lock_);
  const auto known = byId_.find(id);
  if (known == byId_.end()) return std::nullopt;
  SatelliteRecord& record = records_.at(known->second);
  if (answered) {
    record.failedPings = 0;
    return std::nullopt;
  }
  if (++record.failedPings < kMaxFailedPings) return std::nullopt;
  return DropLocked(known->second);
}

RemoveOutcome DirectoryTable::DropLocked(Sequence sequence) {
  RemoveOutcome outcome;
  outcome.record = std::move(records_.at(sequence));
  records_.erase(sequence);
  const SatelliteRecord& record = outcome.record;
  byName_.erase(record.name);
  byId_.erase(record.id);
  // A satellite that is gone hears no more notices, its own included.
  for (auto followed = listeners_.begin(); followed != listeners_.end();) {
    followed->second.erase(record.name);
    followed = followed->second.empty() ? listeners_.erase(followed) : std::next(followed);
  }
  for (const ServiceOffer& offer : record.services) {
    const std::u16string folded = FoldCase(offer.name);
    if (auto offered = offers_.find(folded); offered != offers_.end()) {
      offered->second.erase(sequence);
      if (offered->second.empty()) offers_.erase(offered);
    }
    NoticesLocked(folded, offer.name, record.name, 0, outcome.notices);
  }
  return outcome;
}

std::int32_t DirectoryTable::ChooseIdLocked(std::int32_t wanted) {
  if (wanted > 0 && !byId_.contains(wanted)) {
    if (wanted >= nextId_) {
      nextId_ = wanted == std::numeric_limits<std::int32_t>::max() ? 1 : wanted + 1;
    }
    return wanted;
  }
  // Ids wrap after 2^31 - 1 registrations; a free one always exists, as the
  // table holds far fewer satellites.
  while (byId_.contains(nextId_)) {
    nextId_ = nextId_ == std::numeric_limits<std::int32_t>::max() ? 1 : nextId_ + 1;
  }
  const std::int32_t id = nextId_;
  nextId_ = nextId_ == std::numeric_limits<std::int32_t>::max() ? 1 : nextId_ + 1;
  return id;
}

void DirectoryTable::NoticesLocked(const std::u16string& folded, const std::u16string& service,
                                   const std::u16string& satellite, std::int32_t available,
                                   std::vector<AvailabilityNotice>& out) const {
  const auto followed = listeners_.find(folded);
  if (followed == listeners_.end()) return;
  for (const std::u16string& listener : followed->second) {
    out.push_back({listener, service, satellite, available});
  }
}

}  // namespace kiv::directory
