#include "testing/fake_directory.h"

#include <algorithm>
#include <exception>

#include "kiv/kiv_exception.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "kiv/vutil.h"
#include "support/net/net.h"
#include "support/threads/timeout.h"

namespace kiv::testing {

namespace {

constexpr std::int32_t kUnknown = 1;

std::u16string Text(BSTR text) {
  return std::u16string(text != nullptr ? text : u"", SysStringLen(text));
}

std::u16string Lower(std::u16string text) {
  for (char16_t& unit : text) {
    if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit - u'A' + u'a');
  }
  return text;
}

// The [name, description] pairs of a services value; none for VT_EMPTY.
std::vector<std::pair<std::u16string, std::u16string>> ReadServices(const VARIANT& services) {
  std::vector<std::pair<std::u16string, std::u16string>> list;
  if (services.vt != (VT_ARRAY | VT_VARIANT)) return list;
  const LONG n = VUtil::GetArrayLength(services);
  for (LONG i = 0; i < n; ++i) {
    kiv::Variant pair;
    VUtil::GetElement(services, i, pair.get());
    if (pair.vt() == VT_EMPTY) continue;
    list.emplace_back(VUtil::GetStringElement(*pair, 0), VUtil::GetStringElement(*pair, 1));
  }
  return list;
}

kiv::Variant ArrayOf(std::vector<kiv::Variant> elements) {
  kiv::Variant array;
  VUtil::CreateArray(*array, VT_VARIANT, static_cast<ULONG>(elements.size()));
  for (std::size_t i = 0; i < elements.size(); ++i) {
    VUtil::PutElement(*array, static_cast<LONG>(i), static_cast<void*>(elements[i].get()));
  }
  return array;
}

}  // namespace

kiv::Variant MakeServices(const std::vector<std::pair<std::u16string, std::u16string>>& services) {
  kiv::Variant value;
  KivCreateServices(value.get(), static_cast<std::int32_t>(services.size()));
  for (std::size_t i = 0; i < services.size(); ++i) {
    kiv::Bstr name(services[i].first);
    kiv::Bstr description(services[i].second);
    KivSetService(value.get(), static_cast<std::int32_t>(i), name.get(), description.get());
  }
  return value;
}

FakeDirectory::FakeDirectory(std::string directoryId) : id_(std::move(directoryId)) {
  if (KivCreate(&engine_, &FakeDirectory::OnRequest, nullptr, this) != 0) return;
  kiv::Bstr name(u"MainRegister");
  kiv::Variant services;
  kiv::Variant returnCode;
  KivRegister(engine_, "127.0.0.1", 0, name.get(), services.get(), returnCode.get());
  ok_ = returnCode.vt() == VT_I4 && returnCode->lVal == 0;
}

FakeDirectory::~FakeDirectory() {
  if (engine_ == nullptr) return;
  KivRemoveSatellite(engine_);
  KivDestroy(engine_);
}

void FakeDirectory::SetHandler(const std::u16string& request, Handler handler) {
  PScopedLock guard(&lock_);
  if (handler) {
    handlers_[request] = std::move(handler);
  } else {
    handlers_.erase(request);
  }
}

std::vector<DirectoryRequest> FakeDirectory::Requests() const {
  PScopedLock guard(&lock_);
  return requests_;
}

std::vector<DirectoryRequest> FakeDirectory::RequestsNamed(const std::u16string& name) const {
  std::vector<DirectoryRequest> named;
  PScopedLock guard(&lock_);
  for (const DirectoryRequest& request : requests_) {
    if (request.name == name) named.push_back(request);
  }
  return named;
}

bool FakeDirectory::WaitForRequests(const std::u16string& name, std::size_t count,
                                    int timeoutMs) const {
  const timespec deadline = AbsoluteTimeout(timeoutMs);
  PScopedLock guard(&lock_);
  for (;;) {
    const auto have = std::count_if(requests_.begin(), requests_.end(),
                                    [&](const DirectoryRequest& r) { return r.name == name; });
    if (static_cast<std::size_t>(have) >= count) return true;
    if (!lock_.TimedWait(deadline)) return false;
  }
}

void FakeDirectory::ClearRequests() {
  PScopedLock guard(&lock_);
  requests_.clear();
}

std::vector<DirectoryEntry> FakeDirectory::Satellites() const {
  PScopedLock guard(&lock_);
  return satellites_;
}

std::optional<DirectoryEntry> FakeDirectory::FindSatellite(const std::u16string& name) const {
  PScopedLock guard(&lock_);
  for (const DirectoryEntry& entry : satellites_) {
    if (entry.name == name) return entry;
  }
  return std::nullopt;
}

void FakeDirectory::PutSatellite(DirectoryEntry entry) {
  PScopedLock guard(&lock_);
  auto same = std::find_if(satellites_.begin(), satellites_.end(),
                           [&](const DirectoryEntry& e) { return e.name == entry.name; });
  if (same != satellites_.end()) {
    *same = std::move(entry);
  } else {
    nextId_ = std::max(nextId_, entry.id + 1);
    satellites_.push_back(std::move(entry));
  }
}

std::int32_t FakeDirectory::OnRequest(KIV*, void* context, int socket, BSTR caller, BSTR service,
                                      VARIANT argument, VARIANT* value, std::int32_t* returnCode) {
  auto* self = static_cast<FakeDirectory*>(context);
  DirectoryRequest request{Text(caller), Text(service), kiv::Variant::CopyOf(argument),
                           kiv::GetPeerAddress(socket)};
  Handler handler;
  {
    PScopedLock guard(&self->lock_);
    self->requests_.push_back(request);
    self->lock_.Broadcast();
    const auto found = self->handlers_.find(request.name);
    if (found != self->handlers_.end()) handler = found->second;
  }
  if (handler) return handler(request, value, returnCode);
  try {
    return self->Answer(request, value, returnCode);
  } catch (const KivException&) {
    // A request of the wrong shape.
    *returnCode = kUnknown;
    return 0;
  }
}

std::int32_t FakeDirectory::Answer(const DirectoryRequest& request, VARIANT* value,
                                   std::int32_t* returnCode) {
  if (request.name == u"Register") return Register(request, value, returnCode);
  if (request.name == u"UnRegister") return UnRegister(request, returnCode);
  if (request.name == u"RemoveSatellite") return Remove(request, returnCode);
  if (request.name == u"GetServiceReg") return GetServiceReg(request, value, returnCode);
  if (request.name == u"GetSatelliteHost") return GetSatelliteHost(request, value, returnCode);
  *returnCode = kUnknown;
  return 0;
}

std::int32_t FakeDirectory::Register(const DirectoryRequest& request, VARIANT* value,
                                     std::int32_t* returnCode) {
  const VARIANT& record = *request.argument;
  DirectoryEntry entry;
  entry.name = VUtil::GetStringElement(record, 0);
  entry.computer = VUtil::GetStringElement(record, 1);
  entry.port = VUtil::GetUShortElement(record, 2);
  entry.host = request.peer;
  kiv::Variant services;
  VUtil::GetElement(record, 6, services.get());
  entry.services = ReadServices(*services);
  const std::int32_t knownId = static_cast<std::int32_t>(VUtil::GetLongElement(record, 4));
  {
    PScopedLock guard(&lock_);
    const auto same = std::find_if(satellites_.begin(), satellites_.end(), [&](const auto& e) {
      return (knownId != 0 && e.id == knownId) || e.name == entry.name;
    });
    entry.id = knownId != 0 ? knownId : (same != satellites_.end() ? same->id : nextId_++);
    if (same != satellites_.end()) {
      *same = entry;
    } else {
      satellites_.push_back(entry);
    }
  }
  std::vector<kiv::Variant> answer;
  answer.push_back(kiv::Variant::String(kiv::FromUtf8(id_)));
  answer.push_back(kiv::Variant::I4(entry.id));
  *value = ArrayOf(std::move(answer)).Detach();
  *returnCode = 0;
  return 0;
}

std::int32_t FakeDirectory::UnRegister(const DirectoryRequest& request, std::int32_t* returnCode) {
  const VARIANT& record = *request.argument;
  const std::u16string name = VUtil::GetStringElement(record, 0);
  kiv::Variant services;
  VUtil::GetElement(record, 6, services.get());
  const auto withdrawn = ReadServices(*services);
  PScopedLock guard(&lock_);
  *returnCode = kUnknown;
  for (DirectoryEntry& entry : satellites_) {
    if (entry.name != name) continue;
    std::erase_if(entry.services, [&](const auto& offered) {
      return std::any_of(withdrawn.begin(), withdrawn.end(), [&](const auto& gone) {
        return Lower(gone.first) == Lower(offered.first);
      });
    });
    *returnCode = 0;
  }
  return 0;
}

std::int32_t FakeDirectory::Remove(const DirectoryRequest& request, std::int32_t* returnCode) {
  const std::int32_t id = static_cast<std::int32_t>(VUtil::GetLongElement(*request.argument, 4));
  PScopedLock guard(&lock_);
  const auto removed = std::erase_if(satellites_, [&](const auto& e) { return e.id == id; });
  *returnCode = removed > 0 ? 0 : kUnknown;
  return 0;
}

std::int32_t FakeDirectory::GetServiceReg(const DirectoryRequest& request, VARIANT* value,
                                          std::int32_t* returnCode) {
  const VARIANT& lookup = *request.argument;
  const std::u16string destination = VUtil::GetStringElement(lookup, 0);
  const std::u16string service = Lower(VUtil::GetStringElement(lookup, 1));
  std::vector<kiv::Variant> entries;
  PScopedLock guard(&lock_);
  for (const DirectoryEntry& satellite : satellites_) {
    if (destination != u"ALL" && satellite.name != destination) continue;
    for (const auto& offered : satellite.services) {
      if (Lower(offered.first) != service) continue;
      std::vector<kiv::Variant> fields;
      fields.push_back(kiv::Variant::String(offered.first));
      fields.push_back(kiv::Variant::String(satellite.name));
      fields.push_back(kiv::Variant::String(satellite.name));
      fields.push_back(kiv::Variant::String(kiv::FromUtf8(satellite.host)));
      fields.push_back(kiv::Variant::I4(satellite.port));
      fields.push_back(kiv::Variant::String(satellite.computer));
      fields.push_back(kiv::Variant::I4(satellite.id));
      entries.push_back(ArrayOf(std::move(fields)));
    }
  }
  *value = ArrayOf(std::move(entries)).Detach();
  *returnCode = 0;
  return 0;
}

std::int32_t FakeDirectory::GetSatelliteHost(const DirectoryRequest& request, VARIANT* value,
                                             std::int32_t* returnCode) {
  if (request.argument.vt() != VT_BSTR) {
    *returnCode = kUnknown;
    return 0;
  }
  const std::optional<DirectoryEntry> satellite = FindSatellite(Text(request.argument->bstrVal));
  if (!satellite) {
    *returnCode = kiv::KIV_RC_SATELLITE_UNAVAILABLE;
    return 0;
  }
  std::vector<kiv::Variant> pair;
  pair.push_back(kiv::Variant::String(kiv::FromUtf8(satellite->host)));
  pair.push_back(kiv::Variant::I4(satellite->port));
  std::vector<kiv::Variant> outer;
  outer.push_back(ArrayOf(std::move(pair)));
  *value = ArrayOf(std::move(outer)).Detach();
  *returnCode = 0;
  return 0;
}

TestEngine::TestEngine(RequestHandler handler) : handler_(std::move(handler)) {
  KivCreate(&engine_, &TestEngine::OnRequest, &TestEngine::OnStatus, this);
}

TestEngine::~TestEngine() {
  if (engine_ == nullptr) return;
  if (!removed_) KivRemoveSatellite(engine_);
  KivDestroy(engine_);
}

void TestEngine::SetHandler(RequestHandler handler) {
  PScopedLock guard(&lock_);
  handler_ = std::move(handler);
}

std::int32_t TestEngine::Register(const std::u16string& name,
                                  const std::vector<std::u16string>& services,
                                  const char* directoryHost, std::int32_t port) {
  std::vector<std::pair<std::u16string, std::u16string>> described;
  for (const std::u16string& service : services) described.emplace_back(service, u"");
  kiv::Variant value = services.empty() ? kiv::Variant() : MakeServices(described);
  kiv::Bstr satelliteName(name);
  kiv::Variant returnCode;
  KivRegister(engine_, directoryHost, port, satelliteName.get(), value.get(), returnCode.get());
  return returnCode.vt() == VT_I4 ? returnCode->lVal : -1;
}

std::int32_t TestEngine::Remove() {
  removed_ = true;
  return KivRemoveSatellite(engine_);
}

std::vector<std::pair<std::int32_t, std::int32_t>> TestEngine::Statuses() const {
  PScopedLock guard(&lock_);
  return statuses_;
}

bool TestEngine::WaitForStatus(std::int32_t status, int timeoutMs) const {
  const timespec deadline = AbsoluteTimeout(timeoutMs);
  PScopedLock guard(&lock_);
  for (;;) {
    for (const auto& seen : statuses_) {
      if (seen.second == status) return true;
    }
    if (!lock_.TimedWait(deadline)) return false;
  }
}

std::int32_t TestEngine::OnRequest(KIV*, void* context, int, BSTR caller, BSTR service,
                                   VARIANT argument, VARIANT* value, std::int32_t* returnCode) {
  auto* self = static_cast<TestEngine*>(context);
  RequestHandler handler;
  {
    PScopedLock guard(&self->lock_);
    handler = self->handler_;
  }
  if (handler) return handler(Text(caller), Text(service), argument, value, returnCode);
  VariantCopy(value, &argument);
  *returnCode = 0;
  return 0;
}

std::int32_t TestEngine::OnStatus(KIV*, void* context, std::int32_t satelliteId,
                                  std::int32_t status) {
  auto* self = static_cast<TestEngine*>(context);
  PScopedLock guard(&self->lock_);
  self->statuses_.emplace_back(satelliteId, status);
  self->lock_.Broadcast();
  return 0;
}

}  // namespace kiv::testing
