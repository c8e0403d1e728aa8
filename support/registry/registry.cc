// CRegistryImpl over the store file: the machine-wide root is the file's
// HKEY_LOCAL_MACHINE. Each call opens the store named by KIV_REGISTRY at
// that moment, does one thing and keeps nothing.
#include "support/registry/registry.h"

#include <algorithm>
#include <boost/make_shared.hpp>
#include <mutex>
#include <optional>
#include <vector>

#include "support/log/log.h"
#include "support/registry/registry_data.h"
#include "support/registry/registry_store.h"

namespace {

using kiv::registry::Hive;
using kiv::registry::Key;
using kiv::registry::Root;
using kiv::registry::Store;
using kiv::registry::Value;

constexpr Root kRoot = Root::kLocalMachine;

struct ReportedProblems {
  std::mutex lock;
  std::string last;  // the problems last logged; empty after a clean read
};

ReportedProblems& Reported() {
  // Never destroyed: code running during exit may still read the store.
  union Holder {
    Holder() : value() {}
    ~Holder() {}
    ReportedProblems value;
  };
  static Holder holder;
  return holder.value;
}

// Every read would otherwise log the same lines again, and the logger reads
// LogLevel through here at its first message: the problems count as logged
// before the lock is let go and the lines are written.
void ReportOnce(const std::string& error, const std::vector<std::string>& warnings) {
  std::string summary = error;
  for (const std::string& warning : warnings) summary += '\n' + warning;
  {
    ReportedProblems& reported = Reported();
    const std::lock_guard guard(reported.lock);
    if (summary == reported.last || (!summary.empty() && !GetGlobalLogger())) return;
    reported.last = summary;
  }
  if (!error.empty()) {
    LogError(
        u"KIV: configuration store %hs; its settings are ignored and defaults apply "
        u"until it is fixed",
        error.c_str());
  }
  for (const std::string& warning : warnings) {
    LogWarn(u"KIV: configuration store %hs", warning.c_str());
  }
}

std::optional<Hive> ReadAndReport(std::string* problem = nullptr) {
  std::string error;
  std::vector<std::string> warnings;
  auto hive = Store().Read(&error, &warnings);
  ReportOnce(error, warnings);
  if (problem != nullptr) *problem = error;
  return hive;
}

const Key* FindKey(const std::optional<Hive>& hive, const std::u16string& key) {
  return hive ? hive->FindKey(kRoot, key) : nullptr;
}

std::optional<Value> Find(const std::u16string& key, const std::u16string& name) {
  const auto hive = ReadAndReport();
  const Key* stored = FindKey(hive, key);
  const Value* value = stored != nullptr ? kiv::registry::FindValue(*stored, name) : nullptr;
  if (value == nullptr) return std::nullopt;
  return *value;
}

std::u16string Widen(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace

bool CRegistryImpl::SetDwordValue(const std::u16string& key, const std::u16string& name,
                                  std::uint32_t value) {
  return Store().SetValue(kRoot, key,
                          Value{name, kiv::registry::kRegDword, kiv::registry::DwordData(value)});
}

bool CRegistryImpl::SetStringValue(const std::u16string& key, const std::u16string& name,
                                   const std::u16string& value) {
  return Store().SetValue(kRoot, key,
                          Value{name, kiv::registry::kRegSz, kiv::registry::StringData(value)});
}

bool CRegistryImpl::SetBinaryValue(const std::u16string& key, const std::u16string& name,
                                   BYTE*& data, int& size) {
  if (data == nullptr || size <= 0) return false;
  return Store().SetValue(kRoot, key, Value{name, kiv::registry::kRegBinary, {data, data + size}});
}

// Reads take the value's data whatever its type, as raw bytes.
bool CRegistryImpl::GetDwordValue(const std::u16string& key, const std::u16string& name,
                                  std::uint32_t& value) {
  const auto found = Find(key, name);
  if (!found) return false;
  value = kiv::registry::DataAsDword(found->data);
  return true;
}

bool CRegistryImpl::GetStringValue(const std::u16string& key, const std::u16string& name,
                                   std::u16string& value) {
  const auto found = Find(key, name);
  if (!found) return false;
  value = kiv::registry::DataAsText(found->data, kiv::registry::kReadBufferBytes);
  return true;
}

// A value larger than the read buffer is cut to the buffer's size.
bool CRegistryImpl::GetBinaryValue(const std::u16string& key, const std::u16string& name,
                                   BYTE*& data, std::uint32_t& size) {
  const auto found = Find(key, name);
  if (!found) return false;
  const std::size_t length = std::min(found->data.size(), kiv::registry::kReadBufferBytes);
  data = new BYTE[length];  // the interface hands the caller an array to delete[]
  std::copy_n(found->data.begin(), length, data);
  size = static_cast<std::uint32_t>(length);
  return true;
}

void CRegistryImpl::GetValues(const std::u16string& key,
                              std::map<std::u16string, std::u16string>& values) {
  const auto hive = ReadAndReport();
  const Key* found = FindKey(hive, key);
  if (found == nullptr) return;
  for (const Value& value : found->values) {
    if (value.type == kiv::registry::kRegSz) {
      values[value.name] = kiv::registry::DataAsText(value.data, value.data.size());
    } else if (value.type == kiv::registry::kRegDword) {
      const auto number = static_cast<std::int32_t>(kiv::registry::DataAsDword(value.data));
      values[value.name] = Widen(std::to_string(number));  // "%d": signed decimal
    }
  }
}

boost::shared_ptr<CRegistry> GetRegistry() {
  // Never destroyed, so that code running during exit (a logger in a static
  // destructor) can still reach the instance.
  union Holder {
    Holder() : instance(boost::make_shared<CRegistryImpl>()) {}
    ~Holder() {}
    boost::shared_ptr<CRegistry> instance;
  };
  static Holder holder;
  return holder.instance;
}

bool CheckRegistryStore(std::string* problem) {
  return ReadAndReport(problem).has_value();
}
